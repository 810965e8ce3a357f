#include "tools/cli/line_session.h"

#include <algorithm>
#include <vector>

#include "valmor/discovery/device_registry.h"
#include "valmor/serial/serial_port.h"
#include "valmor/serial/serial_port_delegate.h"
#include "valmor/serial/serial_request.h"
#include "tools/cli/cli_common.h"
#include "tools/cli/messages.h"
#include "tools/cli/unit_finder.h"

namespace valmor {

namespace {

using namespace std::chrono_literals;

// Everything the port tells, kept for the session to look at.
class Recorder : public SerialPortDelegate {
 public:
  void serialPortWasOpened(SerialPort&) override { opened = true; }
  void serialPortWasClosed(SerialPort&) override { closed = true; }
  void serialPortWasRemovedFromSystem(SerialPort&) override { removed = true; }
  void serialPortDidEncounterError(SerialPort&, const PosixError& e) override {
    if (!error) error = e;
  }
  void serialPortDidReceiveData(SerialPort&, std::span<const std::uint8_t> data) override {
    received.insert(received.end(), data.begin(), data.end());
  }
  void serialPortDidReceivePacketMatchingDescriptor(SerialPort&, std::span<const std::uint8_t> packet,
                                                    const std::shared_ptr<SerialPacketDescriptor>&) override {
    if (!reply) {
      reply = ByteVector(packet.begin(), packet.end());
      receivedAtReply = received.size();
    }
  }
  void serialPortDidReceiveResponseToRequest(SerialPort&, std::span<const std::uint8_t> response,
                                             const std::shared_ptr<SerialRequest>&) override {
    reply = ByteVector(response.begin(), response.end());
    receivedAtReply = received.size();
  }
  void serialPortRequestDidTimeout(SerialPort&, const std::shared_ptr<SerialRequest>&) override { timedOut = true; }

  bool opened = false, closed = false, removed = false, timedOut = false;
  std::optional<PosixError> error;
  ByteVector received;
  std::optional<ByteVector> reply;
  std::size_t receivedAtReply = 0;  // bytes received when the reply was found
};

void print(std::ostream& out, const ByteVector& bytes, bool hex) {
  if (hex) {
    if (!bytes.empty()) out << hexText(bytes) << '\n';
  } else {
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  }
  out.flush();
}

}  // namespace

std::shared_ptr<SerialPacketDescriptor> replyDescriptor(const ReplyForm& form, std::string& error) {
  const int kinds = (form.prefix || form.suffix) + !!form.expression + !!form.length;
  if (kinds > 1) {
    error = "give one reply form: --prefix and --suffix, --expression, or --length";
    return nullptr;
  }
  if (form.length) {
    const std::size_t n = *form.length;
    return SerialPacketDescriptor::initWithMaximumPacketLength(
        n, {}, [n](std::span<const std::uint8_t> candidate) { return candidate.size() == n; });
  }
  if (form.expression) {
    auto descriptor = SerialPacketDescriptor::initWithRegularExpression(*form.expression, form.maxLength, {});
    if (!descriptor) error = "invalid expression '" + *form.expression + "'";
    return descriptor;
  }
  if (form.prefix || form.suffix) return SerialPacketDescriptor::initWithPrefix(form.prefix, form.suffix, form.maxLength, {});
  return nullptr;
}

int talkToPort(const LineJob& job, RunLoopMainQueue& queue, std::ostream& out, std::ostream& err) {
  const auto chosen = portToUse(job.port, deviceRegistry());
  if (!chosen) return failure(err, noUnitFound(deviceRegistry()));
  const std::string& path = *chosen;
  auto port = SerialPort::serialPortWithPath(path);
  if (!port) return failure(err, notASerialDevice(path));
  auto recorder = std::make_shared<Recorder>();
  port->setDelegate(recorder);
  port->setBaudRate(job.line.baudRate);
  port->setAllowsNonStandardBaudRates(true);
  port->setParity(job.line.parity);
  port->setNumberOfDataBits(job.line.dataBits);
  port->setNumberOfStopBits(job.line.stopBits);
  port->setUsesRTSCTSFlowControl(job.line.rtscts);
  port->setUsesXONXOFFFlowControl(job.line.xonxoff);

  // Closes the port and lets the close complete, so that the device gets its
  // attributes back before the program ends.
  auto finish = [&](int status) {
    if (port->isOpen()) {
      port->close();
      queue.runUntil([&] { return recorder->closed || !port->isOpen(); }, 2s);
    }
    return status;
  };

  port->open();
  queue.runUntil([&] { return recorder->opened || recorder->error.has_value() || stopRequested(); }, 3s);
  if (stopRequested()) return finish(interrupted(err));
  if (!recorder->opened) {
    return finish(failure(err, recorder->error ? openFailure(path, *recorder->error) : path + " did not open"));
  }
  // A setting the device refused (a rate it cannot do) is reported now.
  queue.runPending();
  if (recorder->error) return finish(failure(err, "cannot set up " + path + ": " + recorder->error->message()));

  if (job.line.breakBefore.count() > 0 && !port->sendBreak(job.line.breakBefore)) {
    queue.runPending();
    return finish(failure(err, "cannot send a break on " + path +
                                   (recorder->error ? ": " + recorder->error->message() : std::string())));
  }

  bool written;
  if (job.request) {
    written = port->sendRequest(SerialRequest::requestWithDataToSend(
        job.data, {}, static_cast<double>(job.wait.count()) / 1000.0, job.reply));
  } else {
    if (job.reply) port->startListeningForPacketsMatchingDescriptor(job.reply);
    written = port->sendData(job.data);
  }
  queue.runPending();
  if (!written) {
    if (recorder->removed || (recorder->error && isDeviceGone(recorder->error->code))) {
      return finish(failure(err, path + " was unplugged"));
    }
    return finish(failure(err, "cannot write to " + path + ": " +
                                   (recorder->error ? recorder->error->message() : "the port is not open")));
  }
  if (job.request && !job.reply) return finish(kExitOk);

  // The request queue reports its own time-out; the deadline here only
  // guards against one that never comes.
  const auto deadline = job.wait + (job.request ? 2s : 0s);
  queue.runUntil([&] { return recorder->reply || recorder->timedOut || recorder->removed || stopRequested(); },
                 deadline);
  if (stopRequested()) return finish(interrupted(err));
  if (!job.reply) {
    print(out, recorder->received, job.hex);
    return finish(recorder->removed ? failure(err, path + " was unplugged") : kExitOk);
  }
  if (!recorder->reply) {
    if (recorder->removed) return finish(failure(err, path + " was unplugged before the reply"));
    return finish(failure(err, "no reply within " + job.waitText + " s"));
  }
  if (job.suffixOnly) {
    // Every chunk is delivered before the reply it completes; the reply
    // ended with the first occurrence of the suffix.
    const ByteVector& got = recorder->received;
    const auto end = got.begin() + static_cast<std::ptrdiff_t>(recorder->receivedAtReply);
    const auto at = std::search(got.begin(), end, job.suffixOnly->begin(), job.suffixOnly->end());
    if (at != end) {
      print(out, ByteVector(got.begin(), at + static_cast<std::ptrdiff_t>(job.suffixOnly->size())), job.hex);
      return finish(kExitOk);
    }
  }
  print(out, *recorder->reply, job.hex);
  return finish(kExitOk);
}

}  // namespace valmor
