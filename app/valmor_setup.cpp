// valmor-setup: the desktop app that sets up a VALMOR unit for a strobe
// model. See --help.
#include <QApplication>
#include <QIcon>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>
#include <string_view>

#include "app/app_delegate.h"
#include "app/command_line.h"
#include "valmor/qt/qt_main_queue.h"
#include "app/quit_signals.h"
#include "app/toolkit_start.h"
#include "app/view_controller.h"

namespace {

constexpr const char* kHelp = R"(Usage: valmor-setup [--help] [--version] [Qt options]

Sets up a VALMOR unit for one of twelve underwater strobe models. The window
finds the unit (a USB-serial adapter, /dev/ttyUSB<n>) when it is plugged in,
opens it, and sends the chosen strobe model's profile when you press
Download. The unit's answer is shown in the status field. With several
units plugged in, choose one in the Unit popup. A unit that cannot be opened
(in use by another program, no permission) is shown as such and tried again
every second. The strobe model chosen last, and the window's size and place,
are restored at the next start.

Event lines (devices found, port events, every write) go to standard output.

Options:
  --help      this text.
  --version   the version.
Qt's own options (-platform offscreen, -style Fusion, ...) are accepted too.
Exit status: 0 closed, 1 no window could be opened, 2 usage.

Environment:
  VALMOR_DEVICE_DIR   a directory whose entries cu.NAME are the serial
                      devices, instead of the machine's; the simulated unit
                      (valmor-sim) publishes itself there.
  QT_SCALE_FACTOR     scales the window, for example 2 on a high-resolution
                      screen.

The serial device must be readable and writable by you: on Debian, be a
member of the dialout group.
Without a window: valmor-cli. A simulated unit: valmor-sim.
)";

bool hasArgument(int argc, char** argv, std::string_view wanted) {
  for (int i = 1; i < argc; ++i) {
    if (argv[i] == wanted) return true;
  }
  return false;
}

bool empty(const char* variable) {
  const char* value = std::getenv(variable);
  return value == nullptr || *value == '\0';
}

// Qt aborts with several lines when it cannot reach a display; say it once,
// with what to do.
bool hasDisplay(int argc, char** argv) {
  return hasArgument(argc, argv, "-platform") || !empty("QT_QPA_PLATFORM") ||
         !empty("DISPLAY") || !empty("WAYLAND_DISPLAY");
}

}  // namespace

int main(int argc, char** argv) {
  if (hasArgument(argc, argv, "--help") || hasArgument(argc, argv, "-h")) {
    std::cout << kHelp;
    return 0;
  }
  if (hasArgument(argc, argv, "--version")) {
    std::cout << "valmor-setup " << VALMOR_VERSION << '\n';
    return 0;
  }
  if (!hasDisplay(argc, argv)) {
    std::cerr << "valmor-setup: no display to open the window on (DISPLAY is not set); run it "
                 "in a desktop session, or without a screen as: xvfb-run -a valmor-setup\n";
    return 1;
  }

  if (const auto problem = valmor::toolkitOptionWithoutValue(argc, argv)) {
    std::cerr << *problem << '\n';
    return 1;
  }

  std::unique_ptr<QApplication> application;
  {
    // Qt's failure to reach the display ends the process here, in one line.
    valmor::ToolkitStartGuard guard;
    application = std::make_unique<QApplication>(argc, argv);
    // Qt has taken its own options out of argv; what is left is unknown.
    if (const auto problem = valmor::unknownArguments(argc, argv)) {
      guard.dropHeldMessages();
      std::cerr << *problem << '\n';
      return 2;
    }
  }
  QApplication::setOrganizationName("VALMOR");
  QApplication::setApplicationName("valmor-setup");
  QApplication::setApplicationVersion(VALMOR_VERSION);
  QApplication::setWindowIcon(QIcon(":/valmor-setup.svg"));
  QApplication::setDesktopFileName("valmor-setup");

  // Before anything of the library runs: every delegate call and hot-plug
  // event is delivered on this thread through it.
  auto queue = valmor::QtMainQueue::install();
  valmor::QuitOnSignals quitOnSignals;

  valmor::AppDelegate delegate;
  QApplication::setQuitOnLastWindowClosed(
      delegate.applicationShouldTerminateAfterLastWindowClosed());
  int status = 0;
  {
    valmor::ViewController window;
    window.viewDidLoad();
    window.show();
    delegate.applicationDidFinishLaunching();
    status = QApplication::exec();
    delegate.applicationWillTerminate();
  }  // the window and its port go here
  queue->close();
  return status;
}
