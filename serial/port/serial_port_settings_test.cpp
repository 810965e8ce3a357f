// Line settings and modem lines of SerialPort. What a pseudo-terminal keeps
// (rate, stop bits, echo, CRTSCTS) is read back from the device; what it
// cannot show (parity, modem lines, failing ioctls) goes through
// FakeDeviceIo.
#include "valmor/serial/serial_port.h"

#include <termios.h>

#include <thread>

#include "serial/testing/fake_device_io.h"
#include "serial/testing/serial_port_fixture.h"
#include "serial/lines/terminal_attributes.h"

namespace valmor::test {
namespace {

termios slaveAttributes(const SerialPort& port) {
  termios t{};
  EXPECT_EQ(::tcgetattr(port.fileDescriptor(), &t), 0);
  return t;
}

// The parameter serves the DeviceGoneFromPoll cases: the errno of the poll.
class SerialPortSettingsTest : public SerialPortTest, public ::testing::WithParamInterface<int> {
 protected:
  void SetUp() override {
    SerialPortTest::SetUp();
    setDeviceIoForTesting(io_);
    port_ = makePort(pty_);
  }

  std::shared_ptr<FakeDeviceIo> io_ = std::make_shared<FakeDeviceIo>();
  PtyPair pty_;
  std::shared_ptr<SerialPort> port_;
  std::shared_ptr<RecordingDelegate> delegate_ = std::make_shared<RecordingDelegate>();
};

TEST_F(SerialPortSettingsTest, UnitSettingsHoldTogetherOnTheDevice) {
  port_->setBaudRate(42105);
  port_->setAllowsNonStandardBaudRates(true);
  port_->setParity(kParityEven);
  openPort(*port_, delegate_);
  pumpFor(20ms);  // nothing comes
  EXPECT_EQ(delegate_->count("error"), 0);
  EXPECT_EQ(readBaudRate(port_->fileDescriptor()), 42105u);
  ASSERT_EQ(io_->applied().size(), 1u);
  EXPECT_EQ(io_->applied()[0].parity, kParityEven);
  EXPECT_EQ(io_->applied()[0].baudRate, 42105u);
}

TEST_F(SerialPortSettingsTest, NonStandardRateNotAllowedIsReportedAndChangesNothing) {
  openPort(*port_, delegate_);
  const auto before = readBaudRate(port_->fileDescriptor());
  port_->setBaudRate(42105);
  ASSERT_TRUE(pump([&] { return delegate_->count("error") == 1; }));
  EXPECT_EQ(delegate_->errors()[0].code, std::errc::invalid_argument);
  EXPECT_EQ(readBaudRate(port_->fileDescriptor()), before);
  EXPECT_EQ(port_->baudRate(), 42105u);
  EXPECT_TRUE(port_->isOpen());
}

TEST_F(SerialPortSettingsTest, SettingsMadeWhileClosedAreAllAppliedAtOpen) {
  port_->setBaudRate(57600);
  port_->setNumberOfStopBits(2);
  port_->setParity(kParityOdd);
  port_->setShouldEchoReceivedData(true);
  port_->setRTS(true);
  port_->setDTR(true);
  EXPECT_TRUE(io_->applied().empty());
  EXPECT_TRUE(io_->setWords().empty());

  openPort(*port_, delegate_);
  ASSERT_EQ(io_->applied().size(), 1u);
  const LineSettings s = io_->applied()[0];
  EXPECT_EQ(s.baudRate, 57600u);
  EXPECT_EQ(s.numberOfStopBits, 2u);
  EXPECT_EQ(s.parity, kParityOdd);
  EXPECT_TRUE(s.shouldEchoReceivedData);
  ASSERT_EQ(io_->setWords().size(), 1u);
  EXPECT_EQ(io_->setWords()[0] & (TIOCM_RTS | TIOCM_DTR), TIOCM_RTS | TIOCM_DTR);

  const termios t = slaveAttributes(*port_);
  EXPECT_EQ(::cfgetospeed(&t), B57600);
  EXPECT_TRUE(t.c_cflag & CSTOPB);
  EXPECT_TRUE(t.c_lflag & ECHO);
  EXPECT_FALSE(t.c_lflag & (ICANON | ISIG));
}

TEST_F(SerialPortSettingsTest, ValuesAreStoredAsDefinedAndAnnouncedOnlyOnChange) {
  int parityChanges = 0;
  port_->addObserver("parity", [&](const PropertyChange&) { ++parityChanges; });
  port_->setParity(7);
  EXPECT_EQ(port_->parity(), kParityNone);
  EXPECT_EQ(parityChanges, 0);  // none already
  port_->setParity(kParityEven);
  port_->setParity(kParityEven);
  EXPECT_EQ(parityChanges, 1);

  openPort(*port_, delegate_);
  struct Case {
    std::uint64_t stopBits;
    bool twoStopBits;
  };
  for (const Case c : {Case{2, true}, Case{0, false}, Case{3, true}, Case{1, false}}) {
    port_->setNumberOfStopBits(c.stopBits);
    EXPECT_EQ(bool(slaveAttributes(*port_).c_cflag & CSTOPB), c.twoStopBits) << c.stopBits;
  }
  EXPECT_EQ(io_->applied().back().parity, kParityEven);
}

TEST_F(SerialPortSettingsTest, EchoSendsReceivedBytesBack) {
  port_->setShouldEchoReceivedData(true);
  openPort(*port_, delegate_);
  ASSERT_TRUE(pty_.write("abc"));
  EXPECT_EQ(pty_.read(3), "abc");
  ASSERT_TRUE(pump([&] { return delegate_->received() == "abc"; }));
  port_->setShouldEchoReceivedData(false);
  ASSERT_TRUE(pty_.write("xyz"));
  ASSERT_TRUE(pump([&] { return delegate_->received() == "abcxyz"; }));
  EXPECT_EQ(pty_.read(1, 100ms), "");
}

TEST_F(SerialPortSettingsTest, FlowControlChangeOnOpenPortClosesAndReopens) {
  port_->setUsesRTSCTSFlowControl(true);  // closed: stored only
  pumpFor(20ms);  // nothing comes
  EXPECT_TRUE(delegate_->events().empty());
  port_->setUsesRTSCTSFlowControl(false);

  openPort(*port_, delegate_);
  port_->setUsesRTSCTSFlowControl(true);
  ASSERT_TRUE(pump([&] { return delegate_->count("opened") == 2; }));
  EXPECT_EQ(delegate_->kinds(), (std::vector<std::string>{"opened", "closed", "opened"}));
  ASSERT_TRUE(port_->isOpen());
  EXPECT_TRUE(slaveAttributes(*port_).c_cflag & CRTSCTS);

  port_->setUsesRTSCTSFlowControl(false);
  ASSERT_TRUE(pump([&] { return delegate_->count("opened") == 3; }));
  EXPECT_FALSE(slaveAttributes(*port_).c_cflag & CRTSCTS);
  // Data still flows after the reopen.
  ASSERT_TRUE(pty_.write("ok"));
  ASSERT_TRUE(pump([&] { return delegate_->received() == "ok"; }));
}

TEST_F(SerialPortSettingsTest, DTRDSRFlowControlIsReportedUnsupported) {
  openPort(*port_, delegate_);
  port_->setBaudRate(9600);
  port_->setUsesDTRDSRFlowControl(true);
  ASSERT_TRUE(pump([&] { return delegate_->count("opened") == 2; }));
  EXPECT_EQ(delegate_->kinds(), (std::vector<std::string>{"opened", "closed", "error", "opened"}));
  EXPECT_EQ(delegate_->errors()[0].code, std::errc::not_supported);
  const termios t = slaveAttributes(*port_);
  EXPECT_EQ(::cfgetospeed(&t), B9600);  // the rest applied
}

TEST_F(SerialPortSettingsTest, OutputLinesReachTheModemWord) {
  openPort(*port_, delegate_);
  EXPECT_EQ(io_->modemBits & (TIOCM_RTS | TIOCM_DTR), 0);
  port_->setRTS(true);
  EXPECT_EQ(io_->modemBits & (TIOCM_RTS | TIOCM_DTR), TIOCM_RTS);
  port_->setDTR(true);
  port_->setRTS(false);
  EXPECT_EQ(io_->modemBits & (TIOCM_RTS | TIOCM_DTR), TIOCM_DTR);
  EXPECT_TRUE(port_->DTR());
  EXPECT_EQ(delegate_->count("error"), 0);
}

TEST_F(SerialPortSettingsTest, InputLineChangeIsPublishedOnceOnTheMainThread) {
  struct Seen {
    int count = 0;
    bool offMain = false;
  };
  std::map<std::string, Seen> seen;
  for (const char* line : {"CTS", "DSR", "DCD"}) {
    port_->addObserver(line, [&seen, line](const PropertyChange&) {
      seen[line].count++;
      seen[line].offMain |= !mainQueue().isCurrent();
    });
  }
  openPort(*port_, delegate_);
  pumpFor(50ms);  // nothing comes
  EXPECT_TRUE(seen.empty());  // lines that do not change are never published

  io_->modemBits |= TIOCM_CTS;
  ASSERT_TRUE(pump([&] { return port_->CTS(); }, 1s));
  io_->modemBits |= TIOCM_CAR | TIOCM_DSR;
  ASSERT_TRUE(pump([&] { return port_->DCD() && port_->DSR(); }, 1s));
  pumpFor(100ms);  // nothing more comes
  for (const char* line : {"CTS", "DSR", "DCD"}) {
    EXPECT_EQ(seen[line].count, 1) << line;
    EXPECT_FALSE(seen[line].offMain) << line;
  }
  port_->close();
  ASSERT_TRUE(pump([&] { return !port_->isOpen(); }));
  EXPECT_TRUE(port_->CTS());  // kept after the close
}

TEST_P(SerialPortSettingsTest, GivesErrorRemovalAndCloseOnceInOrder) {
  openPort(*port_, delegate_);
  io_->getModemError = GetParam();
  ASSERT_TRUE(pump([&] { return delegate_->count("closed") == 1; }));
  pumpFor(100ms);  // nothing more comes
  EXPECT_EQ(delegate_->kinds(), (std::vector<std::string>{"opened", "error", "removed", "closed"}));
  EXPECT_EQ(delegate_->errors()[0].code.value(), GetParam());
  EXPECT_FALSE(port_->isOpen());
  EXPECT_TRUE(delegate_->allOnMainThread());
}

INSTANTIATE_TEST_SUITE_P(DeviceGoneFromPoll, SerialPortSettingsTest, ::testing::Values(EIO, ENXIO, ENODEV));

TEST_F(SerialPortSettingsTest, PersistentPollFailureIsReportedOnceAndPollingGoesOn) {
  openPort(*port_, delegate_);
  io_->getModemError = EPERM;
  // Reported at the first failed poll; polls go on failing a while.
  ASSERT_TRUE(pump([&] { return delegate_->count("error") == 1; }));
  const int polls = io_->getModemCalls;
  ASSERT_TRUE(pump([&] { return io_->getModemCalls >= polls + 3; }));
  io_->getModemError = 0;
  io_->modemBits |= TIOCM_CTS;
  ASSERT_TRUE(pump([&] { return port_->CTS(); }, 1s));
  EXPECT_EQ(delegate_->kinds(), (std::vector<std::string>{"opened", "error"}));
  EXPECT_TRUE(port_->isOpen());
}

TEST_F(SerialPortSettingsTest, PseudoTerminalWithoutModemLinesIsNotAnError) {
  setDeviceIoForTesting(nullptr);  // the real ioctls: a pty has no modem lines
  port_->setRTS(true);
  openPort(*port_, delegate_);
  port_->setDTR(true);
  pumpFor(50ms);  // nothing comes
  EXPECT_EQ(delegate_->count("error"), 0);
  EXPECT_TRUE(port_->RTS());
  EXPECT_TRUE(port_->DTR());
}

// close() on Linux releases the descriptor even when it reports an error:
// the error is reported and the port counts as closed.
TEST_F(SerialPortSettingsTest, FailingCloseIsReportedAndThePortIsClosed) {
  openPort(*port_, delegate_);
  io_->closeError = EIO;
  port_->close();
  ASSERT_TRUE(pump([&] { return delegate_->count("closed") == 1; }));
  EXPECT_FALSE(port_->isOpen());
  EXPECT_EQ(delegate_->kinds(), (std::vector<std::string>{"opened", "error", "closed"}));
  EXPECT_EQ(delegate_->errors()[0].code, std::errc::io_error);
  io_->closeError = 0;
  port_->open();  // and it can be opened again
  ASSERT_TRUE(pump([&] { return delegate_->count("opened") == 2; }));
}

}  // namespace
}  // namespace valmor::test
