#include "valmor/serial/serial_port.h"

#include <exception>
#include <utility>

#include "platform/background.h"
#include "platform/log.h"
#include "valmor/platform/main_queue.h"
#include "valmor/platform/posix_error.h"
#include "platform/thread_checks.h"
#include "serial/port/live_ports.h"
#include "serial/port/serial_port_impl.h"
#include "serial/port/terminal_device.h"

namespace valmor {

SerialPort::Impl& implOf(SerialPort& port) { return *port.impl_; }

SerialPort::Impl::Impl(SerialPort& o, DeviceHandle d, std::string p, std::string n)
    : owner(o), device(std::move(d)), path(std::move(p)), name(std::move(n)) {}

SerialPort::SerialPort(PrivateTag, DeviceHandle device, std::string path, std::string name)
    : impl_(std::make_unique<Impl>(*this, std::move(device), std::move(path), std::move(name))) {
  declareDependency("isOpen", "fileDescriptor");
  declareDependency("packetDescriptors", "packetDescriptorsAndBuffers");
  declareDependency("queuedRequests", "requestsQueue");
}

SerialPort::~SerialPort() {
  LivePorts::shared().remove(this);
  // Nobody holds the port any more, so nobody can be told: the session
  // finishes the close on its own and releases the descriptor.
  std::shared_ptr<PortSession> session;
  {
    std::lock_guard lock(impl_->mutex);
    session = std::move(impl_->session);
  }
  if (session) session->requestClose(nullptr);
}

// ---- Making ports ----

std::shared_ptr<SerialPort> SerialPort::serialPortWithPath(std::string_view path) {
  if (const DeviceHandle device = deviceFromBSDPath(path)) return serialPortWithDevice(device);

  // A serial line the registry does not list (a pseudo-terminal, a link to
  // one, a port udev has not set up): a port without registry properties,
  // identified by the path as given and named after the device.
  const auto name = serialTerminalName(path);
  if (!name) return nullptr;
  return LivePorts::shared().findOrAdd(path, [&] {
    return std::make_shared<SerialPort>(PrivateTag{}, std::make_shared<const Device>(Device({})),
                                        std::string(path), *name);
  });
}

std::shared_ptr<SerialPort> SerialPort::serialPortWithDevice(const DeviceHandle& device) {
  const std::string path = bsdCalloutPathFromDevice(device);
  if (path.empty()) return nullptr;
  return LivePorts::shared().findOrAdd(path, [&] {
    return std::make_shared<SerialPort>(PrivateTag{}, device, path, modemNameFromDevice(device));
  });
}

std::shared_ptr<SerialPort> SerialPort::existingPortWithPath(std::string_view path) {
  return LivePorts::shared().find(path);
}

DeviceHandle SerialPort::deviceFromBSDPath(std::string_view path) {
  if (path.empty()) return nullptr;
  DeviceIterator devices = deviceRegistry().serialStreamDevices();
  while (DeviceHandle device = devices.next()) {
    if (bsdCalloutPathFromDevice(device) == path || bsdDialinPathFromDevice(device) == path)
      return device;
  }
  return nullptr;
}

namespace {
std::string stringProperty(const DeviceHandle& device, std::string_view key) {
  return DeviceRegistry::property(device, key).value_or(std::string());
}
}  // namespace

std::string SerialPort::bsdCalloutPathFromDevice(const DeviceHandle& d) { return stringProperty(d, kIOCalloutDevice); }
std::string SerialPort::bsdDialinPathFromDevice(const DeviceHandle& d) { return stringProperty(d, kIODialinDevice); }
std::string SerialPort::baseNameFromDevice(const DeviceHandle& d) { return stringProperty(d, kIOTTYBaseName); }
std::string SerialPort::serviceTypeFromDevice(const DeviceHandle& d) { return stringProperty(d, kIOSerialBSDClientType); }
std::string SerialPort::modemNameFromDevice(const DeviceHandle& d) { return stringProperty(d, kIOTTYDevice); }
std::string SerialPort::suffixFromDevice(const DeviceHandle& d) { return stringProperty(d, kIOTTYSuffix); }

// ---- Identity and state ----

int SerialPort::fileDescriptor() const { return impl_->fileDescriptor.load(std::memory_order_acquire); }
const std::string& SerialPort::path() const { return impl_->path; }
const std::string& SerialPort::name() const { return impl_->name; }
const DeviceHandle& SerialPort::device() const { return impl_->device; }

std::shared_ptr<SerialPortDelegate> SerialPort::delegate() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->delegate.lock();
}

