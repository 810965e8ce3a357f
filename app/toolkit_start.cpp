#include "app/toolkit_start.h"

#include <QString>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace valmor {

namespace {

struct HeldMessage {
  QtMsgType type;
  std::string category;
  QString text;
};

std::vector<HeldMessage> gHeld;

std::string firstLine(std::string_view text) {
  return std::string(text.substr(0, text.find('\n')));
}

// The line printed for Qt's fatal message, given what it said before.
std::string failureLine(const std::vector<std::string>& earlier, const std::string& fatal) {
  // Qt names the cause just before its fatal message, which only says that
  // no platform plugin could be started.
  std::string cause;
  for (const std::string& message : earlier) {
    if (message.find("display") != std::string::npos ||
        message.find("platform plugin") != std::string::npos) {
      cause = firstLine(message);
      break;
    }
  }
  if (cause.empty()) cause = firstLine(fatal);
  if (cause.ends_with(" in \"\"")) cause.resize(cause.size() - 6);
  std::string line = "valmor-setup: cannot open the window: " + cause;

  if (cause.find("display") != std::string::npos) {
    return line + "; run it in a desktop session, or without a screen as: xvfb-run -a valmor-setup";
  }
  constexpr std::string_view kAvailable = "Available platform plugins are: ";
  if (const auto at = fatal.find(kAvailable); at != std::string::npos) {
    std::string names = firstLine(std::string_view(fatal).substr(at + kAvailable.size()));
    while (!names.empty() && (names.back() == '.' || names.back() == ' ')) names.pop_back();
    line += "; -platform takes one of: " + names;
  }
  return line;
}

void holdMessage(QtMsgType type, const QMessageLogContext& context, const QString& text) {
  if (type == QtFatalMsg) {
    std::vector<std::string> earlier;
    for (const HeldMessage& message : gHeld) earlier.push_back(message.text.toStdString());
    const std::string line = failureLine(earlier, text.toStdString()) + "\n";
    std::fputs(line.c_str(), stderr);
    std::fflush(stderr);
    std::_Exit(1);
  }
  gHeld.push_back({type, context.category ? context.category : "", text});
}

}  // namespace

ToolkitStartGuard::ToolkitStartGuard() : previous_(qInstallMessageHandler(holdMessage)) {}

void ToolkitStartGuard::dropHeldMessages() { gHeld.clear(); }

ToolkitStartGuard::~ToolkitStartGuard() {
  qInstallMessageHandler(previous_);
  for (const HeldMessage& message : gHeld) {
    const QMessageLogContext context(nullptr, 0, nullptr, message.category.c_str());
    qt_message_output(message.type, context, message.text);
  }
  gHeld.clear();
}

}  // namespace valmor
