// valmor-cli: the VALMOR setup utility without a window, over the same link
// code as the desktop app. See --help.
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "discovery/device_registry.h"
#include "link/serial_port_handler.h"
#include "link/upload_protocol.h"
#include "platform/main_queue.h"
#include "profile/repository.h"
#include "profile/strobe_models.h"
#include "tools/cli/unit_finder.h"

namespace {

using namespace std::chrono_literals;
using valmor::SerialPortHandler;

constexpr const char* kHelp = R"(Usage: valmor-cli [OPTIONS] COMMAND [ARGUMENTS]

Sets up a VALMOR unit for a strobe model, as the desktop app does.

Commands:
  models             List the twelve strobe model names, one a line. Names
                     are exact and case-sensitive; quote those with spaces.
  title MODEL        Print the 35-character title line sent for MODEL.
  image MODEL        Write the 320-byte profile image of MODEL to standard
                     output, raw (for a file or a pipe).
  image MODEL --hex  The same image in hexadecimal, 16 bytes a line.
  initialize         Send Initialize (0x31 0x0A) to the unit and print its
                     answer.
  download MODEL     Send MODEL's title line and profile image to the unit
                     (359 bytes, with the pauses the unit needs) and print its
                     answer.

Options:
  --port PATH        The unit's serial device. Default: the first device of
                     the device registry whose path contains "usbserial" or
                     whose name is ttyUSB<n>. The registry is udev, or the
                     directory named by VALMOR_DEVICE_DIR (see valmor-sim).
  --wait SECONDS     How long to wait for the unit's answer (default 3).
  --verbose, -v      Log every port event and write on standard error.
  --help, -h         This text.

The unit's port is opened at 42105 baud, 8 data bits, even parity, 1 stop
bit, and greeted with a line feed before any command.

Exit status: 0 done (the unit's answer is printed on standard output);
1 failure (no unit, unit in use by another process, open or write failed, no
answer in time); 2 usage (unknown command or option, unknown model).

Examples:
  valmor-cli models
  valmor-cli image RED64 > red64.bin
  valmor-cli download "SUBTRONIC 160"
  VALMOR_DEVICE_DIR=/tmp/units valmor-cli download RED64
)";

constexpr int kOk = 0;
constexpr int kFailure = 1;
constexpr int kUsage = 2;

int usage(const std::string& message) {
  std::cerr << "valmor-cli: " << message << "\nTry 'valmor-cli --help'.\n";
  return kUsage;
}

int failure(const std::string& message) {
  std::cerr << "valmor-cli: " << message << '\n';
  return kFailure;
}

struct Options {
  std::optional<std::string> port;
  std::chrono::milliseconds wait = 3s;
  std::string waitText = "3";
  bool hex = false;
  bool verbose = false;
  std::vector<std::string> words;  // the command and its arguments
};

bool isModel(std::string_view name) { return valmor::findStrobeModel(name) != nullptr; }

int unknownModel(const std::string& name) {
  std::cerr << "valmor-cli: unknown strobe model '" << name
            << "' ('valmor-cli models' lists them)\n";
  return kUsage;
}

// Text from the unit as lines on standard output: CR LF becomes LF, and the
// output ends with exactly one line feed.
std::string forTerminal(std::string text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    out += text[i];
  }
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return out + '\n';
}

std::string openFailure(const std::string& path, const valmor::PosixError& error) {
  if (error.value() == EWOULDBLOCK || error.value() == EAGAIN) {
    return "the unit at " + path + " is in use by another process";
  }
  return "cannot open the unit at " + path + ": " + error.message();
}

// Opens the unit, runs Initialize or Download, and prints the answer.
int talkToUnit(const Options& options, const std::string& command,
               const std::optional<std::string>& model) {
  auto queue = std::make_shared<valmor::RunLoopMainQueue>();
  valmor::setMainQueue(queue);

  std::string path;
  if (options.port) {
    path = *options.port;
  } else if (auto found = valmor::findUnitPath(valmor::deviceRegistry())) {
    path = *found;
  } else {
    return failure(
        "no VALMOR unit found (no serial device whose path contains \"usbserial\" or named "
        "ttyUSB<n>; plug it in, or give --port)");
  }

  // Port events are logged only when asked for: standard output carries the
  // unit's answer alone.
  std::ostream discard(nullptr);
  auto handler = SerialPortHandler::create(options.verbose ? std::cerr : discard);
  bool opened = false;
  bool closed = false;
  std::optional<valmor::PosixError> error;
  std::vector<std::string> pieces;
  handler->onOpened = [&] { opened = true; };
  handler->onClosed = [&] { closed = true; };
  handler->onError = [&](const valmor::PosixError& e) {
    if (!error) error = e;
  };
  handler->onDataReceived = [&](const std::string& text) { pieces.push_back(text); };

  // Closes the port and lets the close complete (it delivers its last call to
  // the main queue), so that the device gets its attributes back.
  auto finish = [&](int status) {
    if (auto port = handler->serialPort(); port && port->isOpen()) {
      port->close();
      queue->runUntil([&] { return closed || !port->isOpen(); }, 2s);
    }
    queue->shutDown();
    return status;
  };

  handler->openPort(path);
  if (!handler->serialPort()) {
    return finish(failure(path + " is not a serial device of the device registry"));
  }
  queue->runUntil([&] { return opened || error.has_value(); }, 3s);
  if (!opened) {
    return finish(failure(error ? openFailure(path, *error) : "the unit at " + path + " did not open"));
  }

  std::optional<std::string> status;
  bool sent;
  if (command == "initialize") {
    sent = valmor::initialize(*handler);
  } else {
    sent = valmor::download(*handler, valmor::Repository(), *model,
                            [&](const std::string& text) {
                              status = text;
                              if (options.verbose) std::cerr << "Status: " << text << '\n';
                            });
  }
  queue->runPending();  // error reports of the writes
  if (!sent) {
    std::string why = error ? error->message() : "the port is not open";
    return finish(failure((command == "initialize" ? "Initialize failed: " : "Upload failed: ") + why));
  }

  if (!queue->runUntil([&] { return !pieces.empty() || !handler->serialPort(); }, options.wait) ||
      pieces.empty()) {
    if (!handler->serialPort()) return finish(failure("the unit was unplugged"));
    return finish(failure("no answer from the unit within " + options.waitText + " s"));
  }
  // The rest of an answer may follow in a chunk of its own.
  queue->runFor(100ms);
  std::string answer;
  for (const std::string& piece : pieces) answer += piece;
  answer += handler->line();
  std::cout << forTerminal(answer) << std::flush;
  return finish(kOk);
}

