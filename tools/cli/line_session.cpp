#include "tools/cli/line_session.h"

#include <algorithm>
#include <atomic>
#include <mutex>
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

// Everything the port tells, kept for the session to look at. The port
// calls it on the library's threads (a stream of bytes is then gathered on
// the reading thread without waking the main thread for each piece); each
// event the session waits for posts an empty task that wakes the main loop.
class Recorder : public SerialPortDelegate {
 public:
  void serialPortWasOpened(SerialPort&) override { set(opened_); }
  void serialPortWasClosed(SerialPort&) override { set(closed_); }
  void serialPortWasRemovedFromSystem(SerialPort&) override { set(removed_); }
  void serialPortDidEncounterError(SerialPort&, const PosixError& e) override {
    {
      std::lock_guard lock(mutex_);
      if (!error_) error_ = e;
    }
    mainQueue().post([] {});
  }
  void serialPortDidReceiveData(SerialPort&, std::span<const std::uint8_t> data) override {
    std::lock_guard lock(mutex_);
    received_.insert(received_.end(), data.begin(), data.end());
  }
  void serialPortDidReceivePacketMatchingDescriptor(SerialPort&, std::span<const std::uint8_t> packet,
                                                    const std::shared_ptr<SerialPacketDescriptor>&) override {
    {
      std::lock_guard lock(mutex_);
      if (reply_) return;
      reply_ = ByteVector(packet.begin(), packet.end());
      receivedAtReply_ = received_.size();
    }
    mainQueue().post([] {});
  }
  void serialPortDidReceiveResponseToRequest(SerialPort&, std::span<const std::uint8_t> response,
                                             const std::shared_ptr<SerialRequest>&) override {
    {
      std::lock_guard lock(mutex_);
      reply_ = ByteVector(response.begin(), response.end());
      receivedAtReply_ = received_.size();
    }
    mainQueue().post([] {});
  }
  void serialPortRequestDidTimeout(SerialPort&, const std::shared_ptr<SerialRequest>&) override { set(timedOut_); }

  bool opened() const { return opened_; }
  bool closed() const { return closed_; }
  bool removed() const { return removed_; }
  bool timedOut() const { return timedOut_; }
  std::optional<PosixError> error() const {
    std::lock_guard lock(mutex_);
    return error_;
  }
  ByteVector received() const {
    std::lock_guard lock(mutex_);
    return received_;
  }
  std::optional<ByteVector> reply() const {
    std::lock_guard lock(mutex_);
    return reply_;
  }
  // Bytes received when the reply was found.
  std::size_t receivedAtReply() const {
    std::lock_guard lock(mutex_);
    return receivedAtReply_;
  }

 private:
  static void set(std::atomic<bool>& flag) {
    flag = true;
    mainQueue().post([] {});
  }

  std::atomic<bool> opened_{false}, closed_{false}, removed_{false}, timedOut_{false};
  mutable std::mutex mutex_;
  std::optional<PosixError> error_;  // Guarded by mutex_.
  ByteVector received_;              // Guarded by mutex_.
  std::optional<ByteVector> reply_;  // Guarded by mutex_.
  std::size_t receivedAtReply_ = 0;  // Guarded by mutex_.
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
  port->setDelegateDelivery(SerialPort::DelegateDelivery::LibraryThread);
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
      queue.runUntil([&] { return recorder->closed() || !port->isOpen(); }, 2s);
    }
    return status;
  };

  // The delegate hears of things on the library's threads: a failure
  // reported by a call that failed is waited for, not merely pumped.
  auto awaitError = [&] {
    queue.runUntil([&] { return recorder->error().has_value() || recorder->removed() || stopRequested(); }, 500ms);
  };

  port->open();
  if (!port->isOpen()) {
    awaitError();
    return finish(failure(err, recorder->error() ? openFailure(path, *recorder->error()) : path + " did not open"));
  }
  queue.runUntil([&] { return recorder->opened() || stopRequested(); }, 3s);
  if (stopRequested()) return finish(interrupted(err));
  if (!recorder->opened()) return finish(failure(err, path + " did not open"));
  // A setting the device refused (a rate it cannot do) was reported before
  // the opening.
  if (recorder->error()) return finish(failure(err, "cannot set up " + path + ": " + recorder->error()->message()));

  if (job.line.breakBefore.count() > 0 && !port->sendBreak(job.line.breakBefore)) {
    awaitError();
    return finish(failure(err, "cannot send a break on " + path +
                                   (recorder->error() ? ": " + recorder->error()->message() : std::string())));
  }

  bool written;
  if (job.request) {
    written = port->sendRequest(SerialRequest::requestWithDataToSend(
        job.data, {}, static_cast<double>(job.wait.count()) / 1000.0, job.reply));
  } else {
    if (job.reply) port->startListeningForPacketsMatchingDescriptor(job.reply);
    written = port->sendData(job.data);
  }
  if (!written) {
    awaitError();
    if (recorder->removed() || (recorder->error() && isDeviceGone(recorder->error()->code))) {
      return finish(failure(err, path + " was unplugged"));
    }
    return finish(failure(err, "cannot write to " + path + ": " +
                                   (recorder->error() ? recorder->error()->message() : "the port is not open")));
  }
  if (job.request && !job.reply) return finish(kExitOk);

  // The request queue reports its own time-out; the deadline here only
  // guards against one that never comes.
  const auto deadline = job.wait + (job.request ? 2s : 0s);
  queue.runUntil(
      [&] { return recorder->reply().has_value() || recorder->timedOut() || recorder->removed() || stopRequested(); },
      deadline);
  if (stopRequested()) return finish(interrupted(err));
  if (!job.reply) {
    print(out, recorder->received(), job.hex);
    return finish(recorder->removed() ? failure(err, path + " was unplugged") : kExitOk);
  }
  if (!recorder->reply()) {
    if (recorder->removed()) return finish(failure(err, path + " was unplugged before the reply"));
    return finish(failure(err, "no reply within " + job.waitText + " s"));
  }
  if (job.suffixOnly) {
    // Every chunk is delivered before the reply it completes; the reply
    // ended with the first occurrence of the suffix.
    const ByteVector got = recorder->received();
    const auto end = got.begin() + static_cast<std::ptrdiff_t>(recorder->receivedAtReply());
    const auto at = std::search(got.begin(), end, job.suffixOnly->begin(), job.suffixOnly->end());
    if (at != end) {
      print(out, ByteVector(got.begin(), at + static_cast<std::ptrdiff_t>(job.suffixOnly->size())), job.hex);
      return finish(kExitOk);
    }
  }
  print(out, *recorder->reply(), job.hex);
  return finish(kExitOk);
}

}  // namespace valmor
