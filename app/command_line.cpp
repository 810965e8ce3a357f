#include "app/command_line.h"

#include <algorithm>
#include <array>
#include <string_view>

namespace valmor {

namespace {

// Qt's options that take the next argument as their value: QGuiApplication's,
// QApplication's and the X11 platform's.
constexpr std::array<std::string_view, 15> kToolkitOptionsWithValue = {
    "platform", "platformpluginpath", "platformtheme", "plugin",  "qwindowgeometry",
    "geometry", "qwindowtitle",       "title",         "qwindowicon", "icon",
    "display",  "name",               "session",       "style",   "stylesheet",
};

constexpr const char* kKnown =
    "valmor-setup knows --help, --version and Qt's options such as -platform NAME and -style "
    "NAME (see --help)";

}  // namespace

std::optional<std::string> toolkitOptionWithoutValue(int argc, char** argv) {
  if (argc < 2) return std::nullopt;
  std::string_view last = argv[argc - 1];
  if (!last.starts_with('-')) return std::nullopt;
  last.remove_prefix(last.starts_with("--") ? 2 : 1);
  if (std::find(kToolkitOptionsWithValue.begin(), kToolkitOptionsWithValue.end(), last) ==
      kToolkitOptionsWithValue.end()) {
    return std::nullopt;
  }
  return "valmor-setup: the option " + std::string(argv[argc - 1]) +
         " needs a value, for example -platform offscreen or -style Fusion";
}

std::optional<std::string> unknownArguments(int argc, char** argv) {
  if (argc < 2) return std::nullopt;
  const std::string_view first = argv[1];
  const std::string what = first.starts_with('-') ? "unknown option " : "unexpected argument ";
  return "valmor-setup: " + what + std::string(first) + "; " + kKnown;
}

}  // namespace valmor
