#include "serial/session/port_session.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <asio/bind_executor.hpp>
#include <asio/post.hpp>

#include <cerrno>
#include <mutex>
#include <utility>

#include "valmor/platform/posix_error.h"
#include "platform/thread_checks.h"

namespace valmor {

namespace {

using namespace std::chrono_literals;

constexpr auto kPollInterval = 10ms;
// Reads that filled the whole buffer made in one go while data keeps coming,
// before their chunks are handed over and the reading thread looks for a
// stop again.
constexpr int kReadsPerWake = 16;
// A round that found at least this much waiting is taken for part of a
// stream: while its consumers live on another thread, its chunks are held
// back for the rounds that follow, so that that thread is woken once for
// many of them rather than once a round. Held chunks go on once kStreamBytes
// are together, after kStreamHold, or with the first round that found less
// (the stream has ended, or it is a message on its own: those are never
// held).
constexpr std::size_t kStreamRoundBytes = ReceivedChunk::kDeliveredSize;
constexpr std::size_t kStreamBytes = 64 * 1024;
constexpr auto kStreamHold = 1ms;
// How often a close looks whether the device has sent its queued output.
constexpr auto kDrainCheckInterval = 10ms;
// Added to the time the queued output takes at the line rate.
constexpr auto kDrainGrace = 1s;

}  // namespace

ReceivedChunk::~ReceivedChunk() {
  if (auto s = session.lock()) s->chunkDone(bytes.size());
}

std::shared_ptr<PortSession> PortSession::open(const std::string& path,
                                               std::weak_ptr<PortSessionClient> client,
                                               std::shared_ptr<DeviceIo> io, std::error_code& error) {
  UniqueFd fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  if (!fd) {
    error = lastError();
    return nullptr;
  }
  // Exclusive use: refused while another descriptor, in this process or any
  // other, holds the lock.
  if (::flock(fd.get(), LOCK_EX | LOCK_NB) < 0) {
    error = lastError();
    return nullptr;
  }
  // Without the original attributes the close could not put them back, and a
  // device whose attributes cannot be read is no terminal (or has gone).
  SavedAttributes saved;
  if (!saved.save(fd.get())) {
    error = lastError();
    return nullptr;
  }
  UniqueFd wakeFd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
  UniqueFd readerWakeFd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
  if (!wakeFd || !readerWakeFd) {
    error = lastError();
    return nullptr;
  }
  return std::make_shared<PortSession>(PrivateTag{}, std::move(fd), std::move(wakeFd), std::move(readerWakeFd),
                                       std::move(saved), std::move(client), std::move(io));
}

PortSession::PortSession(PrivateTag, UniqueFd fd, UniqueFd wakeFd, UniqueFd readerWakeFd, SavedAttributes saved,
                         std::weak_ptr<PortSessionClient> client, std::shared_ptr<DeviceIo> io)
    : strand_(makeStrand()),
      pollTimer_(strand_),
      drainTimer_(strand_),
      saved_(std::move(saved)),
      io_(std::move(io)),
      client_(std::move(client)),
      fd_(std::move(fd)),
      wakeFd_(std::move(wakeFd)),
      readerWakeFd_(std::move(readerWakeFd)) {}

// Only a session that never started still holds its descriptor here (UniqueFd
// closes it); every other one has closed it in finishClose(), after its
// reading thread had been joined.
PortSession::~PortSession() {
  // The reading thread holds the session until it has been joined, so it is
  // never still running here; a joinable std::thread would end the process.
  if (reader_.joinable()) reader_.detach();
}

int PortSession::descriptor() const {
  std::shared_lock lock(fdMutex_);
  return fd_.get();
}

std::shared_ptr<PortSessionClient> PortSession::client() const {
  {
    std::lock_guard lock(keepAliveMutex_);
    if (keepAlive_) return keepAlive_;
  }
  return client_.lock();
}

// ---- Reading ----

void PortSession::start() {
  asio::post(strand_, [self = shared_from_this()] {
    if (self->closing_) return;
    self->startReader();
    if (self->hasModemLines_) self->startWatcher();
  });
}

void PortSession::startReader() {
  VALMOR_CHECK_THREAD(strand_.running_in_this_thread(), "a session's poll and close run on its strand only");
  try {
    // The thread holds the session until its end has been told on the
    // strand, where it is joined.
    reader_ = std::thread([self = shared_from_this(), fd = fd_.get()] {
      // Signals meant for the process are never delivered to this thread.
      sigset_t all;
      ::sigfillset(&all);
      ::pthread_sigmask(SIG_BLOCK, &all, nullptr);
      self->readLoop(fd);
      asio::post(self->strand_, [self] { self->readerEnded(); });
    });
  } catch (const std::system_error& e) {
    if (auto c = client()) c->sessionDidFail(e.code());
  }
}

// The reading thread: waits until the device has bytes, reads them, waits
// again; until stopped, or until the device has gone or reading failed. While
// paused (too many chunks ahead of their consumers) it does not wait for
// bytes, so they stay in the kernel, but it still watches for a hang-up
// (POLLHUP, POLLERR), which poll() reports whatever was asked for: the
// read that follows gives the device's end at once. Chunks held back for a
// stream wait for more only until their time is up.
void PortSession::readLoop(int fd) {
  // Made when the first bytes come, so that a port that receives nothing
  // costs no memory for it; not zeroed, since only the bytes a read gives
  // are ever looked at.
  std::unique_ptr<std::uint8_t[]> buffer;
  bool idle = false;  // nobody to read for any more: wait for the stop only
  for (;;) {
    timespec holdLeft{};
    if (!unsent_.empty()) {
      const auto left = unsentSince_ + kStreamHold - std::chrono::steady_clock::now();
      if (left <= std::chrono::steady_clock::duration::zero()) {
        handOverUnsent(client().get());
        continue;
      }
      holdLeft.tv_nsec = static_cast<long>(std::chrono::duration_cast<std::chrono::nanoseconds>(left).count());
    }
    const short wanted = readPaused_.load() ? 0 : POLLIN;
    pollfd fds[2] = {{idle ? -1 : fd, wanted, 0}, {readerWakeFd_.get(), POLLIN, 0}};
    if (::ppoll(fds, 2, unsent_.empty() ? nullptr : &holdLeft, nullptr) < 0) {
      if (errno == EINTR) continue;
      handOverUnsent(client().get());
      readingFailed(lastError(), /*gone=*/false);
      return;
    }
    if (fds[1].revents != 0) {
      std::uint64_t count;
      (void)!::read(readerWakeFd_.get(), &count, sizeof count);
      if (stopReading_.load()) {
        // What was read before the stop reaches its consumers before the
        // close does.
        handOverUnsent(client().get());
        return;
      }
    }
    if (fds[0].revents == 0) continue;
    auto c = client();
    if (!c) {
      // The port is gone and has asked for the close, which stops this thread.
      handOverUnsent(nullptr);
      idle = true;
      continue;
    }
    if (!buffer) buffer.reset(new std::uint8_t[kReadSize]);
    if (!readRound(fd, *c, buffer.get())) return;
  }
}

// Takes what the device has: one read() of up to kReadSize, and another
// only while a read filled the whole buffer. A read that gave less took all
// there was; the poll that follows looks at the device again and reports at
// once what came meanwhile, so the EAGAIN a further read would give is
// skipped. The descriptor is non-blocking, so bytes that another reader of
// the device took since the readiness report cost an EAGAIN, not a read that
// waits for the next byte. The chunks of one round go on together, or are
// held back with the next rounds' while a stream lasts and its consumers
// live on another thread. False when reading has ended.
bool PortSession::readRound(int fd, PortSessionClient& c, std::uint8_t* buffer) {
  std::size_t roundBytes = 0;
  // A stop ends the round too, so that a close waits for one read at most.
  for (int round = 0; round < kReadsPerWake && !stopReading_.load(); ++round) {
    ssize_t n;
    do {
      n = ::read(fd, buffer, kReadSize);
    } while (n < 0 && errno == EINTR);

    if (n <= 0) {
      const std::error_code error = n < 0 ? lastError() : std::error_code{};
      if (error == std::errc::resource_unavailable_try_again) break;
      handOverUnsent(&c);
      // End of file (the other end has hung up) or a device that has gone;
      // any other failure would very likely repeat on every readiness report,
      // so it is reported once and reading stops rather than spin.
      readingFailed(error, n == 0 || isDeviceGone(error));
      return false;
    }

    // Only a read that gave bytes makes a chunk, of just those bytes.
    auto chunk = std::make_shared<ReceivedChunk>();
    chunk->bytes.assign(buffer, buffer + n);
    chunk->session = weak_from_this();
    const auto got = static_cast<std::size_t>(n);
    bytesInFlight_.fetch_add(got);
    if (unsent_.empty()) unsentSince_ = std::chrono::steady_clock::now();
    unsent_.push_back(std::move(chunk));
    unsentBytes_ += got;
    roundBytes += got;

    if (bytesInFlight_.load() >= kMaxBytesInFlight) {
      handOverUnsent(&c);
      readPaused_.store(true);
      // A chunk finished in between may have missed the flag; look again.
      if (bytesInFlight_.load() >= kMaxBytesInFlight || !readPaused_.exchange(false)) return true;
    }
    if (got < kReadSize) break;
  }
  if (roundBytes < kStreamRoundBytes || unsentBytes_ >= kStreamBytes || c.consumesOnReadingThread() ||
      std::chrono::steady_clock::now() - unsentSince_ >= kStreamHold)
    handOverUnsent(&c);
  return true;
}

void PortSession::handOverUnsent(PortSessionClient* c) {
  if (unsent_.empty()) return;
  ChunkList chunks = std::exchange(unsent_, {});
  unsentBytes_ = 0;
  // Nobody to give them to: dropping them gives their places back.
  if (c) c->sessionDidRead(std::move(chunks));
}

// Told on the strand, after the chunks read before it.
void PortSession::readingFailed(std::error_code error, bool gone) {
  asio::post(strand_, [self = shared_from_this(), error, gone] {
    if (gone) {
      self->deviceGone(error);
    } else if (!self->closing_ && !self->gone_) {
      if (auto c = self->client()) c->sessionDidFail(error);
    }
  });
}

void PortSession::chunkDone(std::size_t bytes) {
  const std::size_t left = bytesInFlight_.fetch_sub(bytes) - bytes;
  if (left <= kResumeBytes && readPaused_.exchange(false)) wakeReader();
}

void PortSession::wakeReader() {
  std::shared_lock lock(fdMutex_);
  if (!readerWakeFd_) return;
  const std::uint64_t one = 1;
  (void)!::write(readerWakeFd_.get(), &one, sizeof one);
}

void PortSession::stopReader() {
  stopReading_.store(true);
  wakeReader();
}

void PortSession::readerEnded() {
  VALMOR_CHECK_THREAD(strand_.running_in_this_thread(), "a session's poll and close run on its strand only");
  reader_.join();  // the thread has told its end and is returning
  if (std::exchange(closeAfterReader_, false)) closeDevice();
}

// ---- Modem lines ----

std::error_code PortSession::updateModemLines(bool rts, bool dtr) {
  if (!hasModemLines_ || closeRequested_) return {};
  std::shared_lock lock(fdMutex_);
  if (!fd_) return {};
  int bits = 0;
  std::error_code error = io_->getModemLines(fd_.get(), bits);
  if (!error) {
    bits = rts ? (bits | TIOCM_RTS) : (bits & ~TIOCM_RTS);
    bits = dtr ? (bits | TIOCM_DTR) : (bits & ~TIOCM_DTR);
    error = io_->setModemLines(fd_.get(), bits);
  }
  if (error && hasNoModemLines(error)) {
    hasModemLines_ = false;
    return {};
  }
  return error;
}

// The watcher's thread never touches the session: each event is posted to
// the strand, where the session may already be closing or gone.
void PortSession::startWatcher() {
  VALMOR_CHECK_THREAD(strand_.running_in_this_thread(), "a session's poll and close run on its strand only");
  auto onStrand = [strand = strand_, weak = weak_from_this()](auto action) {
    asio::post(strand, [weak, action = std::move(action)] {
      if (auto self = weak.lock()) action(*self);
    });
  };
  ModemLineWatcher::Events events;
  events.linesDidChange = [onStrand](std::vector<InputLines> steps) {
    onStrand([steps = std::move(steps)](PortSession& s) { s.publishLines(steps); });
  };
  events.cannotWait = [onStrand] {
    onStrand([](PortSession& s) {
      if (!s.closing_ && !s.gone_) s.armPoll(0ms);
    });
  };
  events.deviceDidGo = [onStrand](std::error_code error) {
    onStrand([error](PortSession& s) { s.deviceGone(error); });
  };
  events.didFail = [onStrand](std::error_code error) {
    onStrand([error](PortSession& s) {
      if (s.closing_ || s.gone_) return;
      // The poll that takes over reports this error again only once it has
      // cleared and come back.
      s.lastPollError_ = error;
      if (auto c = s.client()) c->sessionDidFail(error);
      s.armPoll(kPollInterval);
    });
  };
  events.ended = [onStrand] { onStrand([](PortSession& s) { s.watcherEnded(); }); };
  watcher_ = std::make_unique<ModemLineWatcher>(fd_.get(), io_, std::move(events));
}

void PortSession::publishLines(const std::vector<InputLines>& steps) {
  VALMOR_CHECK_THREAD(strand_.running_in_this_thread(), "a session's poll and close run on its strand only");
  if (closing_ || gone_) return;
  auto c = client();
  if (!c) return;
  for (const InputLines& lines : steps) {
    if (havePolled_ && lines == lastLines_) continue;
    havePolled_ = true;
    lastLines_ = lines;
    c->sessionInputLinesDidChange(lines);
  }
}

void PortSession::stopWatcher() {
  if (watcher_) watcher_->stop();
}

void PortSession::watcherEnded() {
  VALMOR_CHECK_THREAD(strand_.running_in_this_thread(), "a session's poll and close run on its strand only");
  if (!watcher_) return;
  watcher_->join();  // the thread has told its end and is returning
  watcher_.reset();
  if (std::exchange(finishAfterWatcher_, false)) finishClose();
}

void PortSession::armPoll(std::chrono::milliseconds delay) {
  VALMOR_CHECK_THREAD(strand_.running_in_this_thread(), "a session's poll and close run on its strand only");
  pollTimer_.expires_after(delay);
  pollTimer_.async_wait(asio::bind_executor(strand_, [self = shared_from_this()](const asio::error_code& ec) {
    self->onPollTick(ec);
  }));
}

void PortSession::onPollTick(const asio::error_code& ec) {
  VALMOR_CHECK_THREAD(strand_.running_in_this_thread(), "a session's poll and close run on its strand only");
  if (closing_ || gone_ || ec == asio::error::operation_aborted) return;
  auto c = client();
  if (!c) return;

  int bits = 0;
  const std::error_code error = io_->getModemLines(fd_.get(), bits);
  if (error) {
    if (isDeviceGone(error)) {
      deviceGone(error);
    } else if (hasNoModemLines(error)) {
      hasModemLines_ = false;  // nothing to poll
    } else {
      // Reported when it first occurs, not on every tick of a failure that
      // persists: 100 reports a second would bury the main queue.
      if (error != lastPollError_) c->sessionDidFail(error);
      lastPollError_ = error;
      armPoll(kPollInterval);
    }
    return;
  }
  lastPollError_.clear();

  publishLines({inputLinesFrom(bits)});
  armPoll(kPollInterval);
}

// ---- Settings and writing ----

std::error_code PortSession::applyLineSettings(const LineSettings& settings) {
  if (closeRequested_) return {};
  std::shared_lock lock(fdMutex_);
  if (!fd_) return {};
  return io_->applyLineSettings(fd_.get(), settings);
}

namespace {

// Writes what the device takes without waiting: the count written, and in
// error the errno of a failed write (a full device is no error).
std::size_t writeAvailable(int fd, std::span<const std::uint8_t> data, std::error_code& error) {
  error.clear();
  std::size_t written = 0;
  while (written < data.size()) {
    const ssize_t n = ::write(fd, data.data() + written, data.size() - written);
    if (n > 0) {
      written += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) error = lastError();
    break;
  }
  return written;
}

}  // namespace

PortSession::WriteTurn& PortSession::WriteTurn::operator=(WriteTurn&& other) noexcept {
  if (this != &other) {
    giveBack();
    session_ = std::move(other.session_);
  }
  return *this;
}

void PortSession::WriteTurn::giveBack() {
  const auto session = std::move(session_);
  if (!session) return;
  {
    std::lock_guard lock(session->turnMutex_);
    session->turnTaken_ = false;
  }
  session->turnFree_.notify_one();
}

PortSession::WriteTurn PortSession::tryTakeWriteTurn() {
  std::lock_guard lock(turnMutex_);
  if (turnTaken_ || closeRequested_) return {};
  turnTaken_ = true;
  return WriteTurn(shared_from_this());
}

std::error_code PortSession::write(std::span<const std::uint8_t> data) {
  WriteTurn turn;
  {
    std::unique_lock lock(turnMutex_);
    turnFree_.wait(lock, [&] { return !turnTaken_ || closeRequested_; });
    if (closeRequested_) return std::make_error_code(std::errc::operation_canceled);
    turnTaken_ = true;
  }
  turn = WriteTurn(shared_from_this());
  return write(turn, data);
}

std::error_code PortSession::write(const WriteTurn&, std::span<const std::uint8_t> data) {
  std::shared_lock lock(fdMutex_);
  if (!fd_ || closeRequested_) return std::make_error_code(std::errc::operation_canceled);
  std::size_t written = 0;
  for (;;) {
    std::error_code error;
    written += writeAvailable(fd_.get(), data.subspan(written), error);
    if (error) return error;
    if (written == data.size()) return {};
    // The device accepts nothing now: wait until it does, or until a close
    // wants the descriptor.
    pollfd fds[2] = {{fd_.get(), POLLOUT, 0}, {wakeFd_.get(), POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0 && errno != EINTR) return lastError();
    if (fds[1].revents != 0) return std::make_error_code(std::errc::operation_canceled);
    // POLLHUP or POLLERR: the next write() gives the device's error.
  }
}

std::size_t PortSession::writeNow(const WriteTurn&, std::span<const std::uint8_t> data, std::error_code& error) {
  std::shared_lock lock(fdMutex_);
  if (!fd_ || closeRequested_) {
    error = std::make_error_code(std::errc::operation_canceled);
    return 0;
  }
  return writeAvailable(fd_.get(), data, error);
}

// ---- Closing ----

void PortSession::deviceGone(std::error_code error) {
  VALMOR_CHECK_THREAD(strand_.running_in_this_thread(), "a session's poll and close run on its strand only");
  if (gone_ || closing_) return;
  gone_ = true;
  stopWatcher();
  stopReader();
  pollTimer_.cancel();
  if (auto c = client()) c->sessionDeviceDidGo(error);
}

void PortSession::requestClose(std::shared_ptr<PortSessionClient> keepAlive) {
  if (keepAlive) {
    std::lock_guard lock(keepAliveMutex_);
    // Not after the close has completed: nobody would release it.
    if (!keepAlive_ && !closed_) keepAlive_ = std::move(keepAlive);
  }
  if (closeRequested_.exchange(true)) return;
  // Ends blocked writes now, before the strand gets to the close: the close
  // takes the descriptor's lock exclusively, which a writer holds. Writers
  // waiting for their turn give up too.
  const std::uint64_t one = 1;
  (void)!::write(wakeFd_.get(), &one, sizeof one);
  { std::lock_guard lock(turnMutex_); }
  turnFree_.notify_all();
  asio::post(strand_, [self = shared_from_this()] { self->beginClose(); });
}

void PortSession::beginClose() {
  VALMOR_CHECK_THREAD(strand_.running_in_this_thread(), "a session's poll and close run on its strand only");
  if (closing_) return;
  closing_ = true;
  pollTimer_.cancel();
  stopWatcher();
  stopReader();
  // Nothing is read once the close has begun: the attributes it puts back
  // would change the bytes of a read made after them (a terminal in
  // canonical mode turns CR into NL, say).
  if (reader_.joinable()) {
    closeAfterReader_ = true;  // readerEnded() goes on
    return;
  }
  closeDevice();
}

void PortSession::closeDevice() {
  VALMOR_CHECK_THREAD(strand_.running_in_this_thread(), "a session's poll and close run on its strand only");
  if (gone_) {
    // A device that has gone is not drained, nor given its attributes back.
    finishClose();
    return;
  }
  // Flow control off first, so that a peer that never raises CTS or never
  // sends XON cannot hold the queued output back.
  (void)clearFlowControl(fd_.get());
  // A break left on would hold the output back too.
  if (breakOn_.exchange(false)) (void)io_->setBreak(fd_.get(), false);
  int queued = 0;
  const auto rate = readBaudRate(fd_.get()).value_or(0);
  if (::ioctl(fd_.get(), TIOCOUTQ, &queued) < 0 || queued <= 0 || rate == 0) queued = 0;
  // Twelve bits a byte covers start, parity and two stop bits.
  const auto sendTime = std::chrono::microseconds(static_cast<std::int64_t>(
      static_cast<double>(queued) * 12.0 * 1e6 / static_cast<double>(rate ? rate : 1)));
  drainDeadline_ = std::chrono::steady_clock::now() + sendTime + kDrainGrace;
  drainOrGiveUp();
}

// Looks whether the queued output has gone out; until the deadline it looks
// again a little later on the strand, never waiting in a pool thread. What is
// still queued then is discarded, and the attributes go back at once.
void PortSession::drainOrGiveUp() {
  VALMOR_CHECK_THREAD(strand_.running_in_this_thread(), "a session's poll and close run on its strand only");
  int queued = 0;
  if (::ioctl(fd_.get(), TIOCOUTQ, &queued) < 0) queued = 0;
  if (queued > 0 && std::chrono::steady_clock::now() < drainDeadline_) {
    drainTimer_.expires_after(kDrainCheckInterval);
    drainTimer_.async_wait(asio::bind_executor(strand_, [self = shared_from_this()](const asio::error_code&) {
      self->drainOrGiveUp();
    }));
    return;
  }
  if (queued > 0) ::tcflush(fd_.get(), TCOFLUSH);
  // After the output has gone, which RS-485 direction control still had to
  // frame.
  restoreControls();
  (void)saved_.restore(fd_.get(), /*drain=*/false);
  finishClose();
}

void PortSession::finishClose() {
  VALMOR_CHECK_THREAD(strand_.running_in_this_thread(), "a session's poll and close run on its strand only");
  // The watcher's thread uses the descriptor until it ends; it was told to
  // stop when the close began, and ends within a few milliseconds. (The
  // reading thread has ended before the close went on.)
  if (watcher_) {
    finishAfterWatcher_ = true;
    return;
  }
  std::error_code closeError;
  {
    // Writers have been woken and give the lock back at once.
    std::unique_lock lock(fdMutex_);
    closeError = io_->closeDescriptor(fd_.release());
    // Every descriptor of the session is gone once its close is reported.
    wakeFd_.reset();
    readerWakeFd_.reset();
  }
  std::shared_ptr<PortSessionClient> keepAlive;
  {
    std::lock_guard lock(keepAliveMutex_);
    closed_ = true;
    keepAlive = std::move(keepAlive_);
  }
  auto c = keepAlive ? keepAlive : client_.lock();
  if (c) c->sessionDidClose(closeError);
}

}  // namespace valmor
