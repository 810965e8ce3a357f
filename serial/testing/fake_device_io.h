// A DeviceIo for tests: a modem-control word the test sets (the input lines
// of a device that a pseudo-terminal cannot have), injected failures, and a
// record of what the port asked for. Line settings and close() still reach
// the real descriptor.
#pragma once

#include <sys/ioctl.h>

#include <atomic>
#include <mutex>
#include <vector>

#include "serial/device_io.h"

namespace valmor::test {

class FakeDeviceIo : public DeviceIo {
 public:
  std::atomic<int> modemBits{0};      // the word TIOCMGET gives
  std::atomic<int> getModemError{0};  // errno for TIOCMGET to fail with; 0 for none
  std::atomic<int> closeError{0};     // errno for close() to report after closing
  std::atomic<int> getModemCalls{0};

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

  std::error_code applyLineSettings(int fd, const LineSettings& settings) override {
    {
      std::lock_guard lock(mutex_);
      applied_.push_back(settings);
    }
    return DeviceIo::applyLineSettings(fd, settings);
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

 private:
  std::mutex mutex_;
  std::vector<LineSettings> applied_;  // Guarded by mutex_.
  std::vector<int> setWords_;          // Guarded by mutex_.
};

}  // namespace valmor::test
