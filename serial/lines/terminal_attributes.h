// How line settings reach a terminal device: the mapping of LineSettings onto
// a terminal record, its application with one TCSETS2, the device's own
// record saved at open and written back at close, and the clearing of flow
// control before a close drains.
//
// This header includes neither <termios.h> nor the kernel's termbits: the
// kernel's termios2 declarations are confined to line_settings.cpp, where
// they cannot collide with glibc's.
//
// Threading: the functions may be called from any thread; a SavedAttributes
// is used by one thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <system_error>

#include "valmor/serial/line_settings.h"

namespace valmor {

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
