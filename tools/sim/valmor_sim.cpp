// valmor-sim: a simulated VALMOR unit on a pseudo-terminal, for demos and
// end-to-end tests without the hardware. See --help.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <string>

#include "tools/sim/simulated_unit.h"

namespace {

constexpr const char* kHelp = R"(Usage: valmor-sim [--dir DIR] [--stdin] [--help]

A simulated VALMOR unit. It opens a pseudo-terminal and publishes its slave
side as DIR/cu.usbserial-SIM<n>, where the device registry finds it when
VALMOR_DEVICE_DIR=DIR. It then plays the unit on the line:

  0x0A                     greeting after a port opens (no answer)
  "1" 0x0A                 Initialize: answers "VALMOR SIM: initialized, ready"
  "2" 0x0A TITLE 0x0A IMAGE 0x0A
                           Download: checks the 35-byte title line
                           ("o-VALMOR - " and a model name, padded with spaces)
                           and that the 320-byte image is that model's profile
                           image; answers "VALMOR SIM: profile NAME stored OK"
                           or "VALMOR SIM: upload rejected: REASON"

Its answers are illustrative, not the texts of the real unit. It logs what it
receives and decides on standard error.

Options:
  --dir DIR   where to publish the unit (created if missing). Default:
              $VALMOR_DEVICE_DIR, or else a new temporary directory, which is
              printed and removed again at the end.
  --stdin     read commands from standard input even when it is not a
              terminal, and end at its end of file.
  --help      this text.

While it runs:
  SIGUSR1, or the line "toggle"   unplug the unit, or plug it in again
  the lines "unplug" and "plug"   the same, one way each
  SIGINT, SIGTERM, SIGHUP, "quit" end, removing the unit's link
Commands are read from standard input when it is a terminal (or with
--stdin); end of that input ends the simulator as well. Started in the
background without a terminal, it runs until it gets a signal.

Example:
  valmor-sim --dir /tmp/units &
  VALMOR_DEVICE_DIR=/tmp/units valmor-cli download RED64
)";

// The control pipe of the unit; the signal handler writes one byte to it.
volatile sig_atomic_t gControlFd = -1;

void onSignal(int signal) {
  const int saved = errno;
  const char command = signal == SIGUSR1 ? valmor::SimulatedUnit::kToggle
                                         : valmor::SimulatedUnit::kStop;
  if (gControlFd >= 0) [[maybe_unused]] ssize_t n = ::write(gControlFd, &command, 1);
  errno = saved;
}

void installSignals() {
  struct sigaction action {};
  action.sa_handler = onSignal;
  sigemptyset(&action.sa_mask);
  for (int s : {SIGINT, SIGTERM, SIGHUP, SIGUSR1}) sigaction(s, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

int usage(const std::string& message) {
  std::cerr << "valmor-sim: " << message << "\nTry 'valmor-sim --help'.\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string dir;
  bool forceStdin = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::cout << kHelp;
      return 0;
    } else if (arg == "--dir") {
      if (++i >= argc) return usage("--dir needs a directory");
      dir = argv[i];
    } else if (arg.rfind("--dir=", 0) == 0) {
      dir = arg.substr(6);
    } else if (arg == "--stdin") {
      forceStdin = true;
    } else {
      return usage("unknown argument '" + arg + "'");
    }
  }
  if (dir.empty()) {
    if (const char* env = std::getenv("VALMOR_DEVICE_DIR"); env && *env) dir = env;
  }
  if (dir.size() > 1 && dir.back() == '/') dir.pop_back();

  bool madeTemporary = false;
  if (dir.empty()) {
    std::string pattern = (std::filesystem::temp_directory_path() / "valmor-sim-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
      std::cerr << "valmor-sim: cannot make a temporary directory: " << std::strerror(errno) << '\n';
      return 1;
    }
    dir = pattern;
    madeTemporary = true;
  } else {
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (ec || !std::filesystem::is_directory(dir)) {
      std::cerr << "valmor-sim: cannot use directory " << dir << ": "
                << (ec ? ec.message() : "not a directory") << '\n';
      return 1;
    }
  }

  int status = 0;
  {
    valmor::SimulatedUnit unit(dir, std::cerr);
    gControlFd = unit.controlFd();
    installSignals();
    std::string error;
    if (!unit.plug(&error)) {
      std::cerr << "valmor-sim: cannot publish the unit: " << error << '\n';
      status = 1;
    } else {
      std::cout << "valmor-sim: unit at " << unit.linkPath() << '\n';
      if (madeTemporary) std::cout << "export VALMOR_DEVICE_DIR=" << dir << '\n';
      std::cout << std::flush;
      if (forceStdin || ::isatty(STDIN_FILENO)) unit.setCommandInput(STDIN_FILENO, true);
      unit.run();
    }
    gControlFd = -1;
  }  // the unit's link is removed here
  if (madeTemporary) ::rmdir(dir.c_str());
  return status;
}
