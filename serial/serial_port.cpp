#include "serial/serial_port.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <asio/bind_executor.hpp>
#include <asio/posix/stream_descriptor.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>

#include <cerrno>
#include <chrono>
#include <deque>
#include <exception>
#include <shared_mutex>
#include <utility>

#include "platform/background.h"
#include "platform/log.h"
#include "platform/main_queue.h"
#include "platform/unique_fd.h"
#include "serial/device_io.h"
#include "serial/received_byte_processor.h"

namespace valmor {

namespace {

using namespace std::chrono_literals;

constexpr std::size_t kReadSize = 1024;
constexpr auto kPollInterval = 10ms;

// Chunks read but not yet handed to the delegate and the byte processors.
// When the main queue falls this far behind, reading pauses until it has
// caught up to kResumeChunks, so that a slow consumer holds data back in the
// kernel (and, through it, the sender) instead of in ever more memory.
constexpr int kMaxChunksInFlight = 1024;
constexpr int kResumeChunks = 256;
// Reads made in one go while data keeps coming, before the handler yields
// the strand (to the poll timer and to a close) and waits again.
constexpr int kReadsPerWake = 64;

std::error_code lastError() { return std::error_code(errno, std::generic_category()); }

// The process-wide registry of live ports. Entries are weak: the registry
// never keeps a port alive. The path is kept beside each entry so that a
// lookup compares paths without taking a reference it might have to drop
// (and so destroy a port) while the registry is locked.
struct LivePorts {
  struct Entry {
    const SerialPort* port;
    std::string path;
    std::weak_ptr<SerialPort> weak;
  };
  std::mutex mutex;
  std::vector<Entry> entries;  // Guarded by mutex.

  // The live port with this path, or empty. Requires mutex.
  std::shared_ptr<SerialPort> findLocked(std::string_view path) {
    for (auto& e : entries) {
      if (e.path != path) continue;
      if (auto p = e.weak.lock()) return p;
    }
    return nullptr;
  }
};

LivePorts& livePorts() {
  // Never destroyed: ports may be destroyed while static destructors run.
  static LivePorts* p = new LivePorts;
  return *p;
}

}  // namespace

// ---------------------------------------------------------------------------
// Session: one open descriptor, from a successful open() until its close has
// completed. It owns the descriptor, the read wait and the modem-line poll.
//
// The read wait is on a private epoll instance that watches the descriptor
// one-shot: it reports readiness once and then stays quiet until re-armed
// after the reads. Watching the descriptor in the pool's own (edge-triggered)
// reactor instead would wake the pool on every arrival of data while the
// handler is still reading, which on a busy line costs more than the reads.
//
// Threading: the members marked "strand" are used only on strand. fd is also
// used by sendData() and the setters on their own threads: they hold
// fdMutex shared for the whole use, and the close takes it exclusively
// around close(), so a descriptor number is never used after it has been
// closed (and perhaps reused by an unrelated open).
//
// The session refers to its port weakly: while the port lives it is told
// about everything; once the port is gone, the session only finishes
// closing.
struct SerialPort::Session : std::enable_shared_from_this<SerialPort::Session> {
  Session(std::weak_ptr<SerialPort> owner, std::shared_ptr<DeviceIo> deviceIo, SavedAttributes attrs,
          int descriptorNumber)
      : port(std::move(owner)),
        io(std::move(deviceIo)),
        strand(makeStrand()),
        readiness(strand),
        pollTimer(strand),
        saved(std::move(attrs)),
        fd(descriptorNumber) {}

  ~Session() {
    // Only a session that failed to start (see open()) still holds the
    // descriptor here; every other one has closed it in completeClose().
    if (fd >= 0) ::close(fd);
  }

  std::error_code watch();
  void consumeWatch();
  bool rearmWatch();

  void start();
  void armRead();
  void onReadable(const asio::error_code& ec);
  void armPoll(std::chrono::milliseconds delay);
  void onPollTick(const asio::error_code& ec);
  void deviceGone(std::error_code error);
  void requestClose();
  void completeClose();
  void chunkDone();

  const std::weak_ptr<SerialPort> port;
  const std::shared_ptr<DeviceIo> io;
  Strand strand;
  asio::posix::stream_descriptor readiness;   // strand; the private epoll instance
  asio::steady_timer pollTimer;               // strand
  const SavedAttributes saved;                // the device's attributes found at open

