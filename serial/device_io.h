// DeviceIo: the calls a port makes on its open descriptor that a
// pseudo-terminal cannot show or cannot be made to fail: reading and writing
// the modem-control word (TIOCMGET, TIOCMSET), applying the line settings,
// and close(). The real implementation makes the system calls; tests install
// a fake (serial/testing/fake_device_io.h) to drive modem lines and inject
// failures.
//
// A port takes the DeviceIo installed when it opens and keeps using it until
// that open descriptor is closed.
//
// Threading: the functions may be called from any thread. Implementations
// must allow concurrent calls.
#pragma once

#include <memory>
#include <system_error>

#include "serial/line_settings.h"

namespace valmor {

class DeviceIo {
 public:
  virtual ~DeviceIo() = default;

  // The modem-control word (TIOCM_* bits). A device without modem lines
  // gives ENOTTY or EINVAL.
  virtual std::error_code getModemLines(int fd, int& bits);
  virtual std::error_code setModemLines(int fd, int bits);

  // See applyLineSettings(int, const LineSettings&) in line_settings.h.
  virtual std::error_code applyLineSettings(int fd, const LineSettings& settings);

  // Closes the descriptor. On Linux the descriptor is released even when an
  // error is returned; it must never be closed again.
  virtual std::error_code closeDescriptor(int fd);
};

// True for the errors of a device that has no modem-control lines.
bool hasNoModemLines(std::error_code error);

// The DeviceIo for ports opened from now on: the one installed for testing,
// or the real one.
std::shared_ptr<DeviceIo> currentDeviceIo();

// Installs a DeviceIo for ports opened from now on; empty goes back to the
// real one. Ports already open keep theirs.
void setDeviceIoForTesting(std::shared_ptr<DeviceIo> io);

}  // namespace valmor
