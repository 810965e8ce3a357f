// Line settings of a serial port and how they reach the device.
//
// LineSettings is a plain value: rate, stop bits, parity, echo and the three
// kinds of hardware flow control. applyLineSettings() puts all of them on an
// open terminal device at once: it reads the device's attributes, makes them
// raw, sets every field, and writes the whole record with one TCSETS2, so a
// non-standard rate (42105 baud) and even parity are in effect together.
//
// This header includes neither <termios.h> nor the kernel's termbits: the
// kernel's termios2 declarations are confined to line_settings.cpp, where
// they cannot collide with glibc's.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <system_error>

namespace valmor {

// Parity codes, as the port's parity property stores them.
inline constexpr std::uint64_t kParityNone = 0;
inline constexpr std::uint64_t kParityOdd = 1;
inline constexpr std::uint64_t kParityEven = 2;

struct LineSettings {
  std::uint64_t baudRate = 19200;
  bool allowsNonStandardBaudRates = false;
  std::uint64_t numberOfStopBits = 1;  // above 1 means two stop bits
  std::uint64_t parity = kParityNone;  // 0 none, 1 odd, 2 even
  bool shouldEchoReceivedData = false;
  bool usesRTSCTSFlowControl = false;
  bool usesDTRDSRFlowControl = false;   // Linux has none: reported as ENOTSUP
  bool usesDCDOutputFlowControl = false;  // Linux has none: reported as ENOTSUP

  bool operator==(const LineSettings&) const = default;
};

// True for the rates that have a B<rate> constant (50 ... 4000000).
bool isStandardBaudRate(std::uint64_t rate);

// The fields of a terminal record that the settings touch, as plain numbers,
// so that the mapping can be checked without a device. Bits are Linux's
// <termios.h> values.
struct TerminalFlags {
  std::uint32_t iflag = 0;
  std::uint32_t oflag = 0;
  std::uint32_t cflag = 0;
  std::uint32_t lflag = 0;
  std::uint8_t vmin = 0;
  std::uint8_t vtime = 0;
  std::uint32_t ispeed = 0;
  std::uint32_t ospeed = 0;
};

// Applies the settings to a record (made raw first): 8 data bits, parity,
// stop bits, echo, CRTSCTS, receiver on, HUPCL and CLOCAL, no canonical
// input or signals, VMIN 1 and VTIME 2, and the rate (a standard rate by its
// constant, any other with BOTHER). Pure; never fails. A non-standard rate is
// written even when not allowed: the caller refuses it before.
void applyLineSettings(const LineSettings& settings, TerminalFlags& flags);

// Puts the settings on an open device in one TCSETS2 call. Errors:
//  - EINVAL when the rate is non-standard and non-standard rates are not
//    allowed; the device keeps its attributes.
//  - ENOTSUP when DTR/DSR or DCD flow control is asked for; every other
//    setting is still applied.
//  - the errno of TCGETS2 or TCSETS2 when either fails.
std::error_code applyLineSettings(int fd, const LineSettings& settings);

// The rate the device sends at (its output rate; the input rate follows it),
// read with TCGETS2; none on failure.
std::optional<std::uint64_t> readBaudRate(int fd);

// The device's whole terminal record, saved at open and written back at
// close.
class SavedAttributes {
 public:
  SavedAttributes();
  ~SavedAttributes();
  SavedAttributes(const SavedAttributes&);
  SavedAttributes& operator=(const SavedAttributes&);

  // Reads the record from the device; false (errno set) on failure.
  bool save(int fd);
  bool isSaved() const;

  // Writes the saved record back. With drain, after pending output has been
  // sent (TCSETSW2); without, at once.
  std::error_code restore(int fd, bool drain) const;

 private:
  struct Record;
  std::unique_ptr<Record> record_;
};

// Clears hardware flow control on the device at once, so that a drain that
// follows cannot be held back by a peer that never raises CTS.
std::error_code clearHardwareFlowControl(int fd);

}  // namespace valmor
