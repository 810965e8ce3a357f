// The error that every failure report of the serial library carries: the
// errno of the failed call (in std::generic_category), the text strerror
// gives for it, and the path of the port it concerns.
#pragma once

#include <string>
#include <system_error>

#include "valmor/platform/export.h"

namespace valmor {

struct VALMOR_EXPORT PosixError {
  std::error_code code;
  std::string path;

  // An error from an errno value (for instance errno just after the call).
  static PosixError fromErrno(int err, std::string path);

  int value() const { return code.value(); }

  // The strerror text of the code, e.g. "No such file or directory".
  std::string message() const;

  // Everything in one readable line:
  // "/dev/ttyUSB0: No such file or directory (errno 2)".
  std::string description() const;
};

// True for the errors with which the kernel reports a device that has gone
// (unplugged, hung up): EIO, ENXIO and ENODEV. Removal is recognised with this
// one test everywhere, so that it is reported once and the same way.
VALMOR_EXPORT bool isDeviceGone(std::error_code code);
VALMOR_EXPORT bool isDeviceGone(int err);

// errno as an error, read right after a failed system call.
[[nodiscard]] VALMOR_EXPORT std::error_code lastError();

}  // namespace valmor