void SerialPort::setDelegate(std::weak_ptr<SerialPortDelegate> delegate) {
  {
    std::lock_guard lock(impl_->mutex);
    impl_->delegate = std::move(delegate);
  }
  didChange("delegate");
}

SerialPort::DelegateDelivery SerialPort::delegateDelivery() const {
  return impl_->dispatch->onLibraryThreads() ? DelegateDelivery::LibraryThread : DelegateDelivery::MainQueue;
}

void SerialPort::setDelegateDelivery(DelegateDelivery delivery) {
  const bool onLibraryThreads = delivery == DelegateDelivery::LibraryThread;
  if (impl_->dispatch->onLibraryThreads() == onLibraryThreads) return;
  impl_->dispatch->setOnLibraryThreads(onLibraryThreads);
  didChange("delegateDelivery");
}

// ---- Opening, writing, closing ----

void SerialPort::open() { impl_->openUnlessClosedSince(nullptr); }

void SerialPort::Impl::openUnlessClosedSince(const std::uint64_t* closeCountThen) {
  std::unique_lock applyLock(applyMutex);
  {
    std::lock_guard lock(mutex);
    // A reopen that a close() has overtaken does not happen.
    if (closeCountThen && *closeCountThen != closeCount) return;
    if (session) {
      // Open already, or closing: in the latter case open again as soon as
      // the close has completed.
      if (session->closeRequested()) reopenAfterClose = true;
      return;
    }
  }

  std::error_code error;
  auto opened = PortSession::open(path, std::weak_ptr<PortSessionClient>(asClient()), currentDeviceIo(), error);
  if (!opened) {
    notifyDelegateOfPosixError(error);
    return;
  }
  removalReported = false;
  if (auto e = opened->applyLineSettings(settingsSnapshot())) notifyDelegateOfPosixError(e);
  applyControls(opened);
  updateModemLines(opened);

  // Stored before it starts, so that a hang-up it reports finds it; the
  // opening is queued before the session can read, so that the delegate
  // hears of it before any byte.
  {
    std::lock_guard lock(mutex);
    session = opened;
    fileDescriptor.store(opened->descriptor(), std::memory_order_release);
  }
  queueDelegateCall(SerialPortDelegate::kWasOpened,
                    [](SerialPortDelegate& d, SerialPort& p) { d.serialPortWasOpened(p); });
  opened->start();
  applyLock.unlock();
  owner.didChange("fileDescriptor");
}

std::shared_ptr<PortSessionClient> SerialPort::Impl::asClient() {
  return std::shared_ptr<PortSessionClient>(owner.shared_from_this(), this);
}

bool SerialPort::close() {
  std::shared_ptr<PortSession> session;
  {
    std::lock_guard lock(impl_->mutex);
    impl_->reopenAfterClose = false;
    ++impl_->closeCount;
    session = impl_->session;
  }
  if (session) session->requestClose(impl_->asClient());
  return true;
}

bool SerialPort::sendData(std::span<const std::uint8_t> data) {
  // A port that is closing takes no more bytes, like a closed one.
  const auto session = impl_->activeSession();
  if (!session) return false;
  if (data.empty()) return true;
  const std::error_code error = session->write(data);
  if (!error) return true;
  impl_->notifyDelegateOfPosixError(error);
  return false;
}