int writeImage(const std::string& model, bool hex) {
  const auto image = valmor::Repository().profileImage(model);
  if (!image) return failure("no profile image for " + model);
  if (!hex) {
    if (std::fwrite(image->data(), 1, image->size(), stdout) != image->size() ||
        std::fflush(stdout) != 0) {
      return failure("cannot write the image to standard output");
    }
    return kOk;
  }
  for (std::size_t i = 0; i < image->size(); ++i) {
    std::printf("%02X%c", (*image)[i], i % 16 == 15 ? '\n' : ' ');
  }
  return std::fflush(stdout) == 0 ? kOk : kFailure;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&](const std::string& option) -> std::optional<std::string> {
      if (arg.size() > option.size() && arg.compare(0, option.size() + 1, option + "=") == 0) {
        return arg.substr(option.size() + 1);
      }
      if (arg == option && i + 1 < argc) return std::string(argv[++i]);
      return std::nullopt;
    };
    if (arg == "--help" || arg == "-h") {
      std::cout << kHelp;
      return kOk;
    } else if (arg == "--verbose" || arg == "-v") {
      options.verbose = true;
    } else if (arg == "--hex") {
      options.hex = true;
    } else if (arg == "--port" || arg.rfind("--port=", 0) == 0) {
      options.port = value("--port");
      if (!options.port || options.port->empty()) return usage("--port needs a device path");
    } else if (arg == "--wait" || arg.rfind("--wait=", 0) == 0) {
      const auto text = value("--wait");
      char* end = nullptr;
      const double seconds = text ? std::strtod(text->c_str(), &end) : -1;
      if (!text || text->empty() || *end != '\0' || !(seconds > 0 && seconds <= 600)) {
        return usage("--wait needs a number of seconds between 0 and 600");
      }
      options.wait = std::chrono::milliseconds(static_cast<long>(seconds * 1000));
      options.waitText = *text;
    } else if (arg == "--") {
      for (++i; i < argc; ++i) options.words.emplace_back(argv[i]);
    } else if (arg.size() > 1 && arg[0] == '-') {
      return usage("unknown option '" + arg + "'");
    } else {
      options.words.push_back(arg);
    }
  }
  if (options.words.empty()) return usage("no command given");

  const std::string command = options.words[0];
  const std::size_t arguments = options.words.size() - 1;
  auto expectArguments = [&](std::size_t count, const char* form) -> std::optional<int> {
    if (arguments != count) return usage(std::string("usage: valmor-cli ") + form);
    return std::nullopt;
  };
  if (options.hex && command != "image") return usage("--hex goes with image only");

  if (command == "models") {
    if (auto bad = expectArguments(0, "models")) return *bad;
    for (std::string_view name : valmor::strobeModelNames()) std::cout << name << '\n';
    return std::cout.flush() ? kOk : kFailure;
  }
  if (command == "title") {
    if (auto bad = expectArguments(1, "title MODEL")) return *bad;
    if (!isModel(options.words[1])) return unknownModel(options.words[1]);
    const auto title = valmor::Repository().titleLine(options.words[1]);
    if (!title) return failure("no title line for " + options.words[1]);
    std::cout << *title << '\n';
    return std::cout.flush() ? kOk : kFailure;
  }
  if (command == "image") {
    if (auto bad = expectArguments(1, "image MODEL [--hex]")) return *bad;
    if (!isModel(options.words[1])) return unknownModel(options.words[1]);
    return writeImage(options.words[1], options.hex);
  }
  if (command == "initialize") {
    if (auto bad = expectArguments(0, "initialize")) return *bad;
    return talkToUnit(options, command, std::nullopt);
  }
  if (command == "download") {
    if (auto bad = expectArguments(1, "download MODEL")) return *bad;
    // Refused before the unit is even looked for: nothing reaches the line.
    if (!isModel(options.words[1])) return unknownModel(options.words[1]);
    return talkToUnit(options, command, options.words[1]);
  }
  return usage("unknown command '" + command + "'");
}
