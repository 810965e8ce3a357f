// Line settings of a serial port and how they reach the device.
//
// LineSettings is a plain value: rate, data bits, stop bits, parity, echo,
// the three kinds of hardware flow control and software (XON/XOFF) flow
// control. applyLineSettings() puts all of them on an
// open terminal device at once: it reads the device's attributes, makes them
// raw, sets every field, and writes the whole record with one TCSETS2, so a
// non-standard rate (42105 baud) and even parity are in effect together.
//
// This header includes neither <termios.h> nor the kernel's termbits: the
// kernel's termios2 declarations are confined to line_settings.cpp, where
// they cannot collide with glibc's.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <system_error>

namespace valmor {

// Parity codes, as the port's parity property stores them.
inline constexpr std::uint64_t kParityNone = 0;
inline constexpr std::uint64_t kParityOdd = 1;
inline constexpr std::uint64_t kParityEven = 2;
// The parity bit always 1 (mark) or always 0 (space).
inline constexpr std::uint64_t kParityMark = 3;
inline constexpr std::uint64_t kParitySpace = 4;

// The numberOfStopBits code for one and a half stop bits. Linux has no such
// setting: applying it reports ENOTSUP and sends two stop bits, which a
// receiver expecting one and a half accepts. Every other value of 2 or more
// means two stop bits, 0 and 1 mean one.
inline constexpr std::uint64_t kOneAndAHalfStopBits = 15;

// The data bits a character may have.
inline constexpr std::uint64_t kMinDataBits = 5;
inline constexpr std::uint64_t kMaxDataBits = 8;

struct LineSettings {
  std::uint64_t baudRate = 19200;
  bool allowsNonStandardBaudRates = false;
  std::uint64_t numberOfStopBits = 1;  // above 1 means two stop bits
  std::uint64_t parity = kParityNone;  // 0 none, 1 odd, 2 even, 3 mark, 4 space
  std::uint64_t numberOfDataBits = 8;  // 5 to 8
  bool shouldEchoReceivedData = false;
  bool usesRTSCTSFlowControl = false;
  bool usesDTRDSRFlowControl = false;   // Linux has none: reported as ENOTSUP
  bool usesDCDOutputFlowControl = false;  // Linux has none: reported as ENOTSUP
  // Software flow control: output stops at XOFF (0x13) from the device and
  // resumes at XON (0x11); the port sends XOFF and XON when its input queue
  // fills and empties. May be combined with RTS/CTS.
  bool usesXONXOFFFlowControl = false;
  // With XON/XOFF: any byte from the device resumes stopped output.
  bool resumesOutputOnAnyCharacter = false;

  bool operator==(const LineSettings&) const = default;
};

// RS-485 direction control: the driver raises or lowers RTS around each
// transmission so that a half-duplex transceiver sends only while the port
// has bytes to send. Applied with its own ioctl (TIOCSRS485), not with the
// terminal record.
struct RS485Settings {
  bool enabled = false;
  bool RTSOnSend = true;      // RTS level while sending
  bool RTSAfterSend = false;  // RTS level after sending
  std::chrono::milliseconds delayBeforeSend{0};  // RTS set to sending, first byte
  std::chrono::milliseconds delayAfterSend{0};   // last byte, RTS set back

  bool operator==(const RS485Settings&) const = default;
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
  std::uint8_t vstart = 0;  // the XON character
  std::uint8_t vstop = 0;   // the XOFF character
};

// Applies the settings to a record (made raw first): data bits, parity
// (mark and space with CMSPAR), stop bits, echo, CRTSCTS, IXON/IXOFF/IXANY
// with the standard XON and XOFF characters, receiver on, HUPCL and CLOCAL,
// no canonical input or signals, VMIN 1 and VTIME 2, and the rate (a
// standard rate by its constant, any other with BOTHER). Pure; never fails.
// A non-standard rate is written even when not allowed: the caller refuses
// it before. A data-bit count outside 5-8 (never stored by a port) gives 8.
void applyLineSettings(const LineSettings& settings, TerminalFlags& flags);

// Puts the settings on an open device in one TCSETS2 call. Errors:
//  - EINVAL when the rate is non-standard and non-standard rates are not
//    allowed; the device keeps its attributes.
//  - ENOTSUP when DTR/DSR or DCD flow control, or one and a half stop bits,
//    is asked for; every other setting is still applied.
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

// Clears hardware and software flow control on the device at once, so that
// a drain that follows cannot be held back by a peer that never raises CTS
// or never sends XON (turning IXON off restarts output an XOFF stopped).
std::error_code clearFlowControl(int fd);

}  // namespace valmor
