// DeviceIo: the calls a port makes on its open descriptor that a
// pseudo-terminal cannot show or cannot be made to fail: reading and writing
// the modem-control word (TIOCMGET, TIOCMSET), waiting for the input lines to
// change and counting their changes (TIOCMIWAIT, TIOCGICOUNT), applying the
// line settings, break (TIOCSBRK, TIOCCBRK), flushing (TCFLSH), the output
// still queued (TIOCOUTQ), low latency (TIOCGSERIAL, TIOCSSERIAL and the
// FTDI latency timer in sysfs), RS-485 (TIOCGRS485, TIOCSRS485), and close().
// The real implementation makes the system calls; tests install a fake
// (serial/testing/fake_device_io.h) to drive modem lines, record what the
// port asked for and inject failures.
//
// A port takes the DeviceIo installed when it opens and keeps using it until
// that open descriptor is closed.
//
// Threading: the functions may be called from any thread. Implementations
// must allow concurrent calls.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <system_error>

#include "valmor/serial/line_settings.h"

namespace valmor {

// How many times each input line has changed since the driver began
// counting. CTS, DSR and DCD count every change; RI counts each ring that
// ended (only its trailing edge, as UARTs report it). Counts wrap.
struct ModemLineCounts {
  std::uint32_t cts = 0;
  std::uint32_t dsr = 0;
  std::uint32_t dcd = 0;
  std::uint32_t ri = 0;
  bool operator==(const ModemLineCounts&) const = default;
};

class DeviceIo {
 public:
  virtual ~DeviceIo() = default;

  // The modem-control word (TIOCM_* bits). A device without modem lines
  // gives ENOTTY or EINVAL.
  virtual std::error_code getModemLines(int fd, int& bits);
  virtual std::error_code setModemLines(int fd, int bits);

  // Blocks until one of the input lines in mask (TIOCM_CTS, TIOCM_DSR,
  // TIOCM_CD, TIOCM_RNG) changes, as TIOCMIWAIT does: a change made before
  // the call began does not end it. Only a signal (EINTR; the handler must
  // be installed without SA_RESTART) or the device hanging up (EIO) ends it
  // otherwise. A driver without it gives ENOTTY or EINVAL.
  virtual std::error_code waitForModemLineChange(int fd, int mask);
  virtual std::error_code getModemLineCounts(int fd, ModemLineCounts& counts);

  // See applyLineSettings(int, const LineSettings&) in line_settings.h.
  virtual std::error_code applyLineSettings(int fd, const LineSettings& settings);

  // Puts the line into break (on) or takes it out.
  virtual std::error_code setBreak(int fd, bool on);

  enum class Queue { input, output };
  // Discards what was received and not read (input) or written and not sent
  // (output).
  virtual std::error_code flush(int fd, Queue queue);

  // Bytes written and not yet sent; at least 1 while a UART that tells
  // (TIOCSERGETLSR) is still shifting the last one out.
  virtual std::error_code queuedOutput(int fd, int& bytes);

  // The driver's low-latency flag (ASYNC_LOW_LATENCY of TIOCGSERIAL); a
  // driver without serial information gives ENOTTY.
  virtual std::error_code getLowLatency(int fd, bool& on);
  virtual std::error_code setLowLatency(int fd, bool on);
  // The FTDI latency_timer attribute of the device's sysfs node (in
  // milliseconds), where the device has one and it is writable; else empty.
  virtual std::string latencyTimerPath(int fd);

  // RS-485 direction control as the driver has it; a driver without gives
  // ENOTTY. setRS485 changes only what RS485Settings names and keeps the
  // driver's other RS-485 flags.
  virtual std::error_code getRS485(int fd, RS485Settings& settings);
  virtual std::error_code setRS485(int fd, const RS485Settings& settings);

  // Closes the descriptor. On Linux the descriptor is released even when an
  // error is returned; it must never be closed again.
  virtual std::error_code closeDescriptor(int fd);
};

// True for the errors of a device that has no modem-control lines, and of a
// driver without the request asked for (ENOTTY, EINVAL).
bool hasNoModemLines(std::error_code error);

// The DeviceIo for ports opened from now on: the one installed for testing,
// or the real one.
std::shared_ptr<DeviceIo> currentDeviceIo();

// Installs a DeviceIo for ports opened from now on; empty goes back to the
// real one. Ports already open keep theirs.
void setDeviceIoForTesting(std::shared_ptr<DeviceIo> io);

}  // namespace valmor