bool SerialPort::sendData(std::string_view text) {
  return sendData(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

void SerialPort::cleanupAfterSystemRemoval() {
  // On the main thread the delegate is called inside this call; if it drops
  // the caller's reference to the port, this one keeps it alive to the end.
  const auto self = shared_from_this();
  impl_->removalReported = true;
  impl_->reportRemovalAndClose();
}

void SerialPort::Impl::reportRemovalAndClose() {
  DelegateCall removal = [](SerialPortDelegate& d, SerialPort& p) { d.serialPortWasRemovedFromSystem(p); };
  if (dispatch->runsDirectlyHere() || dispatch->mayWaitHere()) {
    waitForDelegateCall(SerialPortDelegate::kWasRemovedFromSystem, std::move(removal));
    owner.close();
    return;
  }
  // On the pool, a serial queue or a thread making delegate calls nothing
  // waits for the delivery context: the close follows once the removal call
  // has returned.
  queueDelegateCallThen(SerialPortDelegate::kWasRemovedFromSystem, std::move(removal),
                        [self = owner.shared_from_this()] { self->close(); });
}

void SerialPort::cleanup() {
  logLine(
      "WARNING: Cleanup is deprecated and was never intended to be called publicly. You should "
      "update your code to avoid calling this method.");
  cleanupAfterSystemRemoval();
}

// ---- What the session reports ----

void SerialPort::Impl::sessionDidRead(ChunkList chunks) {
  const auto d = owner.delegate();
  const bool wantsData = d && d->implements(SerialPortDelegate::kDidReceiveData);
  // Delivery on the library's threads, with nothing else delivering now:
  // this thread calls the delegate itself, with pieces of the bytes it has
  // just read, and nobody is woken. The byte processors follow; what they
  // find is delivered here too, when the turn ends.
  if (auto turn = dispatch->tryTakeTurn()) {
    if (wantsData) {
      for (const auto& chunk : chunks) {
        forEachPiece(*chunk, [&](std::span<const std::uint8_t> piece) {
          callDelegate(SerialPortDelegate::kDidReceiveData,
                       [piece](SerialPortDelegate& del, SerialPort& p) { del.serialPortDidReceiveData(p, piece); });
        });
      }
    }
    requests.process(weakPort(), std::move(chunks));
    return;
  }
  // The reader usually finds the request-handling queue idle and scans the
  // chunks itself: the main thread is then woken once, for the chunks and
  // the packets and reply they complete, not a second time for the latter.
  DelegateDispatch::Hold hold(requests.hasProcessors() ? dispatch.get() : nullptr);
  if (wantsData) {
    std::size_t pieces = 0;
    for (const auto& chunk : chunks)
      pieces += (chunk->bytes.size() + ReceivedChunk::kDeliveredSize - 1) / ReceivedChunk::kDeliveredSize;
    std::vector<DelegateDispatch::Call> calls;
    calls.reserve(pieces);
    for (const auto& chunk : chunks)
      forEachPiece(*chunk, [&](std::span<const std::uint8_t> piece) { calls.push_back(receivedDataCall(chunk, piece)); });
    dispatch->queue(std::move(calls));
  }
  // Handed on after the delegate's deliveries were queued, so that a packet
  // or reply found in these chunks is reported after the chunk itself.
  requests.process(weakPort(), std::move(chunks));
}

bool SerialPort::Impl::consumesOnReadingThread() const { return dispatch->onLibraryThreads(); }

void SerialPort::Impl::sessionDidFail(std::error_code error) { notifyDelegateOfPosixError(error); }

void SerialPort::Impl::deviceWasRemoved() {
  const auto self = weakPort().lock();
  if (!self || removalReported.exchange(true)) return;
  reportRemovalAndClose();
}

void SerialPort::Impl::sessionDeviceDidGo(std::error_code error) {
  // Held from here until the close has been delivered: the delegate may drop
  // its own reference inside the removal call.
  const auto self = weakPort().lock();
  if (!self) return;
  // The registry saw the device go first: it tells the delegate and closes.
  if (removalReported.exchange(true)) return;
  // Error (when there is one), removal, close, each delivered before the
  // next, so that the delegate hears them in this order: the delegate's
  // calls are queued in order, and the close begins once the removal call
  // has returned.
  if (error) notifyDelegateOfPosixError(error);
  reportRemovalAndClose();
}

void SerialPort::Impl::sessionInputLinesDidChange(InputLines lines) {
  // The input lines change on the delivery context only, in order with the
  // delegate's calls; the session never waits for that.
  dispatch->queue([weak = weakPort(), lines] {
    auto self = weak.lock();
    if (!self) return;
    Impl& impl = implOf(*self);
    VALMOR_CHECK_DELIVERY_CONTEXT(*impl.dispatch);
    if (impl.cts.exchange(lines.cts) != lines.cts) self->didChange("CTS");
    if (impl.dsr.exchange(lines.dsr) != lines.dsr) self->didChange("DSR");
    if (impl.dcd.exchange(lines.dcd) != lines.dcd) self->didChange("DCD");
    if (impl.ri.exchange(lines.ri) != lines.ri) self->didChange("RI");
  });
}

void SerialPort::Impl::sessionDidClose(std::error_code closeError) {
  // On Linux close() releases the descriptor even when it reports an error,
  // so the port counts as closed either way; the error is still reported.
  if (closeError) notifyDelegateOfPosixError(closeError);
  bool reopen;
  std::uint64_t closeCountNow;
  {
    std::lock_guard lock(mutex);
    session.reset();
    fileDescriptor.store(-1, std::memory_order_release);
    reopen = std::exchange(reopenAfterClose, false);
    closeCountNow = closeCount;
  }
  owner.didChange("fileDescriptor");

  // The delegate is looked up only to learn whether it hears of the close,
  // and not held: one that its owner lets go before the call runs hears
  // nothing more (the call looks it up again when it runs).
  bool toldOfClose;
  {
    const auto d = owner.delegate();
    toldOfClose = d && d->implements(SerialPortDelegate::kWasClosed);
  }
  // What follows the close, once it has been delivered.
  auto next = [self = owner.shared_from_this(), toldOfClose, reopen, closeCountNow] {
    Impl& impl = implOf(*self);
    // Request state is cleared only for a delegate that hears of the close.
    if (toldOfClose) impl.requests.portDidClose(impl.weakPort());
    // A reopen asked for in the meantime (a flow-control change, or open()
    // while closing) runs on the pool, so that no caller ever waits for the
    // close.
    if (reopen) postToBackground([self, closeCountNow] { implOf(*self).openUnlessClosedSince(&closeCountNow); });
  };
  if (toldOfClose) {
    queueDelegateCallThen(SerialPortDelegate::kWasClosed,
                          [](SerialPortDelegate& del, SerialPort& p) { del.serialPortWasClosed(p); },
                          std::move(next));
  } else {
    next();
  }
}

// ---- Delegate calls ----

DelegateDispatch::Call SerialPort::Impl::receivedDataCall(const std::shared_ptr<const ReceivedChunk>& chunk,
                                                          std::span<const std::uint8_t> piece) {
  // The piece points into the chunk, which the call holds.
  return [weak = weakPort(), chunk, piece] {
    if (auto self = weak.lock()) {
      implOf(*self).callDelegate(SerialPortDelegate::kDidReceiveData, [piece](SerialPortDelegate& d, SerialPort& p) {
        d.serialPortDidReceiveData(p, piece);
      });
    }
  };
}

void SerialPort::Impl::queueDelegateCall(SerialPortDelegate::Method method, DelegateCall call) {
  dispatch->queue([weak = weakPort(), method, call = std::move(call)] {
    // The delegate may drop its reference to the port inside the call; this
    // one holds it for the call's length.
    if (auto self = weak.lock()) implOf(*self).callDelegate(method, call);
  });
}

void SerialPort::Impl::queueDelegateCallThen(SerialPortDelegate::Method method, DelegateCall call,
                                             std::function<void()> then) {
  dispatch->queue([self = owner.shared_from_this(), method,
                   call = std::move(call)] { implOf(*self).callDelegate(method, call); },
                  std::move(then));
}

void SerialPort::Impl::waitForDelegateCall(SerialPortDelegate::Method method, DelegateCall call) {
  dispatch->queueAndWait([self = owner.shared_from_this(), method, call = std::move(call)] {
    implOf(*self).callDelegate(method, call);
  });
}

void SerialPort::Impl::notifyDelegateOfPosixError(std::error_code error) {
  // Reports made on the main thread are queued too, never made inside the
  // call that failed: a delegate that reopens on error must not recurse into
  // open(), nor drop the port under a call still running on it.
  queueDelegateCall(SerialPortDelegate::kDidEncounterError,
                    [e = PosixError{error, path}](SerialPortDelegate& d, SerialPort& p) {
                      d.serialPortDidEncounterError(p, e);
                    });
}

// ---- Line settings ----

LineSettings SerialPort::Impl::settingsSnapshot() const {
  std::lock_guard lock(mutex);
  return settings;
}

template <typename T>
void SerialPort::Impl::setSetting(T LineSettings::*field, T value, std::string_view property, bool apply) {
  {
    std::lock_guard applyLock(applyMutex);
    std::shared_ptr<PortSession> current;
    LineSettings all;
    {
      std::lock_guard lock(mutex);
      if (settings.*field == value) return;
      settings.*field = value;
      current = session;
      all = settings;
    }
    if (apply && current) {
      if (auto error = current->applyLineSettings(all)) notifyDelegateOfPosixError(error);
    }
  }
  owner.didChange(property);
}

std::uint64_t SerialPort::baudRate() const { return readGuarded(impl_->mutex, impl_->settings.baudRate); }
void SerialPort::setBaudRate(std::uint64_t rate) {
  impl_->setSetting(&LineSettings::baudRate, rate, "baudRate", true);
}

bool SerialPort::allowsNonStandardBaudRates() const {
  return readGuarded(impl_->mutex, impl_->settings.allowsNonStandardBaudRates);
}
void SerialPort::setAllowsNonStandardBaudRates(bool allowed) {
  // Stored only; read when the settings are next applied.
  impl_->setSetting(&LineSettings::allowsNonStandardBaudRates, allowed, "allowsNonStandardBaudRates", false);
}

std::uint64_t SerialPort::numberOfStopBits() const {
  return readGuarded(impl_->mutex, impl_->settings.numberOfStopBits);
}
void SerialPort::setNumberOfStopBits(std::uint64_t bits) {
  impl_->setSetting(&LineSettings::numberOfStopBits, bits, "numberOfStopBits", true);
}

std::uint64_t SerialPort::parity() const { return readGuarded(impl_->mutex, impl_->settings.parity); }
void SerialPort::setParity(std::uint64_t parity) {
  impl_->setSetting(&LineSettings::parity, parity > kParitySpace ? kParityNone : parity, "parity", true);
}

bool SerialPort::shouldEchoReceivedData() const {
  return readGuarded(impl_->mutex, impl_->settings.shouldEchoReceivedData);
}
void SerialPort::setShouldEchoReceivedData(bool echo) {
  impl_->setSetting(&LineSettings::shouldEchoReceivedData, echo, "shouldEchoReceivedData", true);
}

bool SerialPort::usesRTSCTSFlowControl() const {
  return readGuarded(impl_->mutex, impl_->settings.usesRTSCTSFlowControl);
}
void SerialPort::setUsesRTSCTSFlowControl(bool uses) {
  impl_->setFlowControlFlag(&LineSettings::usesRTSCTSFlowControl, uses, "usesRTSCTSFlowControl");
}

bool SerialPort::usesDTRDSRFlowControl() const {
  return readGuarded(impl_->mutex, impl_->settings.usesDTRDSRFlowControl);
}
void SerialPort::setUsesDTRDSRFlowControl(bool uses) {
  impl_->setFlowControlFlag(&LineSettings::usesDTRDSRFlowControl, uses, "usesDTRDSRFlowControl");
}

bool SerialPort::usesDCDOutputFlowControl() const {
  return readGuarded(impl_->mutex, impl_->settings.usesDCDOutputFlowControl);
}
void SerialPort::setUsesDCDOutputFlowControl(bool uses) {
  impl_->setFlowControlFlag(&LineSettings::usesDCDOutputFlowControl, uses, "usesDCDOutputFlowControl");
}

void SerialPort::Impl::setFlowControlFlag(bool LineSettings::*flag, bool value, std::string_view property) {
  // On an open port: close, store, and open again once the close has
  // completed (sessionDidClose), which applies every setting with the new
  // flag. A port already closing only stores the flag.
  std::shared_ptr<PortSession> toClose;
  {
    std::lock_guard applyLock(applyMutex);
    std::lock_guard lock(mutex);
    if (settings.*flag == value) return;
    if (session && !session->closeRequested()) {
      toClose = session;
      reopenAfterClose = true;
    }
    settings.*flag = value;
  }
  if (toClose) toClose->requestClose(asClient());
  owner.didChange(property);
}

// ---- Modem lines ----

bool SerialPort::RTS() const { return readGuarded(impl_->mutex, impl_->rts); }
bool SerialPort::DTR() const { return readGuarded(impl_->mutex, impl_->dtr); }
bool SerialPort::CTS() const { return impl_->cts.load(); }
bool SerialPort::DSR() const { return impl_->dsr.load(); }
bool SerialPort::DCD() const { return impl_->dcd.load(); }

void SerialPort::setRTS(bool on) { impl_->setOutputLine(&Impl::rts, on, "RTS"); }
void SerialPort::setDTR(bool on) { impl_->setOutputLine(&Impl::dtr, on, "DTR"); }

void SerialPort::Impl::setOutputLine(bool Impl::*line, bool on, std::string_view property) {
  {
    std::lock_guard applyLock(applyMutex);
    std::shared_ptr<PortSession> current;
    {
      std::lock_guard lock(mutex);
      if (this->*line == on) return;
      this->*line = on;
      current = session;
    }
    if (current) updateModemLines(current);
  }
  owner.didChange(property);
}

void SerialPort::Impl::updateModemLines(const std::shared_ptr<PortSession>& s) {
  // Requires applyMutex, so that two updates do not interleave their
  // read-modify-write of the modem-control word.
  bool r, d;
  {
    std::lock_guard lock(mutex);
    r = rts;
    d = dtr;
  }
  if (auto error = s->updateModemLines(r, d)) notifyDelegateOfPosixError(error);
}

// ---- Instantiations that serial_port_lines.cpp uses ----

template void SerialPort::Impl::setSetting<bool>(bool LineSettings::*, bool, std::string_view, bool);
template void SerialPort::Impl::setSetting<std::uint64_t>(std::uint64_t LineSettings::*, std::uint64_t,
                                                          std::string_view, bool);

}  // namespace valmor
