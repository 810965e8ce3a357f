#include "serial/lines/terminal_attributes.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include "platform/testing/pty.h"
#include "platform/unique_fd.h"

namespace valmor::test {
namespace {

// Start from a cooked record, as a fresh terminal has, so that every bit the
// mapping must change is actually changed.
TerminalFlags cookedFlags() {
  return TerminalFlags{ICRNL | IXON, OPOST | ONLCR, CS7 | CREAD | B9600,
                       ISIG | ICANON | ECHO | ECHOE | IEXTEN, 0, 0, 9600, 9600};
}

TerminalFlags mapped(const LineSettings& s) {
  TerminalFlags f = cookedFlags();
  applyLineSettings(s, f);
  return f;
}

TEST(LineSettingsTest, DefaultsGiveRaw8N1WithReceiverOnAndModemStatusIgnored) {
  TerminalFlags f = mapped(LineSettings{});
  EXPECT_EQ(f.cflag & CSIZE, static_cast<unsigned>(CS8));
  EXPECT_EQ(f.cflag & (PARENB | PARODD | CSTOPB | CRTSCTS), 0u);
  EXPECT_EQ(f.cflag & (CREAD | HUPCL | CLOCAL), static_cast<unsigned>(CREAD | HUPCL | CLOCAL));
  EXPECT_EQ(f.lflag & (ICANON | ISIG | ECHO | IEXTEN), 0u);
  EXPECT_EQ(f.iflag & (ICRNL | IXON), 0u);
  EXPECT_EQ(f.oflag & OPOST, 0u);
  EXPECT_EQ(f.vmin, 1);
  EXPECT_EQ(f.vtime, 2);
  EXPECT_EQ(f.cflag & CBAUD, static_cast<unsigned>(B19200));
}

TEST(LineSettingsTest, ParityStopBitsEchoAndFlowControlMapToTheirBits) {
  struct Case {
    const char* what;
    LineSettings settings;
    unsigned cflagSet, cflagClear, lflagSet;
  };
  LineSettings odd, even, twoStops, manyStops, zeroStops, echo, rtscts;
  odd.parity = kParityOdd;
  even.parity = kParityEven;
  twoStops.numberOfStopBits = 2;
  manyStops.numberOfStopBits = 7;
  zeroStops.numberOfStopBits = 0;
  echo.shouldEchoReceivedData = true;
  rtscts.usesRTSCTSFlowControl = true;
  const Case cases[] = {
      {"odd", odd, PARENB | PARODD, 0, 0},
      {"even", even, PARENB, PARODD, 0},
      {"two stop bits", twoStops, CSTOPB, 0, 0},
      {"seven stop bits", manyStops, CSTOPB, 0, 0},
      {"zero stop bits", zeroStops, 0, CSTOPB, 0},
      {"echo", echo, 0, 0, ECHO},
      {"RTS/CTS", rtscts, CRTSCTS, 0, 0},
  };
  for (const Case& c : cases) {
    TerminalFlags f = mapped(c.settings);
    EXPECT_EQ(f.cflag & c.cflagSet, c.cflagSet) << c.what;
    EXPECT_EQ(f.cflag & c.cflagClear, 0u) << c.what;
    EXPECT_EQ(f.lflag & c.lflagSet, c.lflagSet) << c.what;
    EXPECT_EQ(f.cflag & CSIZE, static_cast<unsigned>(CS8)) << c.what;
  }
}

TEST(LineSettingsTest, DataBitsMarkSpaceAndSoftwareFlowControlMapToTheirBits) {
  struct Case {
    const char* what;
    std::uint64_t dataBits, parity;
    bool xonxoff, any;
    unsigned size, cflagSet, cflagClear, iflagSet, iflagClear;
  };
  const Case cases[] = {
      {"5 data bits", 5, kParityNone, false, false, CS5, 0, PARENB | CMSPAR, 0, IXON | IXOFF},
      {"6 data bits", 6, kParityNone, false, false, CS6, 0, PARENB, 0, 0},
      {"7 data bits", 7, kParityEven, false, false, CS7, PARENB, PARODD | CMSPAR, 0, 0},
      {"mark", 8, kParityMark, false, false, CS8, PARENB | CMSPAR | PARODD, 0, 0, 0},
      {"space", 8, kParitySpace, false, false, CS8, PARENB | CMSPAR, PARODD, 0, 0},
      {"XON/XOFF", 8, kParityNone, true, false, CS8, 0, 0, IXON | IXOFF, IXANY},
      {"XON/XOFF, any", 8, kParityNone, true, true, CS8, 0, 0, IXON | IXOFF | IXANY, 0},
      {"any alone does nothing", 8, kParityNone, false, true, CS8, 0, 0, 0, IXON | IXOFF | IXANY},
  };
  for (const Case& c : cases) {
    LineSettings s;
    s.numberOfDataBits = c.dataBits;
    s.parity = c.parity;
    s.usesXONXOFFFlowControl = c.xonxoff;
    s.resumesOutputOnAnyCharacter = c.any;
    s.usesRTSCTSFlowControl = c.xonxoff;  // the two combine
    TerminalFlags f = mapped(s);
    EXPECT_EQ(f.cflag & CSIZE, c.size) << c.what;
    EXPECT_EQ(f.cflag & c.cflagSet, c.cflagSet) << c.what;
    EXPECT_EQ(f.cflag & c.cflagClear, 0u) << c.what;
    EXPECT_EQ(f.iflag & c.iflagSet, c.iflagSet) << c.what;
    EXPECT_EQ(f.iflag & c.iflagClear, 0u) << c.what;
    EXPECT_EQ(bool(f.cflag & CRTSCTS), c.xonxoff) << c.what;
    if (c.xonxoff) {
      EXPECT_EQ(f.vstart, 0x11) << c.what;
      EXPECT_EQ(f.vstop, 0x13) << c.what;
    }
  }
}

// Regression: CMSPAR left on the device by another program turned odd
// parity into mark and even into space.
TEST(LineSettingsTest, OddEvenAndNoneClearAMarkOrSpaceLeftBehind) {
  for (const std::uint64_t parity : {kParityNone, kParityOdd, kParityEven}) {
    TerminalFlags f = cookedFlags();
    f.cflag |= PARENB | CMSPAR;
    LineSettings s;
    s.parity = parity;
    applyLineSettings(s, f);
    EXPECT_EQ(f.cflag & CMSPAR, 0u) << parity;
  }
}

TEST(LineSettingsTest, SettingsAreUndoneWhenSwitchedOff) {
  LineSettings on;
  on.parity = kParityOdd;
  on.numberOfStopBits = 2;
  on.shouldEchoReceivedData = true;
  on.usesRTSCTSFlowControl = true;
  TerminalFlags f = mapped(on);
  applyLineSettings(LineSettings{}, f);
  EXPECT_EQ(f.cflag & (PARENB | PARODD | CSTOPB | CRTSCTS), 0u);
  EXPECT_EQ(f.lflag & ECHO, 0u);
}

TEST(LineSettingsTest, RatesStandardByCodeOthersAsCustomWithBothSpeeds) {
  LineSettings s;
  s.baudRate = 115200;
  EXPECT_EQ(mapped(s).cflag & CBAUD, static_cast<unsigned>(B115200));
  s.baudRate = 42105;
  TerminalFlags f = mapped(s);
  // The kernel's "other rate" code is CBAUDEX with no rate bits.
  EXPECT_EQ(f.cflag & CBAUD, static_cast<unsigned>(CBAUDEX));
  EXPECT_EQ(f.cflag & CIBAUD, 0u);
  EXPECT_EQ(f.ispeed, 42105u);
  EXPECT_EQ(f.ospeed, 42105u);
  EXPECT_TRUE(isStandardBaudRate(9600));
  EXPECT_FALSE(isStandardBaudRate(42105));
  EXPECT_FALSE(isStandardBaudRate(0));
}

// On a pseudo-terminal, opened by the test.
class LineSettingsPtyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(pty_.valid());
    slave_.reset(::open(pty_.slavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
    ASSERT_TRUE(slave_.valid());
  }
  PtyPair pty_;
  UniqueFd slave_;
};

TEST_F(LineSettingsPtyTest, NonStandardRateWithEvenParityReachesTheDevice) {
  LineSettings s;
  s.baudRate = 42105;
  s.allowsNonStandardBaudRates = true;
  s.parity = kParityEven;
  ASSERT_FALSE(applyLineSettings(slave_.get(), s));
  EXPECT_EQ(readBaudRate(slave_.get()), 42105u);
  termios t{};
  ASSERT_EQ(::tcgetattr(slave_.get(), &t), 0);
  EXPECT_EQ(t.c_lflag & (ICANON | ECHO), 0u);
}

TEST_F(LineSettingsPtyTest, NonStandardRateNotAllowedIsRefusedAndChangesNothing) {
  LineSettings s;
  s.baudRate = 42105;
  EXPECT_EQ(applyLineSettings(slave_.get(), s), std::errc::invalid_argument);
  const auto before = readBaudRate(slave_.get());
  ASSERT_TRUE(before);
  EXPECT_NE(*before, 42105u);
  termios t{};
  ASSERT_EQ(::tcgetattr(slave_.get(), &t), 0);
  EXPECT_NE(t.c_lflag & ICANON, 0u) << "the device was touched";
}

TEST_F(LineSettingsPtyTest, UnsupportedSettingsAreReportedButTheRestApplies) {
  for (int which = 0; which < 3; ++which) {
    LineSettings s;
    s.baudRate = 57600;
    s.shouldEchoReceivedData = true;
    if (which == 2) {
      s.numberOfStopBits = kOneAndAHalfStopBits;
    } else {
      (which == 0 ? s.usesDTRDSRFlowControl : s.usesDCDOutputFlowControl) = true;
    }
    EXPECT_EQ(applyLineSettings(slave_.get(), s), std::errc::not_supported);
    EXPECT_EQ(readBaudRate(slave_.get()), 57600u);
    termios t{};
    ASSERT_EQ(::tcgetattr(slave_.get(), &t), 0);
    EXPECT_NE(t.c_lflag & ECHO, 0u);
  }
}

// A pseudo-terminal keeps the input modes, so software flow control and its
// removal at close can be read back.
TEST_F(LineSettingsPtyTest, SoftwareFlowControlReachesTheDeviceAndCloseClearsIt) {
  LineSettings s;
  s.usesXONXOFFFlowControl = true;
  s.resumesOutputOnAnyCharacter = true;
  s.usesRTSCTSFlowControl = true;
  ASSERT_FALSE(applyLineSettings(slave_.get(), s));
  termios t{};
  ASSERT_EQ(::tcgetattr(slave_.get(), &t), 0);
  EXPECT_EQ(t.c_iflag & (IXON | IXOFF | IXANY), static_cast<unsigned>(IXON | IXOFF | IXANY));
  EXPECT_EQ(t.c_cc[VSTART], 0x11);
  EXPECT_EQ(t.c_cc[VSTOP], 0x13);
  ASSERT_FALSE(clearFlowControl(slave_.get()));
  ASSERT_EQ(::tcgetattr(slave_.get(), &t), 0);
  EXPECT_EQ(t.c_iflag & (IXON | IXOFF | IXANY), 0u);
  EXPECT_EQ(t.c_cflag & CRTSCTS, 0u);
}

TEST_F(LineSettingsPtyTest, SavedAttributesComeBackAtRestore) {
  SavedAttributes saved;
  EXPECT_FALSE(saved.isSaved());
  ASSERT_TRUE(saved.save(slave_.get()));
  const auto original = readBaudRate(slave_.get());
  LineSettings s;
  s.baudRate = 42105;
  s.allowsNonStandardBaudRates = true;
  ASSERT_FALSE(applyLineSettings(slave_.get(), s));
  SavedAttributes copy = saved;
  EXPECT_FALSE(copy.restore(slave_.get(), /*drain=*/true));
  EXPECT_EQ(readBaudRate(slave_.get()), original);
  termios t{};
  ASSERT_EQ(::tcgetattr(slave_.get(), &t), 0);
  EXPECT_NE(t.c_lflag & ICANON, 0u);
}

TEST(LineSettingsTest, ClosedDescriptorGivesErrors) {
  EXPECT_EQ(applyLineSettings(-1, LineSettings{}), std::errc::bad_file_descriptor);
  EXPECT_FALSE(readBaudRate(-1));
  SavedAttributes saved;
  EXPECT_FALSE(saved.save(-1));
  EXPECT_EQ(clearFlowControl(-1), std::errc::bad_file_descriptor);
}

}  // namespace
}  // namespace valmor::test
