// valmor-cli: the VALMOR setup utility without a window, over the same link
// code as the desktop app, and a serial console for scripts. See --help.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "valmor/platform/main_queue.h"
#include "profile/repository.h"
#include "profile/strobe_models.h"
#include "tools/cli/byte_text.h"
#include "tools/cli/cli_common.h"
#include "tools/cli/line_session.h"
#include "tools/cli/port_commands.h"
#include "tools/cli/stop_signals.h"
#include "tools/cli/unit_session.h"

namespace {

using namespace valmor;

constexpr const char* kDescription = R"(Sets up a VALMOR unit for a strobe model, as the desktop app does, and
lists, watches and talks to serial ports.

Commands ('valmor-cli COMMAND --help' tells more):
  models             List the twelve strobe model names, one a line.
  title MODEL        Print the 35-character title line sent for MODEL.
  image MODEL        Write the 320-byte profile image of MODEL to standard
                     output, raw; with --hex in hexadecimal, 16 bytes a line.
  initialize         Send Initialize (0x31 0x0A) to the unit and print its
                     answer.
  download MODEL     Send MODEL's title line and profile image to the unit
                     and print its answer.
  list               List the serial ports (--units: VALMOR units only;
                     --json for scripts).
  watch              Print a line for each serial port plugged in or pulled
                     out, until Ctrl+C (--json: one JSON object a line).
  send DATA          Write DATA (text with C escapes, or --hex) to a serial
                     port and print what comes back.
  request DATA       Write DATA through the port's request queue and print
                     the reply (--prefix/--suffix, --expression, --length).
)";

constexpr const char* kFooter = R"(Serial devices come from udev, or, when VALMOR_DEVICE_DIR names a
directory, from its entries cu.NAME (see valmor-sim). --port takes any of
them, or any other serial or pseudo-terminal device (/dev/pts/N). Opening a
real serial device needs membership of the dialout group.

Exit status: 0 done; 1 failure (no unit, unit in use by another process,
open or write failed, no answer in time); 2 usage (unknown command or
option, unknown model, malformed value); 128 + N ended by signal N.

Examples:
  valmor-cli models
  valmor-cli image RED64 > red64.bin
  valmor-cli download "SUBTRONIC 160"
  valmor-cli list --units --json
  VALMOR_DEVICE_DIR=/tmp/units valmor-cli download RED64)";

constexpr const char* kCommandFooter =
    "Exit status: 0 done; 1 failure; 2 usage; 128 + N ended by signal N.\n"
    "'valmor-cli --help' tells where serial devices come from.";

// Help in the usual order: the usage line, what the command does, its
// arguments and options, then the rest.
class HelpFormatter : public CLI::Formatter {
 public:
  std::string make_help(const CLI::App* app, std::string name, CLI::AppFormatMode mode) const override {
    return make_usage(app, std::move(name)) + "\n" + make_description(app) + make_positionals(app) +
           make_groups(app, mode) + "\n" + make_footer(app);
  }
};

struct PortOptions {
  std::optional<std::string> port;
  std::string waitText = "3";
  bool verbose = false;
};

constexpr const char* kUnitWait = "How long to wait for the unit's answer, more than 0 and\nat most 600 (default 3).";
constexpr const char* kReplyWait =
    "How long to wait for the reply (or, without a reply form, for\nwhat comes back), more than 0 and at most 600 (default 3).";

// --port, --wait and --verbose, accepted before the command and after it.
void addPortOptions(CLI::App& app, PortOptions& options, const char* waitHelp, bool withVerbose = true) {
  app.add_option("--port", options.port,
                 "The serial device. Default: the first device of the registry\n"
                 "whose path contains \"usbserial\" or whose name is ttyUSB<n>.")
      ->type_name("PATH")
      ->check([](const std::string& value) { return value.empty() ? std::string("needs a device path") : std::string(); });
  if (waitHelp != nullptr) {
    app.add_option("--wait", options.waitText, waitHelp)
        ->type_name("SECONDS")
        ->check([](const std::string& value) {
          char* end = nullptr;
          const double seconds = std::strtod(value.c_str(), &end);
          if (value.empty() || *end != '\0' || !(seconds > 0 && seconds <= 600)) {
            return std::string("SECONDS must be more than 0 and at most 600");
          }
          return std::string();
        });
  }
  if (withVerbose) app.add_flag("--verbose,-v", options.verbose, "Log every port event and write on standard error.");
}

