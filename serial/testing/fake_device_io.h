// A DeviceIo for tests: a modem-control word the test sets (the input lines
// of a device that a pseudo-terminal cannot have), a wait for line changes
// that behaves as TIOCMIWAIT does, injected failures, and a record of what
// the port asked for. Line settings and close() still reach the real
// descriptor.
//
// The wait blocks in read() on a pipe, a system call that, like the ioctl,
// a signal ends with EINTR only when its handler was installed without
// SA_RESTART; so the port's way of ending the wait is tested as it is.
#pragma once

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <mutex>
#include <string>
#include <vector>

#include "serial/lines/device_io.h"

namespace valmor::test {

class FakeDeviceIo : public DeviceIo {
 public:
  std::atomic<int> modemBits{0};      // the word TIOCMGET gives
  std::atomic<int> getModemError{0};  // errno for TIOCMGET to fail with; 0 for none
  std::atomic<int> closeError{0};     // errno for close() to report after closing
  std::atomic<int> getModemCalls{0};

  // Without it the driver has no TIOCMIWAIT (ENOTTY) and the port polls.
  std::atomic<bool> canWait{false};
  std::atomic<int> waiting{0};    // threads inside the wait now
  std::atomic<int> waitCalls{0};  // waits begun

  std::atomic<int> queuedBytes{0};      // what TIOCOUTQ gives
  std::atomic<int> queuedOutputCalls{0};  // TIOCOUTQ asked so far
  std::atomic<int> breakError{0};       // errno for TIOCSBRK/TIOCCBRK
  std::atomic<int> serialInfoError{0};  // errno for TIOCGSERIAL/TIOCSSERIAL (ENOTTY: none)
  std::atomic<bool> keepsLowLatency{false};  // accepts the flag but keeps it as it was
  std::atomic<bool> lowLatencyFlag{false};   // ASYNC_LOW_LATENCY as the driver has it
  std::atomic<int> rs485Error{0};            // errno for TIOCGRS485/TIOCSRS485 (ENOTTY: none)
  std::atomic<int> maxRS485Delay{100};       // the driver clamps delays to this, in ms

