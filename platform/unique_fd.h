// A move-only owner of a file descriptor. Empty is -1 (0 is a valid
// descriptor). Closes in its destructor.
//
// On Linux close() releases the descriptor even when it reports an error, so
// reset() never retries: after it the descriptor is gone either way.
#pragma once

#include <unistd.h>

#include <utility>

namespace valmor {

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
      reset();
      fd_ = other.release();
    }
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  explicit operator bool() const { return valid(); }

  // Gives up ownership without closing.
  int release() { return std::exchange(fd_, -1); }

  // Closes the held descriptor (if any) and holds fd instead. Returns the
  // result of close(): 0, or -1 with errno set.
  int reset(int fd = -1) {
    int rc = 0;
    if (fd_ >= 0) rc = ::close(fd_);
    fd_ = fd;
    return rc;
  }

 private:
  int fd_ = -1;
};

}  // namespace valmor