  std::shared_mutex fdMutex;
  int fd;  // -1 once closed. Guarded by fdMutex (written exclusively).

  std::atomic<bool> hasModemLines{true};
  std::atomic<bool> closeRequested{false};
  bool closed = false;               // strand
  bool gone = false;                 // strand; the device hung up or went away
  bool reading = true;               // strand; false after a read error
  std::error_code lastPollError;     // strand
  std::atomic<int> chunksInFlight{0};
  std::atomic<bool> readPaused{false};
};

// A chunk on its way to the delegate and the byte processors. Whoever drops
// the last reference to it (the main queue or the request-handling queue)
// gives its place back to the reader.
struct SerialPort::Chunk {
  std::vector<std::uint8_t> bytes;
  std::weak_ptr<Session> session;

  ~Chunk() {
    if (auto s = session.lock()) s->chunkDone();
  }
};

void SerialPort::Session::start() {
  asio::post(strand, [self = shared_from_this()] {
    if (self->closed) return;
    self->armRead();
    if (self->hasModemLines) self->armPoll(0ms);
  });
}

// Creates the epoll instance that watches fd. Called before the session
// starts.
std::error_code SerialPort::Session::watch() {
  UniqueFd instance(::epoll_create1(EPOLL_CLOEXEC));
  if (!instance) return lastError();
  epoll_event ev{};
  ev.events = EPOLLIN | EPOLLONESHOT;
  if (::epoll_ctl(instance.get(), EPOLL_CTL_ADD, fd, &ev) < 0) return lastError();
  asio::error_code ec;
  readiness.assign(instance.get(), ec);
  if (ec) return std::error_code(ec.value(), std::generic_category());
  instance.release();  // readiness owns it now
  return {};
}

// Takes the fired one-shot event off the instance, which disarms it: until
// rearmWatch(), arrivals of data wake nobody.
void SerialPort::Session::consumeWatch() {
  epoll_event ev{};
  while (::epoll_wait(readiness.native_handle(), &ev, 1, 0) < 0 && errno == EINTR) {
  }
}

// Watches fd again; readiness is reported at once when data is waiting.
bool SerialPort::Session::rearmWatch() {
  epoll_event ev{};
  ev.events = EPOLLIN | EPOLLONESHOT;
  return ::epoll_ctl(readiness.native_handle(), EPOLL_CTL_MOD, fd, &ev) == 0;
}

void SerialPort::Session::armRead() {
  if (!rearmWatch()) {
    reading = false;
    if (auto owner = port.lock()) owner->notifyDelegateOfPosixError(lastError());
    return;
  }
  readiness.async_wait(asio::posix::descriptor_base::wait_read,
                        asio::bind_executor(strand, [self = shared_from_this()](const asio::error_code& ec) {
                          self->onReadable(ec);
                        }));
}

void SerialPort::Session::onReadable(const asio::error_code& ec) {
  if (closed || gone || !reading || ec == asio::error::operation_aborted) return;
  auto owner = port.lock();
  if (!owner) return;  // the port's destructor has asked for the close
  consumeWatch();
  if (ec) {
    reading = false;
    owner->notifyDelegateOfPosixError(std::error_code(ec.value(), std::generic_category()));
    return;
  }

  // One read per readiness, where readiness is confirmed by poll() right
  // before each read: the descriptor is blocking, so a read on a stale
  // report would hang the strand. On a busy line more data is usually ready
  // after a read, and reading it now costs one system call where going back
  // to the pool's reactor would cost several thread wake-ups. The chunks of
  // one such round go to the main queue together.
  std::vector<std::shared_ptr<Chunk>> chunks;
  auto handOver = [&] {
    if (!chunks.empty()) owner->receiveData(std::exchange(chunks, {}));
  };
  for (int round = 0; round < kReadsPerWake; ++round) {
    pollfd ready{fd, POLLIN, 0};
    if (::poll(&ready, 1, 0) <= 0) break;  // POLLHUP and POLLERR count as ready
    auto chunk = std::make_shared<Chunk>();
    chunk->bytes.resize(kReadSize);
    ssize_t n;
    do {
      n = ::read(fd, chunk->bytes.data(), kReadSize);
    } while (n < 0 && errno == EINTR);

    if (n == 0) {
      // End of file: the other end has hung up.
      handOver();
      deviceGone({});
      return;
    }
    if (n < 0) {
      const std::error_code error = lastError();
      handOver();
      if (error == std::errc::resource_unavailable_try_again) break;
      if (isDeviceGone(error)) {
        deviceGone(error);
      } else {
        // An unexpected failure would very likely repeat on every readiness
        // event; report it once and stop reading rather than spin.
        reading = false;
        owner->notifyDelegateOfPosixError(error);
      }
      return;
    }

    chunk->bytes.resize(static_cast<std::size_t>(n));
    chunk->session = weak_from_this();
    chunksInFlight.fetch_add(1);
    chunks.push_back(std::move(chunk));

    if (chunksInFlight.load() >= kMaxChunksInFlight) {
      handOver();
      readPaused.store(true);
      // A chunk finished in between may have missed the flag; check again.
      if (chunksInFlight.load() >= kMaxChunksInFlight) return;
      if (!readPaused.exchange(false)) return;  // chunkDone() has resumed us
    }
  }
  handOver();
  // Re-armed only while open and reading (the returns above); a device that
  // has gone is never waited for again, so a hung-up descriptor cannot make
  // the pool spin.
  armRead();
}

void SerialPort::Session::chunkDone() {
  const int left = chunksInFlight.fetch_sub(1) - 1;
  if (left <= kResumeChunks && readPaused.exchange(false)) {
    asio::post(strand, [self = shared_from_this()] {
      if (!self->closed && !self->gone && self->reading) self->armRead();
    });
  }
}

void SerialPort::Session::armPoll(std::chrono::milliseconds delay) {
  pollTimer.expires_after(delay);
  pollTimer.async_wait(asio::bind_executor(strand, [self = shared_from_this()](const asio::error_code& ec) {
    self->onPollTick(ec);
  }));
}

void SerialPort::Session::onPollTick(const asio::error_code& ec) {
  if (closed || gone || ec == asio::error::operation_aborted) return;
  auto owner = port.lock();
  if (!owner) return;

  int bits = 0;
  const std::error_code error = io->getModemLines(fd, bits);
  if (error) {
    if (isDeviceGone(error)) {
      deviceGone(error);
    } else if (hasNoModemLines(error)) {
      hasModemLines = false;  // nothing to poll
    } else {
      // Reported when it first occurs, not on every tick of a failure that
      // persists: 100 reports a second would bury the main queue.
      if (error != lastPollError) owner->notifyDelegateOfPosixError(error);
      lastPollError = error;
      armPoll(kPollInterval);
    }
    return;
  }
  lastPollError.clear();

  const bool cts = (bits & TIOCM_CTS) != 0;
  const bool dsr = (bits & TIOCM_DSR) != 0;
  const bool dcd = (bits & TIOCM_CAR) != 0;
  // The input lines are written only on the main thread, and this waits for
  // it, so comparing with the port's values is race-free here.
  if (cts != owner->CTS() || dsr != owner->DSR() || dcd != owner->DCD()) {
    owner->waitOnMainQueue([owner, cts, dsr, dcd] { owner->publishInputLines(cts, dsr, dcd); });
  }
  armPoll(kPollInterval);
}

void SerialPort::Session::deviceGone(std::error_code error) {
  if (gone || closed) return;
  gone = true;
  asio::error_code ignored;
  pollTimer.cancel();
  readiness.cancel(ignored);
  if (auto owner = port.lock()) owner->deviceDidGo(error);
}

void SerialPort::Session::requestClose() {
  if (closeRequested.exchange(true)) return;
  asio::post(strand, [self = shared_from_this()] { self->completeClose(); });
}

void SerialPort::Session::completeClose() {
  if (closed) return;
  closed = true;
  pollTimer.cancel();
  asio::error_code ignored;
  readiness.close(ignored);  // cancels the wait and stops watching
  const int number = fd;

  if (!gone) {
    // Flow control off first, so that the drain that follows cannot be held
    // back by a peer that never raises CTS. A device that has gone is not
    // drained at all.
    (void)clearHardwareFlowControl(number);
    (void)saved.restore(number, /*drain=*/true);
  }

  std::error_code closeError;
  {
    std::unique_lock lock(fdMutex);
    closeError = io->closeDescriptor(number);
    fd = -1;
  }
  if (auto owner = port.lock()) owner->didFinishClose(shared_from_this(), closeError);
}

// ---------------------------------------------------------------------------

// Chunks queued for the delegate by one main-queue task. The task delivers
// the chunks added to its batch until it finds the batch empty, so a main
// thread that falls behind catches up without one task (and one wake-up) per
// chunk. Any other delegate call that is queued closes the open batch, so
// that chunks read after it are delivered after it.
struct SerialPort::DeliveryBatch {
  std::deque<std::shared_ptr<Chunk>> chunks;  // Guarded by Internals::deliveryMutex.
};

struct SerialPort::Internals {
  Strand requestStrand = makeStrand();
  std::mutex deliveryMutex;
  std::shared_ptr<DeliveryBatch> openBatch;  // Guarded by deliveryMutex.
  std::mutex mutex;
  std::vector<std::shared_ptr<ReceivedByteProcessor>> processors;  // Guarded by mutex.
  std::atomic<bool> hasProcessors{false};
};

SerialPort::SerialPort(PrivateTag, DeviceHandle device, std::string path, std::string name)
    : device_(std::move(device)),
      path_(std::move(path)),
      name_(std::move(name)),
      internals_(std::make_unique<Internals>()) {
  declareDependency("isOpen", "fileDescriptor");
}

SerialPort::~SerialPort() {
  {
    auto& live = livePorts();
    std::lock_guard lock(live.mutex);
    std::erase_if(live.entries, [this](const LivePorts::Entry& e) { return e.port == this; });
  }
  // Nobody holds the port any more, so nobody can be told: the session
  // finishes the close on its own and releases the descriptor.
  std::shared_ptr<Session> session;
  {
    std::lock_guard lock(mutex_);
    session = std::move(session_);
  }
  if (session) session->requestClose();
}

// ---- Making ports ----

std::shared_ptr<SerialPort> SerialPort::serialPortWithPath(std::string_view path) {
  const DeviceHandle device = deviceFromBSDPath(path);
  if (!device) return nullptr;
  return serialPortWithDevice(device);
}

std::shared_ptr<SerialPort> SerialPort::serialPortWithDevice(const DeviceHandle& device) {
  std::string path = bsdCalloutPathFromDevice(device);
  if (path.empty()) return nullptr;
  // Declared before the lock: if this is the last reference to a port that
  // is being dropped elsewhere, it must not be destroyed with the registry
  // locked.
  std::shared_ptr<SerialPort> port;
  auto& live = livePorts();
  std::lock_guard lock(live.mutex);
  port = live.findLocked(path);
  if (port) return port;
  port = std::make_shared<SerialPort>(PrivateTag{}, device, path, modemNameFromDevice(device));
  live.entries.push_back({port.get(), std::move(path), port});
  return port;
}

std::shared_ptr<SerialPort> SerialPort::existingPortWithPath(std::string_view path) {
  std::shared_ptr<SerialPort> port;
  auto& live = livePorts();
  std::lock_guard lock(live.mutex);
  port = live.findLocked(path);
  return port;
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

// ---- Opening, writing, closing ----

void SerialPort::open() { openUnlessClosedSince(nullptr); }

void SerialPort::openUnlessClosedSince(const std::uint64_t* closeCount) {
  std::unique_lock applyLock(applyMutex_);
  {
    std::lock_guard lock(mutex_);
    // A reopen that a close() has overtaken does not happen.
    if (closeCount && *closeCount != closeCount_) return;
    if (session_) {
      // Open already, or closing: in the latter case open again as soon as
      // the close has completed.
      if (session_->closeRequested) reopenAfterClose_ = true;
      return;
    }
  }

  UniqueFd fd(::open(path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  if (!fd) {
    notifyDelegateOfPosixError(lastError());
    return;
  }
  // Exclusive use: refused while another descriptor, in this process or any
  // other, holds the lock.
  if (::flock(fd.get(), LOCK_EX | LOCK_NB) < 0) {
    const std::error_code error = lastError();
    fd.reset();
    notifyDelegateOfPosixError(error);
    return;
  }
  // Blocking from here on: sendData() waits while the device holds data
  // back, and a read follows each readiness event.
  const int flags = ::fcntl(fd.get(), F_GETFL);
  if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) < 0) {
    notifyDelegateOfPosixError(lastError());
    return;
  }
  // Without the original attributes the close could not put them back, and
  // a device whose attributes cannot be read is no terminal (or has gone).
  SavedAttributes saved;
  if (!saved.save(fd.get())) {
    notifyDelegateOfPosixError(lastError());
    return;
  }

  // The session owns the descriptor from here; its close closes it.
  auto session = std::make_shared<Session>(weak_from_this(), currentDeviceIo(), std::move(saved), fd.release());
  if (auto error = session->watch()) {
    // (The session closes the descriptor as it goes.)
    notifyDelegateOfPosixError(error);
    return;
  }

  {
    std::shared_lock fdLock(session->fdMutex);
    if (auto error = session->io->applyLineSettings(session->fd, settingsSnapshot()))
      notifyDelegateOfPosixError(error);
  }
  updateModemLines(session);

  session->start();
  {
    std::lock_guard lock(mutex_);
    session_ = session;
    fileDescriptor_.store(session->fd, std::memory_order_release);
  }
  // Queued once the port is open, so that the delegate finds it open.
  queueDelegateCall(SerialPortDelegate::kWasOpened,
                    [](SerialPortDelegate& d, SerialPort& p) { d.serialPortWasOpened(p); });
  applyLock.unlock();
  didChange("fileDescriptor");
}

bool SerialPort::close() {
  std::shared_ptr<Session> session;
  {
    std::lock_guard lock(mutex_);
    reopenAfterClose_ = false;
    ++closeCount_;
    session = session_;
  }
  if (session) session->requestClose();
  return true;
}

void SerialPort::didFinishClose(const std::shared_ptr<Session>& session, std::error_code closeError) {
  // On Linux close() releases the descriptor even when it reports an error,
  // so the port counts as closed either way; the error is still reported.
  if (closeError) notifyDelegateOfPosixError(closeError);
  bool reopen;
  std::uint64_t closeCount;
  {
    std::lock_guard lock(mutex_);
    if (session_ == session) {
      session_.reset();
      fileDescriptor_.store(-1, std::memory_order_release);
    }
    reopen = std::exchange(reopenAfterClose_, false);
    closeCount = closeCount_;
  }
  didChange("fileDescriptor");

  auto d = delegate();
  if (d && d->implements(SerialPortDelegate::kWasClosed)) {
    waitForDelegateCall(SerialPortDelegate::kWasClosed,
                        [](SerialPortDelegate& del, SerialPort& p) { del.serialPortWasClosed(p); });
    // Request state is cleared only for a delegate that hears of the close.
    if (internals_->hasProcessors) {
      postToRequestHandlingQueue([weak = weak_from_this()] {
        auto self = weak.lock();
        if (!self) return;
        for (auto& processor : self->processorsSnapshot()) processor->portDidClose(*self);
      });
    }
  }
  // The close has completed and has been delivered: a reopen asked for in
  // the meantime (a flow-control change, or open() while closing) runs now,
  // here on the pool, so that no caller ever waits for the close.
  if (reopen) openUnlessClosedSince(&closeCount);
}

bool SerialPort::sendData(std::span<const std::uint8_t> data) {
  std::shared_ptr<Session> session;
  {
    std::lock_guard lock(mutex_);
    session = session_;
  }
  if (!session) return false;
  std::shared_lock fdLock(session->fdMutex);
  if (session->fd < 0) return false;

  std::size_t written = 0;
  while (written < data.size()) {
    const ssize_t n = ::write(session->fd, data.data() + written, data.size() - written);
    if (n >= 0) {
      written += static_cast<std::size_t>(n);
      continue;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN) {
      // Only if someone made the descriptor non-blocking behind our back.
      pollfd p{session->fd, POLLOUT, 0};
      (void)::poll(&p, 1, -1);
      continue;
    }
    const std::error_code error = lastError();
    fdLock.unlock();
    notifyDelegateOfPosixError(error);
    return false;
  }
  return true;
}

bool SerialPort::sendData(std::string_view text) {
  return sendData(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

void SerialPort::cleanupAfterSystemRemoval() {
  // On the main thread the delegate is called inside this call; if it drops
  // the caller's reference to the port, this one keeps it alive to the end.
  const auto self = shared_from_this();
  waitForDelegateCall(SerialPortDelegate::kWasRemovedFromSystem,
                      [](SerialPortDelegate& d, SerialPort& p) { d.serialPortWasRemovedFromSystem(p); });
  close();
}

void SerialPort::cleanup() {
  logLine(
      "WARNING: Cleanup is deprecated and was never intended to be called publicly. You should "
      "update your code to avoid calling this method.");
  cleanupAfterSystemRemoval();
}

void SerialPort::deviceDidGo(std::error_code error) {
  // Error (when there is one), removal, close, each delivered before the
  // next, so that the delegate hears them in this order.
  if (error) notifyDelegateOfPosixError(error, /*wait=*/true);
  cleanupAfterSystemRemoval();
}

// ---- Delegate ----

std::shared_ptr<SerialPortDelegate> SerialPort::delegate() const {
  std::lock_guard lock(mutex_);
  return delegate_.lock();
}

void SerialPort::setDelegate(std::weak_ptr<SerialPortDelegate> delegate) {
  {
    std::lock_guard lock(mutex_);
    delegate_ = std::move(delegate);
  }
  didChange("delegate");
}

void SerialPort::callDelegate(SerialPortDelegate::Method method, const DelegateCall& call) {
  auto d = delegate();
  if (!d || !d->implements(method)) return;
  // The delegate may drop its reference to this port inside the call; the
  // caller holds another one for the call's length.
  try {
    call(*d, *this);
  } catch (const std::exception& e) {
    logLine(std::string(SerialPortDelegate::methodName(method)) + " of " + path_ +
            " threw an exception: " + e.what());
  } catch (...) {
    logLine(std::string(SerialPortDelegate::methodName(method)) + " of " + path_ +
            " threw an unknown exception");
  }
}

void SerialPort::queueDelegateCall(SerialPortDelegate::Method method, DelegateCall call) {
  closeDeliveryBatch();
  mainQueue().post([weak = weak_from_this(), method, call = std::move(call)] {
    if (auto self = weak.lock()) self->callDelegate(method, call);
  });
}

void SerialPort::waitForDelegateCall(SerialPortDelegate::Method method, const DelegateCall& call) {
  waitOnMainQueue([self = shared_from_this(), method, call] { self->callDelegate(method, call); });
}

void SerialPort::waitOnMainQueue(std::function<void()> task) {
  closeDeliveryBatch();
  // Runs directly on the main thread; returns without it if the main queue
  // has shut down.
  mainQueue().postAndWait(std::move(task));
}

void SerialPort::notifyDelegateOfPosixError(std::error_code error, bool wait) {
  // Reports made on the main thread are queued too, never made inside the
  // call that failed: a delegate that reopens on error must not recurse
  // into open(), nor drop the port under a call still running on it.
  auto call = [e = PosixError{error, path_}](SerialPortDelegate& d, SerialPort& p) {
    d.serialPortDidEncounterError(p, e);
  };
  if (wait) {
    waitForDelegateCall(SerialPortDelegate::kDidEncounterError, call);
  } else {
    queueDelegateCall(SerialPortDelegate::kDidEncounterError, call);
  }
}

// ---- Reading ----

void SerialPort::receiveData(std::vector<std::shared_ptr<Chunk>> chunks) {
  auto d = delegate();
  if (d && d->implements(SerialPortDelegate::kDidReceiveData)) {
    std::shared_ptr<DeliveryBatch> newBatch;
    {
      std::lock_guard lock(internals_->deliveryMutex);
      if (!internals_->openBatch) newBatch = internals_->openBatch = std::make_shared<DeliveryBatch>();
      internals_->openBatch->chunks.insert(internals_->openBatch->chunks.end(), chunks.begin(), chunks.end());
    }
    if (newBatch) {
      mainQueue().post([weak = weak_from_this(), newBatch] {
        if (auto self = weak.lock()) self->deliverBatch(*newBatch);
      });
    }
  }
  // Queued after the delegate's delivery, so that a packet or reply found in
  // these chunks is reported after the chunk itself.
  if (internals_->hasProcessors) {
    postToRequestHandlingQueue([weak = weak_from_this(), chunks = std::move(chunks)] {
      auto self = weak.lock();
      if (!self) return;
      const auto processors = self->processorsSnapshot();
      for (const auto& chunk : chunks)
        for (const std::uint8_t byte : chunk->bytes)
          for (const auto& processor : processors) processor->processReceivedByte(*self, byte);
    });
  }
}

void SerialPort::deliverBatch(DeliveryBatch& batch) {
  for (;;) {
    std::shared_ptr<Chunk> chunk;
    {
      std::lock_guard lock(internals_->deliveryMutex);
      if (batch.chunks.empty()) {
        if (internals_->openBatch.get() == &batch) internals_->openBatch.reset();
        return;
      }
      chunk = std::move(batch.chunks.front());
      batch.chunks.pop_front();
    }
    callDelegate(SerialPortDelegate::kDidReceiveData, [&chunk](SerialPortDelegate& d, SerialPort& p) {
      d.serialPortDidReceiveData(p, chunk->bytes);
    });
  }
}

void SerialPort::closeDeliveryBatch() {
  std::lock_guard lock(internals_->deliveryMutex);
  internals_->openBatch.reset();
}

void SerialPort::postToRequestHandlingQueue(std::function<void()> task) {
  asio::post(internals_->requestStrand, std::move(task));
}

bool SerialPort::isOnRequestHandlingQueue() const {
  return internals_->requestStrand.running_in_this_thread();
}

void SerialPort::addReceivedByteProcessor(std::shared_ptr<ReceivedByteProcessor> processor) {
  if (!processor) return;
  std::lock_guard lock(internals_->mutex);
  internals_->processors.push_back(std::move(processor));
  internals_->hasProcessors = true;
}

std::vector<std::shared_ptr<ReceivedByteProcessor>> SerialPort::processorsSnapshot() const {
  std::lock_guard lock(internals_->mutex);
  return internals_->processors;
}

// ---- Line settings ----

LineSettings SerialPort::settingsSnapshot() const {
  std::lock_guard lock(mutex_);
  return settings_;
}

namespace {
template <typename T>
T readGuarded(std::mutex& m, const T& value) {
  std::lock_guard lock(m);
  return value;
}
}  // namespace

void SerialPort::applySettingsLocked(const std::shared_ptr<Session>& session, const LineSettings& settings) {
  if (!session || session->closeRequested) return;
  std::shared_lock fdLock(session->fdMutex);
  if (session->fd < 0) return;
  if (auto error = session->io->applyLineSettings(session->fd, settings)) notifyDelegateOfPosixError(error);
}

template <typename T>
void SerialPort::setSetting(T LineSettings::*field, T value, std::string_view property, bool apply) {
  {
    std::lock_guard applyLock(applyMutex_);
    std::shared_ptr<Session> session;
    LineSettings settings;
    {
      std::lock_guard lock(mutex_);
      if (settings_.*field == value) return;
      settings_.*field = value;
      session = session_;
      settings = settings_;
    }
    if (apply) applySettingsLocked(session, settings);
  }
  didChange(property);
}

std::uint64_t SerialPort::baudRate() const { return readGuarded(mutex_, settings_.baudRate); }
void SerialPort::setBaudRate(std::uint64_t rate) { setSetting(&LineSettings::baudRate, rate, "baudRate", true); }

bool SerialPort::allowsNonStandardBaudRates() const {
  return readGuarded(mutex_, settings_.allowsNonStandardBaudRates);
}
void SerialPort::setAllowsNonStandardBaudRates(bool allowed) {
  // Stored only; read when the settings are next applied.
  setSetting(&LineSettings::allowsNonStandardBaudRates, allowed, "allowsNonStandardBaudRates", false);
}

std::uint64_t SerialPort::numberOfStopBits() const { return readGuarded(mutex_, settings_.numberOfStopBits); }
void SerialPort::setNumberOfStopBits(std::uint64_t bits) {
  setSetting(&LineSettings::numberOfStopBits, bits, "numberOfStopBits", true);
}

std::uint64_t SerialPort::parity() const { return readGuarded(mutex_, settings_.parity); }
void SerialPort::setParity(std::uint64_t parity) {
  setSetting(&LineSettings::parity, parity > kParityEven ? kParityNone : parity, "parity", true);
}

bool SerialPort::shouldEchoReceivedData() const { return readGuarded(mutex_, settings_.shouldEchoReceivedData); }
void SerialPort::setShouldEchoReceivedData(bool echo) {
  setSetting(&LineSettings::shouldEchoReceivedData, echo, "shouldEchoReceivedData", true);
}

bool SerialPort::usesRTSCTSFlowControl() const { return readGuarded(mutex_, settings_.usesRTSCTSFlowControl); }
void SerialPort::setUsesRTSCTSFlowControl(bool uses) {
  setFlowControlFlag(&LineSettings::usesRTSCTSFlowControl, uses, "usesRTSCTSFlowControl");
}

bool SerialPort::usesDTRDSRFlowControl() const { return readGuarded(mutex_, settings_.usesDTRDSRFlowControl); }
void SerialPort::setUsesDTRDSRFlowControl(bool uses) {
  setFlowControlFlag(&LineSettings::usesDTRDSRFlowControl, uses, "usesDTRDSRFlowControl");
}

bool SerialPort::usesDCDOutputFlowControl() const {
  return readGuarded(mutex_, settings_.usesDCDOutputFlowControl);
}
void SerialPort::setUsesDCDOutputFlowControl(bool uses) {
  setFlowControlFlag(&LineSettings::usesDCDOutputFlowControl, uses, "usesDCDOutputFlowControl");
}

void SerialPort::setFlowControlFlag(bool LineSettings::*flag, bool value, std::string_view property) {
  // On an open port: close, store, and open again once the close has
  // completed (didFinishClose), which applies every setting with the new
  // flag. A port already closing only stores the flag.
  std::shared_ptr<Session> toClose;
  {
    std::lock_guard applyLock(applyMutex_);
    std::lock_guard lock(mutex_);
    if (settings_.*flag == value) return;
    if (session_ && !session_->closeRequested) {
      toClose = session_;
      reopenAfterClose_ = true;
    }
    settings_.*flag = value;
  }
  if (toClose) toClose->requestClose();
  didChange(property);
}

// ---- Modem lines ----

bool SerialPort::RTS() const { return readGuarded(mutex_, rts_); }
bool SerialPort::DTR() const { return readGuarded(mutex_, dtr_); }

void SerialPort::setRTS(bool on) { setOutputLine(&SerialPort::rts_, on, "RTS"); }
void SerialPort::setDTR(bool on) { setOutputLine(&SerialPort::dtr_, on, "DTR"); }

void SerialPort::setOutputLine(bool SerialPort::*line, bool on, std::string_view property) {
  {
    std::lock_guard applyLock(applyMutex_);
    std::shared_ptr<Session> session;
    {
      std::lock_guard lock(mutex_);
      if (this->*line == on) return;
      this->*line = on;
      session = session_;
    }
    if (session && !session->closeRequested) updateModemLines(session);
  }
  didChange(property);
}

void SerialPort::updateModemLines(const std::shared_ptr<Session>& session) {
  // Requires applyMutex_, so that two updates do not interleave their
  // read-modify-write of the modem-control word.
  if (!session->hasModemLines) return;
  bool rts, dtr;
  {
    std::lock_guard lock(mutex_);
    rts = rts_;
    dtr = dtr_;
  }
  std::shared_lock fdLock(session->fdMutex);
  if (session->fd < 0) return;
  int bits = 0;
  std::error_code error = session->io->getModemLines(session->fd, bits);
  if (!error) {
    bits = rts ? (bits | TIOCM_RTS) : (bits & ~TIOCM_RTS);
    bits = dtr ? (bits | TIOCM_DTR) : (bits & ~TIOCM_DTR);
    error = session->io->setModemLines(session->fd, bits);
  }
  if (!error) return;
  if (hasNoModemLines(error)) {
    // A pseudo-terminal, for instance: the lines stay stored values and the
    // input lines are not polled.
    session->hasModemLines = false;
    return;
  }
  fdLock.unlock();
  notifyDelegateOfPosixError(error);
}

void SerialPort::publishInputLines(bool cts, bool dsr, bool dcd) {
  if (cts_.exchange(cts) != cts) didChange("CTS");
  if (dsr_.exchange(dsr) != dsr) didChange("DSR");
  if (dcd_.exchange(dcd) != dcd) didChange("DCD");
}

}  // namespace valmor
