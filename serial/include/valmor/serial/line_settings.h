// Line settings of a serial port, as plain values.
//
// LineSettings: rate, data bits, stop bits, parity, echo, the three kinds of
// hardware flow control and software (XON/XOFF) flow control. A port puts
// all of them on its device at once, so a non-standard rate (42105 baud) and
// even parity are in effect together. RS485Settings: RS-485 direction
// control.
//
// Threading: plain values; isStandardBaudRate() may be called from any
// thread.
#pragma once

#include <chrono>
#include <cstdint>

#include "valmor/platform/export.h"

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
VALMOR_EXPORT bool isStandardBaudRate(std::uint64_t rate);

}  // namespace valmor