  FakeDeviceIo() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) == 0) {
      wakeRead_ = fds[0];
      wakeWrite_ = fds[1];
      ::fcntl(wakeWrite_, F_SETFL, O_NONBLOCK);
    }
  }
  ~FakeDeviceIo() override {
    ::close(wakeRead_);
    ::close(wakeWrite_);
  }

  // ---- Input lines ----

  // The device's input lines become bits: counted as UARTs count them (RI
  // only when a ring ends), and a pending wait ends (unless wakeWaiter is
  // false: then it ends at the next change, as if the change had come just
  // before the wait began).
  void setLines(int bits, bool wakeWaiter = true) {
    {
      std::lock_guard lock(mutex_);
      const int old = modemBits.load();
      const int changed = old ^ bits;
      if (changed & TIOCM_CTS) ++counts_.cts;
      if (changed & TIOCM_DSR) ++counts_.dsr;
      if (changed & TIOCM_CAR) ++counts_.dcd;
      if ((old & TIOCM_RNG) && !(bits & TIOCM_RNG)) ++counts_.ri;
      modemBits = bits;
    }
    if (wakeWaiter) wake();
  }

  // The device hangs up: every call fails with err, a pending wait too.
  void hangUp(int err) {
    {
      std::lock_guard lock(mutex_);
      hangUpError_ = err;
      getModemError = err;
    }
    wake();
  }

  std::error_code getModemLines(int, int& bits) override {
    ++getModemCalls;
    if (const int e = getModemError.load()) return {e, std::generic_category()};
    bits = modemBits.load();
    return {};
  }

  std::error_code setModemLines(int, int bits) override {
    std::lock_guard lock(mutex_);
    setWords_.push_back(bits);
    modemBits = bits;
    return {};
  }

  std::error_code waitForModemLineChange(int, int mask) override {
    if (!canWait) return {ENOTTY, std::generic_category()};
    ModemLineCounts start;
    {
      std::lock_guard lock(mutex_);
      start = counts_;
    }
    ++waitCalls;
    ++waiting;
    struct Leave {
      std::atomic<int>& n;
      ~Leave() { --n; }
    } leave{waiting};
    for (;;) {
      {
        std::lock_guard lock(mutex_);
        if (hangUpError_) return {hangUpError_, std::generic_category()};
        if (((mask & TIOCM_CTS) && counts_.cts != start.cts) || ((mask & TIOCM_DSR) && counts_.dsr != start.dsr) ||
            ((mask & TIOCM_CD) && counts_.dcd != start.dcd) || ((mask & TIOCM_RNG) && counts_.ri != start.ri))
          return {};
      }
      char byte;
      if (::read(wakeRead_, &byte, 1) < 0 && errno == EINTR) return {EINTR, std::generic_category()};
    }
  }

  std::error_code getModemLineCounts(int, ModemLineCounts& counts) override {
    std::lock_guard lock(mutex_);
    if (hangUpError_) return {hangUpError_, std::generic_category()};
    counts = counts_;
    return {};
  }

  // ---- Settings ----

  std::error_code applyLineSettings(int fd, const LineSettings& settings) override {
    {
      std::lock_guard lock(mutex_);
      applied_.push_back(settings);
    }
    return DeviceIo::applyLineSettings(fd, settings);
  }

  std::error_code getLowLatency(int, bool& on) override {
    if (const int e = serialInfoError.load()) return {e, std::generic_category()};
    on = lowLatencyFlag;
    return {};
  }
  std::error_code setLowLatency(int, bool on) override {
    if (const int e = serialInfoError.load()) return {e, std::generic_category()};
    if (!keepsLowLatency) lowLatencyFlag = on;
    return {};
  }
  std::string latencyTimerPath(int) override {
    std::lock_guard lock(mutex_);
    return latencyTimerPath_;
  }
  void setLatencyTimerPath(std::string path) {
    std::lock_guard lock(mutex_);
    latencyTimerPath_ = std::move(path);
  }

  std::error_code getRS485(int, RS485Settings& settings) override {
    if (const int e = rs485Error.load()) return {e, std::generic_category()};
    std::lock_guard lock(mutex_);
    settings = rs485_;
    return {};
  }
  std::error_code setRS485(int, const RS485Settings& settings) override {
    if (const int e = rs485Error.load()) return {e, std::generic_category()};
    std::lock_guard lock(mutex_);
    rs485_ = settings;
    const std::chrono::milliseconds most(maxRS485Delay.load());
    if (rs485_.delayBeforeSend > most) rs485_.delayBeforeSend = most;
    if (rs485_.delayAfterSend > most) rs485_.delayAfterSend = most;
    return {};
  }
  RS485Settings rs485() {
    std::lock_guard lock(mutex_);
    return rs485_;
  }

  // ---- Break, flush, output queue ----

  struct BreakCall {
    bool on;
    std::chrono::steady_clock::time_point at;
  };
  std::error_code setBreak(int, bool on) override {
    if (const int e = breakError.load()) return {e, std::generic_category()};
    std::lock_guard lock(mutex_);
    breaks_.push_back({on, std::chrono::steady_clock::now()});
    return {};
  }
  std::error_code flush(int fd, Queue queue) override {
    {
      std::lock_guard lock(mutex_);
      flushes_.push_back(queue);
    }
    return DeviceIo::flush(fd, queue);
  }
  std::error_code queuedOutput(int, int& bytes) override {
    bytes = queuedBytes.load();
    ++queuedOutputCalls;
    return {};
  }

  std::error_code closeDescriptor(int fd) override {
    const std::error_code real = DeviceIo::closeDescriptor(fd);
    if (const int e = closeError.load()) return {e, std::generic_category()};
    return real;
  }

  std::vector<LineSettings> applied() {
    std::lock_guard lock(mutex_);
    return applied_;
  }
  std::vector<int> setWords() {
    std::lock_guard lock(mutex_);
    return setWords_;
  }
  std::vector<BreakCall> breaks() {
    std::lock_guard lock(mutex_);
    return breaks_;
  }
  std::vector<Queue> flushes() {
    std::lock_guard lock(mutex_);
    return flushes_;
  }

 private:
  // Ends every pending wait, which then looks at the counts again.
  void wake() {
    const int n = std::max(1, waiting.load());
    for (int i = 0; i < n; ++i) (void)!::write(wakeWrite_, "w", 1);
  }

  int wakeRead_ = -1;   // blocking: the wait sleeps in read()
  int wakeWrite_ = -1;  // non-blocking: waking never blocks the test
  std::mutex mutex_;
  std::vector<LineSettings> applied_;  // Guarded by mutex_.
  std::vector<int> setWords_;          // Guarded by mutex_.
  ModemLineCounts counts_;             // Guarded by mutex_.
  int hangUpError_ = 0;                // Guarded by mutex_.
  std::string latencyTimerPath_;       // Guarded by mutex_.
  RS485Settings rs485_;                // Guarded by mutex_.
  std::vector<BreakCall> breaks_;      // Guarded by mutex_.
  std::vector<Queue> flushes_;         // Guarded by mutex_.
};

}  // namespace valmor::test
