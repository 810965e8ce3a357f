#include "serial/lines/terminal_attributes.h"

// The kernel's own declarations: struct termios2, BOTHER and TCSETS2. They
// cannot share a translation unit with glibc's <termios.h>, whose struct
// termios and constants collide with them, so this file uses only these.
#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <span>
#include <utility>

#include "valmor/platform/posix_error.h"

namespace valmor {

namespace {

constexpr std::pair<std::uint64_t, unsigned> kStandardRates[] = {
    {50, B50},         {75, B75},         {110, B110},       {134, B134},
    {150, B150},       {200, B200},       {300, B300},       {600, B600},
    {1200, B1200},     {1800, B1800},     {2400, B2400},     {4800, B4800},
    {9600, B9600},     {19200, B19200},   {38400, B38400},   {57600, B57600},
    {115200, B115200}, {230400, B230400}, {460800, B460800}, {500000, B500000},
    {576000, B576000}, {921600, B921600}, {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

constexpr cc_t kXON = 0x11;
constexpr cc_t kXOFF = 0x13;

tcflag_t characterSize(std::uint64_t dataBits) {
  switch (dataBits) {
    case 5: return CS5;
    case 6: return CS6;
    case 7: return CS7;
    default: return CS8;
  }
}

unsigned standardRateCode(std::uint64_t rate) {
  for (const auto& [r, code] : kStandardRates)
    if (r == rate) return code;
  return 0;
}

// Every mode bit a raw serial line depends on, and the state it must be in.
// Listing them all, rather than clearing the few that cfmakeraw() clears,
// keeps what another program left on the device (XON/XOFF handling, parity
// marking, break handling, output post-processing) from leaking into a line
// that carries binary data. Bits that a setting decides (echo, parity, stop
// bits, flow control) are set further down.
struct ModeBit {
  tcflag_t bit;
  bool on;
};

constexpr ModeBit kInputModes[] = {
    {IGNBRK, false},   // a break is a NUL byte, not silently dropped
    {BRKINT, false},   // ... and raises no signal
    {IGNPAR, false},   // bytes with framing or parity errors are kept
    {PARMRK, false},   // ... and not marked with 0xFF 0x00 prefixes
    {INPCK, false},    // input parity checking off (parity is generated)
    {ISTRIP, false},   // all eight bits
    {INLCR, false},    // no newline translation on input
    {IGNCR, false},
    {ICRNL, false},
    {IUCLC, false},    // no case mapping
    {IXON, false},     // no software flow control: 0x11 and 0x13 are data
    {IXANY, false},
    {IXOFF, false},
    {IMAXBEL, false},
    {IUTF8, false},    // bytes, not characters
};

constexpr ModeBit kOutputModes[] = {
    {OPOST, false},  // bytes go out as written
    {OLCUC, false}, {ONLCR, false}, {OCRNL, false}, {ONOCR, false}, {ONLRET, false},
    {OFILL, false}, {OFDEL, false}, {NLDLY, false}, {CRDLY, false}, {TABDLY, false},
    {BSDLY, false}, {VTDLY, false}, {FFDLY, false},
};

constexpr ModeBit kLocalModes[] = {
    {ISIG, false},    // control characters are data, not signals
    {ICANON, false},  // no line editing: bytes are delivered as they come
    {XCASE, false},  {ECHO, false},    {ECHOE, false},   {ECHOK, false},  {ECHONL, false},
    {ECHOCTL, false}, {ECHOPRT, false}, {ECHOKE, false}, {FLUSHO, false}, {NOFLSH, false},
    {TOSTOP, false}, {PENDIN, false},  {IEXTEN, false},  {EXTPROC, false},
};

constexpr ModeBit kControlModes[] = {
    {CREAD, true},   // receiver on
    {CLOCAL, true},  // modem status lines do not gate the line
    {HUPCL, true},   // drop the modem lines on the last close
};

void applyTable(tcflag_t& flags, std::span<const ModeBit> table) {
  for (const ModeBit& m : table) {
    if (m.on) {
      flags |= m.bit;
    } else {
      flags &= ~m.bit;
    }
  }
}

void apply(const LineSettings& s, termios2& t) {
  applyTable(t.c_iflag, kInputModes);
  applyTable(t.c_oflag, kOutputModes);
  applyTable(t.c_lflag, kLocalModes);
  applyTable(t.c_cflag, kControlModes);
  t.c_cflag &= ~CSIZE;
  t.c_cflag |= characterSize(s.numberOfDataBits);

  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 2;

  // CMSPAR is cleared for none, odd and even: left set by another program,
  // it would turn odd parity into mark and even into space.
  t.c_cflag &= ~(PARENB | PARODD | CMSPAR);
  if (s.parity == kParityOdd) {
    t.c_cflag |= PARENB | PARODD;
  } else if (s.parity == kParityEven) {
    t.c_cflag |= PARENB;
  } else if (s.parity == kParityMark) {
    t.c_cflag |= PARENB | CMSPAR | PARODD;
  } else if (s.parity == kParitySpace) {
    t.c_cflag |= PARENB | CMSPAR;
  }

  if (s.numberOfStopBits > 1) {
    t.c_cflag |= CSTOPB;
  } else {
    t.c_cflag &= ~CSTOPB;
  }

  if (s.shouldEchoReceivedData) {
    t.c_lflag |= ECHO;
  } else {
    t.c_lflag &= ~ECHO;
  }

  if (s.usesRTSCTSFlowControl) {
    t.c_cflag |= CRTSCTS;
  } else {
    t.c_cflag &= ~CRTSCTS;
  }

  // The table above has turned software flow control off.
  if (s.usesXONXOFFFlowControl) {
    t.c_iflag |= IXON | IXOFF;
    if (s.resumesOutputOnAnyCharacter) t.c_iflag |= IXANY;
    t.c_cc[VSTART] = kXON;
    t.c_cc[VSTOP] = kXOFF;
  }

  // The rate: a standard one by its code, any other as BOTHER with the
  // number itself. CIBAUD cleared makes the input rate follow the output.
  t.c_cflag &= ~(CBAUD | CIBAUD);
  const unsigned code = standardRateCode(s.baudRate);
  t.c_cflag |= code ? code : BOTHER;
  t.c_ispeed = static_cast<speed_t>(s.baudRate);
  t.c_ospeed = static_cast<speed_t>(s.baudRate);
}

}  // namespace

bool isStandardBaudRate(std::uint64_t rate) { return standardRateCode(rate) != 0; }

void applyLineSettings(const LineSettings& settings, TerminalFlags& flags) {
  termios2 t{};
  t.c_iflag = flags.iflag;
  t.c_oflag = flags.oflag;
  t.c_cflag = flags.cflag;
  t.c_lflag = flags.lflag;
  t.c_cc[VMIN] = flags.vmin;
  t.c_cc[VTIME] = flags.vtime;
  t.c_cc[VSTART] = flags.vstart;
  t.c_cc[VSTOP] = flags.vstop;
  apply(settings, t);
  flags.iflag = t.c_iflag;
  flags.oflag = t.c_oflag;
  flags.cflag = t.c_cflag;
  flags.lflag = t.c_lflag;
  flags.vmin = t.c_cc[VMIN];
  flags.vtime = t.c_cc[VTIME];
  flags.vstart = t.c_cc[VSTART];
  flags.vstop = t.c_cc[VSTOP];
  flags.ispeed = t.c_ispeed;
  flags.ospeed = t.c_ospeed;
}

std::error_code applyLineSettings(int fd, const LineSettings& settings) {
  if (!isStandardBaudRate(settings.baudRate) && !settings.allowsNonStandardBaudRates)
    return std::make_error_code(std::errc::invalid_argument);
  termios2 t{};
  if (::ioctl(fd, TCGETS2, &t) < 0) return lastError();
  apply(settings, t);
  if (::ioctl(fd, TCSETS2, &t) < 0) return lastError();
  // Linux has neither DTR/DSR flow control nor output flow control by DCD,
  // nor one and a half stop bits. Everything else is in effect now; the
  // caller hears that these are not.
  if (settings.usesDTRDSRFlowControl || settings.usesDCDOutputFlowControl ||
      settings.numberOfStopBits == kOneAndAHalfStopBits)
    return std::make_error_code(std::errc::not_supported);
  return {};
}

std::optional<std::uint64_t> readBaudRate(int fd) {
  termios2 t{};
  if (::ioctl(fd, TCGETS2, &t) < 0) return std::nullopt;
  return t.c_ospeed;
}

struct SavedAttributes::Record {
  termios2 attributes{};
};

SavedAttributes::SavedAttributes() = default;
SavedAttributes::~SavedAttributes() = default;
SavedAttributes::SavedAttributes(const SavedAttributes& other)
    : record_(other.record_ ? std::make_unique<Record>(*other.record_) : nullptr) {}
SavedAttributes& SavedAttributes::operator=(const SavedAttributes& other) {
  if (this != &other) record_ = other.record_ ? std::make_unique<Record>(*other.record_) : nullptr;
  return *this;
}

bool SavedAttributes::save(int fd) {
  auto r = std::make_unique<Record>();
  if (::ioctl(fd, TCGETS2, &r->attributes) < 0) return false;
  record_ = std::move(r);
  return true;
}

bool SavedAttributes::isSaved() const { return record_ != nullptr; }

std::error_code SavedAttributes::restore(int fd, bool drain) const {
  if (!record_) return {};
  termios2 t = record_->attributes;
  if (::ioctl(fd, drain ? TCSETSW2 : TCSETS2, &t) < 0) return lastError();
  return {};
}

std::error_code clearFlowControl(int fd) {
  termios2 t{};
  if (::ioctl(fd, TCGETS2, &t) < 0) return lastError();
  if (!(t.c_cflag & CRTSCTS) && !(t.c_iflag & (IXON | IXOFF))) return {};
  t.c_cflag &= ~CRTSCTS;
  t.c_iflag &= ~(IXON | IXOFF | IXANY);
  if (::ioctl(fd, TCSETS2, &t) < 0) return lastError();
  return {};
}

}  // namespace valmor
