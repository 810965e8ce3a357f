#include "app/unit_path.h"

#include <algorithm>
#include <cctype>

namespace valmor {

namespace {

bool isTtyUsbName(std::string_view name) {
  if (name.starts_with("cu.")) name.remove_prefix(3);
  constexpr std::string_view kPrefix = "ttyUSB";
  if (!name.starts_with(kPrefix) || name.size() == kPrefix.size()) return false;
  name.remove_prefix(kPrefix.size());
  return std::all_of(name.begin(), name.end(),
                     [](unsigned char c) { return std::isdigit(c) != 0; });
}

}  // namespace

bool isUnitPath(std::string_view calloutPath) {
  std::string lower(calloutPath);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (lower.find("usbserial") != std::string::npos) return true;
  const auto slash = calloutPath.find_last_of('/');
  return isTtyUsbName(slash == std::string_view::npos ? calloutPath
                                                      : calloutPath.substr(slash + 1));
}

std::string unitName(std::string_view calloutPath) {
  std::string_view name = calloutPath.substr(calloutPath.find_last_of('/') + 1);
  if (name.starts_with("cu.") && name.size() > 3) name.remove_prefix(3);
  return std::string(name);
}

}  // namespace valmor
