// valmor-sim: a simulated VALMOR unit on a pseudo-terminal, for demos and
// end-to-end tests without the hardware. See --help.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <CLI/CLI.hpp>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <string>

#include "tools/sim/simulated_unit.h"

namespace {

constexpr const char* kDescription = R"(A simulated VALMOR unit. It opens a pseudo-terminal and publishes its slave
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

The host must set the line to 42105 baud: bytes sent at any other rate are
logged with the rate seen and get no answer, as a real unit hears garbage.
Parity and data bits cannot be checked: a pseudo-terminal drops parity and
always carries 8 data bits, whatever the host sets.

Its answers are illustrative, not the texts of the real unit. It logs what it
receives and decides on standard error, with the pauses of each Download as
they arrived.)";

constexpr const char* kFooter = R"(While it runs:
  SIGUSR1, or the line "toggle"   unplug the unit, or plug it in again
  the lines "unplug" and "plug"   the same, one way each
  SIGINT, SIGTERM, SIGHUP, "quit" end, removing the unit's link
Commands are read from standard input when it is a terminal (or with
--stdin); end of that input ends the simulator as well. Started in the
background without a terminal, it runs until it gets a signal.

Exit status: 0 ended by a signal or "quit"; 1 the unit could not be
published; 2 usage.

Example:
  valmor-sim --dir /tmp/units &
  VALMOR_DEVICE_DIR=/tmp/units valmor-cli download RED64)";

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

// Help in the usual order: the usage line first, then what the program does,
// its options and the rest.
class HelpFormatter : public CLI::Formatter {
 public:
  std::string make_help(const CLI::App* app, std::string name,
                        CLI::AppFormatMode mode) const override {
    return make_usage(app, std::move(name)) + "\n" + make_description(app) +
           make_groups(app, mode) + "\n" + make_footer(app);
  }
};

struct Options {
  std::string dir;
  bool forceStdin = false;
  valmor::SimulatedUnitOptions unit;
};

// Parses the command line into `options`; an exit status when the program
// is to end at once (after --help, or on a usage error).
std::optional<int> parseOptions(int argc, char** argv, Options& options) {
  CLI::App app(kDescription, "valmor-sim");
  app.footer(kFooter);
  auto formatter = std::make_shared<HelpFormatter>();
  formatter->column_width(24);
  app.formatter(formatter);
  app.add_option("--dir", options.dir,
                 "Where to publish the unit (created if missing). Default:\n"
                 "$VALMOR_DEVICE_DIR, or else a new temporary directory,\n"
                 "which is printed and removed again at the end.")
      ->type_name("DIR");
  app.add_flag("--stdin", options.forceStdin,
               "Read commands from standard input even when it is not a\n"
               "terminal, and end at its end of file.");
  bool strict = false;
  app.add_flag("--strict-timing", strict,
               "Reject a Download whose pauses, as they arrive here, fall\n"
               "short of 9000 us after the command and 8700 us after the\n"
               "title line; the answer gives the measured figures. Off by\n"
               "default: on a loaded machine a pseudo-terminal can show a\n"
               "gap shorter than the host slept.");
  int delay = 0;
  app.add_option("--answer-delay", delay,
                 "Send each answer MS milliseconds late (0 to 600000), to\n"
                 "try a host's time-outs. Answers still due when the host\n"
                 "closes the port are dropped.")
      ->type_name("MS")
      ->check(CLI::Range(0, 600000).description(""));
  app.add_flag("--silent", options.unit.silent,
               "Answer nothing at all (still logging what it decides), to\n"
               "try a host's \"no answer\" path.");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    if (error.get_exit_code() == 0) return app.exit(error);  // --help
    std::cerr << "valmor-sim: " << error.what() << "\nTry 'valmor-sim --help'.\n";
    return 2;
  }
  using Timing = valmor::UnitProtocol::Timing;
  options.unit.timing = strict ? Timing::kStrict : Timing::kLenient;
  options.unit.answerDelay = std::chrono::milliseconds(delay);
  return std::nullopt;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (const auto status = parseOptions(argc, argv, options)) return *status;
  std::string& dir = options.dir;
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
    valmor::SimulatedUnit unit(dir, std::cerr, options.unit);
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
      if (options.forceStdin || ::isatty(STDIN_FILENO)) unit.setCommandInput(STDIN_FILENO, true);
      unit.run();
    }
    gControlFd = -1;
  }  // the unit's link is removed here
  if (madeTemporary) ::rmdir(dir.c_str());
  return status;
}
