// Captures the diagnostic log for the life of the object, for tests that
// check what the library logs. Lines may arrive from any thread.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "platform/log.h"

namespace valmor::test {

class LogCapture {
 public:
  LogCapture() {
    setLogSinkForTesting([this](const std::string& line) {
      std::lock_guard lock(mutex_);
      lines_.push_back(line);
    });
  }
  ~LogCapture() { setLogSinkForTesting(nullptr); }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  // The lines logged so far, each led by its timestamp.
  std::vector<std::string> lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;  // Guarded by mutex_.
};

}  // namespace valmor::test