int unknownModel(const std::string& name) {
  std::cerr << "valmor-cli: unknown strobe model '" << name << "' ('valmor-cli models' lists them)\n";
  return kExitUsage;
}

int writeImage(const std::string& model, bool hex) {
  const auto image = Repository().profileImage(model);
  if (!image) return failure(std::cerr, "no profile image for " + model);
  if (!hex) {
    if (std::fwrite(image->data(), 1, image->size(), stdout) != image->size() || std::fflush(stdout) != 0) {
      return failure(std::cerr, "cannot write the image to standard output");
    }
    return kExitOk;
  }
  for (std::size_t i = 0; i < image->size(); ++i) std::printf("%02X%c", (*image)[i], i % 16 == 15 ? '\n' : ' ');
  return std::fflush(stdout) == 0 ? kExitOk : kExitFailure;
}

// The first word of the command line that is no option nor an option's
// value: the command the user meant.
std::string firstWord(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--port" || arg == "--wait") {
      ++i;
    } else if (arg.empty() || arg[0] != '-') {
      return arg;
    }
  }
  return "";
}

// One line for a usage error, with where to read more.
int usageError(const CLI::App& app, const CLI::ParseError& error, int argc, char** argv) {
  const std::string word = firstWord(argc, argv);
  const CLI::App* command = nullptr;
  for (const CLI::App* sub : app.get_subcommands({})) {
    if (sub->get_name() == word) command = sub;
  }
  if (command == nullptr && !word.empty()) {
    std::cerr << "valmor-cli: unknown command '" << word << "' (see 'valmor-cli --help')\n";
  } else {
    std::cerr << "valmor-cli: " << error.what() << " (see 'valmor-cli "
              << (command ? command->get_name() + " " : std::string()) << "--help')\n";
  }
  return kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app(kDescription, "valmor-cli");
  app.footer(kFooter);
  auto formatter = std::make_shared<HelpFormatter>();
  formatter->column_width(24);
  app.formatter(formatter);
  app.require_subcommand(1);
  app.fallthrough();  // options of the program may follow the command too

  PortOptions portOptions;
  addPortOptions(app, portOptions, kUnitWait);

  auto* models = app.add_subcommand("models", "List the twelve strobe model names, one a line. Names are\n"
                                              "exact and case-sensitive; quote those with spaces.");
  std::string model;
  auto* title = app.add_subcommand("title", "Print the 35-character title line sent for MODEL.");
  title->add_option("MODEL", model, "A strobe model name (see models).")->required()->type_name("");
  bool hex = false;
  auto* image = app.add_subcommand("image", "Write the 320-byte profile image of MODEL to standard output.");
  image->add_option("MODEL", model, "A strobe model name (see models).")->required()->type_name("");
  image->add_flag("--hex", hex, "In hexadecimal, 16 bytes a line, instead of raw bytes.");

  auto* initialize = app.add_subcommand(
      "initialize", "Send Initialize (0x31 0x0A) to the unit and print its answer.\n"
                    "The port is opened at 42105 baud, 8 data bits, even parity, 1 stop\n"
                    "bit, and greeted with a line feed first.");
  addPortOptions(*initialize, portOptions, kUnitWait);
  auto* download = app.add_subcommand(
      "download", "Send MODEL's title line and profile image to the unit (359 bytes,\n"
                  "with the pauses the unit needs) and print its answer.");
  download->add_option("MODEL", model, "A strobe model name (see models).")->required()->type_name("");
  addPortOptions(*download, portOptions, kUnitWait);

  ListJob listJob;
  auto* list = app.add_subcommand(
      "list", "List the serial ports, one a line: path, name, and where known the\n"
              "driver, USB vendor:product, serial number, /dev/serial/by-id link,\n"
              "and \"unit\" for a VALMOR unit.");
  list->add_flag("--units", listJob.unitsOnly, "Only VALMOR units.");
  list->add_flag("--json", listJob.json, "A JSON array of objects, for scripts.");
  bool watchJson = false;
  auto* watch = app.add_subcommand(
      "watch", "Print a line for each serial port plugged in (connected) or pulled\n"
               "out (disconnected), until Ctrl+C.");
  watch->add_flag("--json", watchJson, "One JSON object a line, with \"event\".");

  // send and request share their options.
  struct LineOptions {
    std::string data;
    bool hex = false;
    std::string parity = "even";
    std::optional<std::string> prefix, suffix, expression;
    std::optional<std::size_t> length;
    std::size_t maxLength = 1024;
    int breakMs = 0;
    LineSettingsOptions line;
  } lineOptions;
  auto addLineOptions = [&](CLI::App& command) {
    command.add_option("DATA", lineOptions.data,
                       "The bytes to write: text with C escapes (\\r \\n \\t \\xHH \\NNN\n"
                       "...), or hexadecimal digits with --hex (\"31 0a\").")
        ->required()
        ->type_name("");
    addPortOptions(command, portOptions, kReplyWait, false);
    command.add_flag("--hex", lineOptions.hex,
                     "DATA, --prefix and --suffix in hexadecimal, and what comes\nback printed in hexadecimal.");
    command.add_option("--baud", lineOptions.line.baudRate, "Bits per second, any rate the device can do\n(default 42105).")
        ->type_name("RATE")
        ->check(CLI::Range(std::uint64_t{1}, std::uint64_t{4000000}).description(""));
    command.add_option("--data-bits", lineOptions.line.dataBits, "5, 6, 7 or 8 (default 8).")
        ->type_name("N")
        ->check(CLI::IsMember({5, 6, 7, 8}).description(""));
    command.add_option("--parity", lineOptions.parity, "none, odd, even, mark or space (default even).")
        ->type_name("PARITY")
        ->check(CLI::IsMember({"none", "odd", "even", "mark", "space"}).description(""));
    command.add_option("--stop-bits", lineOptions.line.stopBits, "1 or 2 (default 1).")
        ->type_name("N")
        ->check(CLI::IsMember({1, 2}).description(""));
    command.add_flag("--rtscts", lineOptions.line.rtscts, "RTS/CTS hardware flow control.");
    command.add_flag("--xonxoff", lineOptions.line.xonxoff, "XON/XOFF software flow control.");
    command.add_option("--break", lineOptions.breakMs, "Send a break of MS milliseconds (1 to 10000) before\nDATA.")
        ->type_name("MS")
        ->check(CLI::Range(1, 10000).description(""));
    command.add_option("--prefix", lineOptions.prefix, "The reply begins with TEXT.")->type_name("TEXT");
    command.add_option("--suffix", lineOptions.suffix, "The reply ends with TEXT; alone, the reply is all that\ncomes back up to TEXT (\\n for a line).")->type_name("TEXT");
    command.add_option("--expression", lineOptions.expression,
                       "The reply matches the regular expression RE from its\nfirst byte (ICU syntax).")
        ->type_name("RE");
    command.add_option("--length", lineOptions.length, "The reply is exactly N bytes (1 to 65536).")
        ->type_name("N")
        ->check(CLI::Range(std::size_t{1}, std::size_t{65536}).description(""));
    command.add_option("--max-length", lineOptions.maxLength,
                       "The longest reply looked for with --prefix, --suffix or\n--expression (default 1024).")
        ->type_name("N")
        ->check(CLI::Range(std::size_t{1}, std::size_t{1} << 20).description(""));
  };
  auto* send = app.add_subcommand(
      "send", "Write DATA to a serial port, then print what comes back until --wait\n"
              "has passed; with a reply form, until the first reply of that form\n"
              "(and only it). The line is set to --baud, --parity and --stop-bits\n"
              "(default the unit's: 42105 baud, even parity, 1 stop bit).");
  addLineOptions(*send);
  auto* request = app.add_subcommand(
      "request", "Write DATA as a request through the port's request queue and print\n"
                 "its reply, which has the form given by --prefix and --suffix,\n"
                 "--expression or --length, waiting --wait seconds for it. Without\n"
                 "a reply form it ends once DATA is written.");
  addLineOptions(*request);

  for (CLI::App* command : app.get_subcommands({})) command->footer(kCommandFooter);

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    if (error.get_exit_code() == 0) return app.exit(error);  // --help
    return usageError(app, error, argc, argv);
  }

  if (models->parsed()) {
    for (std::string_view name : strobeModelNames()) std::cout << name << '\n';
    return std::cout.flush() ? kExitOk : kExitFailure;
  }
  if ((title->parsed() || image->parsed() || download->parsed()) && !findStrobeModel(model)) {
    // Refused before the unit is even looked for: nothing reaches the line.
    return unknownModel(model);
  }
  if (title->parsed()) {
    const auto line = Repository().titleLine(model);
    if (!line) return failure(std::cerr, "no title line for " + model);
    std::cout << *line << '\n';
    return std::cout.flush() ? kExitOk : kExitFailure;
  }
  if (image->parsed()) return writeImage(model, hex);

  LineJob lineJob;
  if (send->parsed() || request->parsed()) {
    const CLI::App& command = send->parsed() ? *send : *request;
    auto bytes = [&](const std::string& text, const char* what) -> std::optional<ByteVector> {
      ParsedBytes parsed = lineOptions.hex ? parseHexBytes(text) : parseEscapedText(text);
      if (parsed.ok()) return std::move(parsed.bytes);
      std::cerr << "valmor-cli: " << what << ": " << parsed.error << " (see 'valmor-cli " << command.get_name()
                << " --help')\n";
      return std::nullopt;
    };
    auto data = bytes(lineOptions.data, "DATA");
    if (!data) return kExitUsage;
    lineJob.data = std::move(*data);
    ReplyForm form;
    for (auto [text, into, what] : {std::tuple{&lineOptions.prefix, &form.prefix, "--prefix"},
                                    std::tuple{&lineOptions.suffix, &form.suffix, "--suffix"}}) {
      if (!*text) continue;
      *into = bytes(**text, what);
      if (!*into) return kExitUsage;
    }
    form.expression = lineOptions.expression;
    form.length = lineOptions.length;
    form.maxLength = lineOptions.maxLength;
    std::string error;
    lineJob.reply = replyDescriptor(form, error);
    if (!error.empty()) {
      std::cerr << "valmor-cli: " << error << " (see 'valmor-cli " << command.get_name() << " --help')\n";
      return kExitUsage;
    }
    if (form.suffix && !form.prefix) lineJob.suffixOnly = form.suffix;
    lineJob.request = request->parsed();
    lineJob.line = lineOptions.line;
    const std::map<std::string, std::uint64_t> parities = {{"none", kParityNone}, {"odd", kParityOdd},
                                                           {"even", kParityEven}, {"mark", kParityMark},
                                                           {"space", kParitySpace}};
    lineJob.line.parity = parities.at(lineOptions.parity);
    lineJob.line.breakBefore = std::chrono::milliseconds(lineOptions.breakMs);
    lineJob.hex = lineOptions.hex;
  }

  // The commands below use the serial library: its main queue runs here, and
  // a stop signal ends them through their normal path.
  auto queue = std::make_shared<RunLoopMainQueue>();
  setMainQueue(queue);
  installStopSignals();
  int status = kExitOk;
  if (initialize->parsed() || download->parsed()) {
    UnitJob job;
    job.port = portOptions.port;
    job.initialize = initialize->parsed();
    job.model = model;
    job.wait = std::chrono::milliseconds(static_cast<long>(std::strtod(portOptions.waitText.c_str(), nullptr) * 1000));
    job.waitText = portOptions.waitText;
    job.verbose = portOptions.verbose;
    status = talkToUnit(job, *queue, std::cout, std::cerr);
  } else if (send->parsed() || request->parsed()) {
    lineJob.port = portOptions.port;
    lineJob.wait = std::chrono::milliseconds(static_cast<long>(std::strtod(portOptions.waitText.c_str(), nullptr) * 1000));
    lineJob.waitText = portOptions.waitText;
    status = talkToPort(lineJob, *queue, std::cout, std::cerr);
  } else if (list->parsed()) {
    status = listPorts(listJob, std::cout, std::cerr);
  } else if (watch->parsed()) {
    status = watchPorts(watchJson, *queue, std::cout, std::cerr);
  }
  queue->shutDown();
  return status;
}
