#include "valmor/platform/posix_error.h"

#include <cerrno>
#include <cstring>

namespace valmor {

PosixError PosixError::fromErrno(int err, std::string path) {
  return PosixError{std::error_code(err, std::generic_category()), std::move(path)};
}

std::string PosixError::message() const {
  char buf[256];
  // The GNU strerror_r returns the text, which may not be in buf.
  return ::strerror_r(code.value(), buf, sizeof buf);
}

std::string PosixError::description() const {
  return path + ": " + message() + " (errno " + std::to_string(code.value()) + ")";
}

std::error_code lastError() { return std::error_code(errno, std::generic_category()); }

bool isDeviceGone(int err) { return err == EIO || err == ENXIO || err == ENODEV; }

bool isDeviceGone(std::error_code code) {
  return code.category() == std::generic_category() && isDeviceGone(code.value());
}

}  // namespace valmor
