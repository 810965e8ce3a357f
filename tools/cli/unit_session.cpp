#include "tools/cli/unit_session.h"

#include <memory>
#include <vector>

#include "valmor/discovery/device_registry.h"
#include "link/serial_port_handler.h"
#include "link/upload_protocol.h"
#include "profile/repository.h"
#include "tools/cli/cli_common.h"
#include "tools/cli/messages.h"
#include "tools/cli/unit_finder.h"

namespace valmor {

namespace {

using namespace std::chrono_literals;

// Text from the unit as lines: CR LF becomes LF, and the output ends with
// exactly one line feed.
std::string forTerminal(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    out += text[i];
  }
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return out + '\n';
}

}  // namespace

int talkToUnit(const UnitJob& job, RunLoopMainQueue& queue, std::ostream& out, std::ostream& err) {
  const auto chosen = portToUse(job.port, deviceRegistry());
  if (!chosen) return failure(err, noUnitFound(deviceRegistry()));
  const std::string& path = *chosen;

  // Port events are logged only when asked for: standard output carries the
  // unit's answer alone.
  std::ostream discard(nullptr);
  auto handler = SerialPortHandler::create(job.verbose ? err : discard);
  bool opened = false, closed = false, removed = false;
  std::optional<PosixError> error;
  std::vector<std::string> pieces;
  handler->onOpened = [&] { opened = true; };
  handler->onClosed = [&] { closed = true; };
  handler->onRemoved = [&] { removed = true; };
  handler->onError = [&](const PosixError& e) {
    if (!error) error = e;
  };
  handler->onDataReceived = [&](const std::string& text) { pieces.push_back(text); };

  // Closes the port and lets the close complete, so that the device gets its
  // attributes back before the program ends.
  std::shared_ptr<SerialPort> port;
  auto finish = [&](int status) {
    if (port && port->isOpen()) {
      port->close();
      queue.runUntil([&] { return closed || !port->isOpen(); }, 2s);
    }
    return status;
  };

  handler->openPort(path);
  port = handler->serialPort();
  if (!port) return failure(err, notASerialDevice(path));
  queue.runUntil([&] { return opened || error.has_value() || stopRequested(); }, 3s);
  if (stopRequested()) return finish(interrupted(err));
  if (!opened) {
    return finish(failure(err, error ? openFailure("the unit at " + path, *error)
                                     : "the unit at " + path + " did not open"));
  }

  std::optional<std::string> status;
  const bool sent = job.initialize ? initialize(*handler)
                                   : download(*handler, Repository(), job.model, [&](const std::string& text) {
                                       status = text;
                                       if (job.verbose) err << "Status: " << text << '\n';
                                     });
  queue.runPending();  // the error reports of the writes
  const char* sequence = job.initialize ? "Initialize" : "the upload";
  if (!sent) {
    // A unit pulled out mid-sequence fails the write with EIO; say what
    // happened rather than the system's "Input/output error".
    if (removed || (error && isDeviceGone(error->code))) {
      return finish(failure(err, std::string("the unit was unplugged during ") + sequence));
    }
    const std::string why = error ? error->message() : "the port is not open";
    return finish(failure(err, std::string(job.initialize ? "Initialize failed: " : "Upload failed: ") + why));
  }

  queue.runUntil([&] { return !pieces.empty() || removed || stopRequested(); }, job.wait);
  if (stopRequested()) return finish(interrupted(err));
  if (pieces.empty()) {
    if (removed) return finish(failure(err, "the unit was unplugged before it answered"));
    return finish(failure(err, "no answer from the unit within " + job.waitText + " s"));
  }
  // The rest of an answer may follow in a chunk of its own.
  queue.runFor(100ms);
  std::string answer;
  for (const std::string& piece : pieces) answer += piece;
  answer += handler->line();
  out << forTerminal(answer) << std::flush;
  return finish(kExitOk);
}

}  // namespace valmor
