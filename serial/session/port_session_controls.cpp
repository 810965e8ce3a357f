// PortSession: the settings of an open device that have ioctls of their own
// (low latency, RS-485), what the device had before them, and break, flush
// and drain. See port_session.h.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <string>

#include "valmor/platform/posix_error.h"
#include "platform/unique_fd.h"
#include "serial/session/port_session.h"

namespace valmor {

namespace {

using namespace std::chrono_literals;

// ftdi_sio's latency timer when nobody has changed it, in milliseconds.
constexpr int kDefaultLatencyTimer = 16;
constexpr int kLowLatencyTimer = 1;
// The longest a drain sleeps before it looks at the queue again.
constexpr auto kDrainStep = 20ms;

std::optional<int> readNumber(const std::string& path) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return std::nullopt;
  char buf[32];
  const ssize_t n = ::read(fd.get(), buf, sizeof buf);
  if (n <= 0) return std::nullopt;
  int value = 0;
  const auto [end, ec] = std::from_chars(buf, buf + n, value);
  if (ec != std::errc()) return std::nullopt;
  return value;
}

std::error_code writeNumber(const std::string& path, int value) {
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CLOEXEC));
  if (!fd) return lastError();
  const std::string text = std::to_string(value) + "\n";
  if (::write(fd.get(), text.data(), text.size()) != static_cast<ssize_t>(text.size())) return lastError();
  return {};
}

std::error_code notSupported() { return std::make_error_code(std::errc::not_supported); }
std::error_code canceled() { return std::make_error_code(std::errc::operation_canceled); }

}  // namespace

// ---- Low latency and RS-485 ----

std::error_code PortSession::applyLowLatency(bool on) {
  if (closeRequested_) return {};
  std::shared_lock lock(fdMutex_);
  if (!fd_) return {};
  std::lock_guard controls(controlsMutex_);
  const int fd = fd_.get();
  if (!lowLatencyTouched_) {
    lowLatencyTouched_ = true;
    bool was = false;
    if (!io_->getLowLatency(fd, was)) savedLowLatency_ = was;
    latencyTimerPath_ = io_->latencyTimerPath(fd);
    if (!latencyTimerPath_.empty()) savedLatencyTimer_ = readNumber(latencyTimerPath_);
  }

  std::error_code serialError = io_->setLowLatency(fd, on);
  if (!serialError) {
    bool now = !on;
    serialError = io_->getLowLatency(fd, now);
    if (!serialError && now != on) serialError = notSupported();
  }

  std::error_code timerError;
  bool timerSet = false;
  if (!latencyTimerPath_.empty()) {
    const int value = on ? kLowLatencyTimer : savedLatencyTimer_.value_or(kDefaultLatencyTimer);
    timerError = writeNumber(latencyTimerPath_, value);
    if (!timerError) {
      timerSet = readNumber(latencyTimerPath_) == value;
      if (!timerSet) timerError = notSupported();
    }
  }

  if (serialError && hasNoModemLines(serialError)) {
    // A USB adapter whose driver has no serial information still gets its
    // latency through the timer; and a driver with neither has nothing to
    // switch off.
    if (timerSet || (!on && latencyTimerPath_.empty())) return {};
  }
  return serialError ? serialError : timerError;
}

std::error_code PortSession::applyRS485(const RS485Settings& settings) {
  if (closeRequested_) return {};
  std::shared_lock lock(fdMutex_);
  if (!fd_) return {};
  std::lock_guard controls(controlsMutex_);
  const int fd = fd_.get();
  if (!rs485Touched_) {
    rs485Touched_ = true;
    RS485Settings was;
    if (!io_->getRS485(fd, was)) savedRS485_ = was;
  }
  if (const std::error_code error = io_->setRS485(fd, settings)) {
    // A driver without RS-485 is off already.
    if (!settings.enabled && hasNoModemLines(error)) return {};
    return error;
  }
  RS485Settings applied;
  if (!io_->getRS485(fd, applied)) {
    const bool same = settings.enabled ? applied == settings : !applied.enabled;
    if (!same) return notSupported();
  }
  return {};
}

// Strand only, while closing: the descriptor is still open.
void PortSession::restoreControls() {
  std::lock_guard controls(controlsMutex_);
  const int fd = fd_.get();
  if (lowLatencyTouched_) {
    if (savedLowLatency_) (void)io_->setLowLatency(fd, *savedLowLatency_);
    if (savedLatencyTimer_) (void)writeNumber(latencyTimerPath_, *savedLatencyTimer_);
  }
  if (rs485Touched_ && savedRS485_) (void)io_->setRS485(fd, *savedRS485_);
}

// ---- Break, flush, drain ----

bool PortSession::waitForCloseRequest(std::chrono::nanoseconds duration) const {
  const auto deadline = std::chrono::steady_clock::now() + duration;
  for (;;) {
    if (closeRequested_) return true;
    const auto left = deadline - std::chrono::steady_clock::now();
    if (left <= 0ns) return false;
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(left);
    const timespec timeout{static_cast<time_t>(seconds.count()), static_cast<long>((left - seconds).count())};
    pollfd wake{wakeFd_.get(), POLLIN, 0};
    if (::ppoll(&wake, 1, &timeout, nullptr) > 0) return true;
  }
}

std::error_code PortSession::setBreak(bool on) {
  std::shared_lock lock(fdMutex_);
  if (!fd_ || closeRequested_) return canceled();
  if (const std::error_code error = io_->setBreak(fd_.get(), on)) return error;
  breakOn_ = on;
  return {};
}

std::error_code PortSession::sendBreak(std::chrono::microseconds duration) {
  // Held shared for the length of the break: the close wakes this wait
  // (wakeFd_) before it takes the lock.
  std::shared_lock lock(fdMutex_);
  if (!fd_ || closeRequested_) return canceled();
  if (const std::error_code error = io_->setBreak(fd_.get(), true)) return error;
  breakOn_ = true;
  const bool closing = waitForCloseRequest(std::max(duration, std::chrono::microseconds(0)));
  const std::error_code endError = io_->setBreak(fd_.get(), false);
  breakOn_ = false;
  if (closing) return canceled();
  return endError;
}

std::error_code PortSession::flush(DeviceIo::Queue queue) {
  std::shared_lock lock(fdMutex_);
  if (!fd_ || closeRequested_) return canceled();
  return io_->flush(fd_.get(), queue);
}

std::error_code PortSession::drain(std::chrono::steady_clock::time_point deadline) {
  std::shared_lock lock(fdMutex_);
  if (!fd_ || closeRequested_) return canceled();
  const auto rate = readBaudRate(fd_.get()).value_or(0);
  for (;;) {
    int queued = 0;
    if (const std::error_code error = io_->queuedOutput(fd_.get(), queued)) return error;
    if (queued <= 0) return {};
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return std::make_error_code(std::errc::timed_out);
    // Sleeps about as long as the queue takes at the line rate (ten bits a
    // byte), at most kDrainStep, and never past the deadline.
    auto step = std::chrono::duration_cast<std::chrono::nanoseconds>(kDrainStep);
    if (rate > 0) step = std::min(step, std::chrono::nanoseconds(static_cast<std::int64_t>(queued) * 10 *
                                                                 1'000'000'000 / static_cast<std::int64_t>(rate)));
    step = std::min<std::chrono::nanoseconds>(std::max<std::chrono::nanoseconds>(step, 1ms), deadline - now);
    if (waitForCloseRequest(step)) return canceled();
  }
}

}  // namespace valmor
