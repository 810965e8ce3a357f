#include "link/serial_port_handler.h"

#include <sys/file.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "link/testing/handler_fixture.h"
#include "link/upload_protocol.h"
#include "platform/testing/wait.h"
#include "profile/repository.h"
#include "serial/lines/terminal_attributes.h"

namespace valmor::test {
namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

std::span<const std::uint8_t> bytes(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

class SerialPortHandlerTest : public HandlerFixture {
 protected:
  // Hands a chunk to the handler exactly as the port delivers one, so that
  // chunk boundaries are the test's and not the scheduler's.
  void receive(std::string_view chunk) {
    handler_->serialPortDidReceiveData(*handler_->serialPort(), bytes(chunk));
  }
};

TEST_F(SerialPortHandlerTest, OpenGreetsTheUnitWithOneLineFeedBeforeAnythingElse) {
  openAndGreet();
  pumpFor(100ms);  // nothing more is written
  EXPECT_EQ(device_->received(), "\n");
  EXPECT_THAT(logText(), StartsWith("Serial port usbserial-TEST was opened\n"
                                    "Writing data: \n\n"));
  // The unit's rate reached the device (a pseudo-terminal keeps a custom
  // rate, though it forces 8N1, so parity cannot be read back here).
  EXPECT_EQ(readBaudRate(device_->masterFd()), kUnitBaudRate);
  EXPECT_EQ(handler_->serialPort()->parity(), kParityEven);
  EXPECT_TRUE(handler_->serialPort()->allowsNonStandardBaudRates());
}

TEST_F(SerialPortHandlerTest, ReceivedTextIsHandedOnOnceItHolds25Characters) {
  openAndGreet();
  receive("0123456789");
  receive("0123456789");
  receive("0123");
  EXPECT_TRUE(delivered_.empty());
  EXPECT_EQ(handler_->line().size(), 24u);
  receive("X");
  EXPECT_THAT(delivered_, ElementsAre("01234567890123456789" "0123" "X"));
  EXPECT_EQ(handler_->line(), "");

  // Not cut at 25: everything gathered goes on whole.
  const std::string forty(40, 'a');
  receive(forty);
  ASSERT_EQ(delivered_.size(), 2u);
  EXPECT_EQ(delivered_[1], forty);

  // CR LF is one character: 13 pairs are 13 characters, still too few.
  std::string pairs;
  for (int i = 0; i < 13; ++i) pairs += "\r\n";
  receive(pairs);
  EXPECT_EQ(delivered_.size(), 2u);
  EXPECT_EQ(handler_->line(), pairs);
  EXPECT_THAT(logText(), HasSubstr("Data received:0123\n"));
  EXPECT_THAT(logText(), HasSubstr("Data received:" + forty + "\n"));
}

// A multi-byte character split between two chunks used to make both chunks
// invalid UTF-8, and they were lost.
TEST_F(SerialPortHandlerTest, CharacterSplitBetweenChunksArrivesWhole) {
  openAndGreet();
  clearLog();
  receive("caf\xC3");
  EXPECT_EQ(logText(), "Data received:caf\n");
  receive("\xA9 stored, ready for use!");
  ASSERT_EQ(delivered_.size(), 1u);
  EXPECT_EQ(delivered_[0], "caf\xC3\xA9 stored, ready for use!");
  EXPECT_THAT(logText(), HasSubstr("Data received:\xC3\xA9 stored"));
}

TEST_F(SerialPortHandlerTest, InvalidChunkIsDroppedWithoutALogLine) {
  openAndGreet();
  receive("abc");
  clearLog();
  receive("bad\xFF" "chunk");
  EXPECT_EQ(logText(), "");
  EXPECT_EQ(handler_->line(), "abc");
  receive("def");
  EXPECT_EQ(handler_->line(), "abcdef");
}

TEST_F(SerialPortHandlerTest, TextFromTheDeviceReachesOnDataReceived) {
  openAndGreet();
  const std::string answer = "VALMOR: profile stored, 25+ chars\r\n";
  ASSERT_TRUE(device_->write(answer));
  ASSERT_TRUE(pump([&] { return !delivered_.empty(); })) << logText();
  std::string all;
  for (const auto& piece : delivered_) all += piece;
  pump([&] { return all.size() + handler_->line().size() >= answer.size(); }, 500ms);
  EXPECT_EQ(all + handler_->line(), answer);
}

TEST_F(SerialPortHandlerTest, SendStringWritesExactlyTheUtf8BytesAndLogsThem) {
  openAndGreet();
  device_->clearReceived();
  clearLog();
  EXPECT_TRUE(sendString(*handler_->serialPort(), "\xC3\xA9t\xC3\xA9", handler_->log()));
  ASSERT_TRUE(device_->waitForBytes(5, 3s));
  pumpFor(50ms);  // nothing more is written
  EXPECT_EQ(device_->received(), "\xC3\xA9t\xC3\xA9");
  EXPECT_EQ(logText(), "Writing data: \xC3\xA9t\xC3\xA9\n");
}

TEST_F(SerialPortHandlerTest, CloseIsLoggedAndReported) {
  openAndGreet();
  handler_->serialPort()->close();
  ASSERT_TRUE(pump([&] { return closed_ > 0; }));
  EXPECT_THAT(logText(), HasSubstr("Serial port usbserial-TEST was closed\n"));
  EXPECT_TRUE(handler_->serialPort());  // the handler keeps the closed port
}

TEST_F(SerialPortHandlerTest, PulledOutDeviceLeavesNoPortAndDownloadFails) {
  int removed = 0;
  handler_->onRemoved = [&] {
    EXPECT_FALSE(handler_->serialPort());
    ++removed;
  };
  openAndGreet();
  device_->pullOut();
  ASSERT_TRUE(pump([&] { return !handler_->serialPort(); })) << logText();
  EXPECT_THAT(logText(), HasSubstr("Serial port usbserial-TEST was removed"));
  EXPECT_EQ(removed, 1);

  std::vector<std::string> statuses;
  EXPECT_FALSE(download(*handler_, Repository(), "RED64",
                        [&](const std::string& s) { statuses.push_back(s); }));
  EXPECT_THAT(statuses, ElementsAre("Loading", "Upload failed"));
}

TEST_F(SerialPortHandlerTest, PathUnknownToTheRegistryLeavesNoPort) {
  openAndGreet();
  const std::string missing = dir_ / "cu.usbserial-GONE";
  handler_->openPort(missing);
  EXPECT_FALSE(handler_->serialPort());
  EXPECT_THAT(logText(), HasSubstr("Serial port " + missing + " was not found\n"));
}

TEST_F(SerialPortHandlerTest, UnitHeldByAnotherProcessIsReportedAndStaysClosed) {
  UniqueFd other(::open(device_->slavePath().c_str(), O_RDWR | O_NOCTTY));
  ASSERT_TRUE(other);
  ASSERT_EQ(::flock(other.get(), LOCK_EX | LOCK_NB), 0);

  handler_->openPort(device_->path());
  ASSERT_TRUE(pump([&] { return !errors_.empty(); })) << logText();
  EXPECT_EQ(errors_[0].value(), EWOULDBLOCK);
  EXPECT_THAT(logText(), HasSubstr("Serial port (usbserial-TEST) encountered error: "));
  ASSERT_TRUE(handler_->serialPort());
  EXPECT_FALSE(handler_->serialPort()->isOpen());
  EXPECT_EQ(opened_, 0);
  EXPECT_THAT(logText(), Not(HasSubstr("Writing data")));
  ASSERT_EQ(openFailures_.size(), 1u);
  EXPECT_EQ(openFailures_[0].value(), EWOULDBLOCK);

  // Once the other process lets go, opening the same path again succeeds.
  other.reset();
  handler_->openPort(device_->path());
  ASSERT_TRUE(pump([&] { return opened_ == 1; })) << logText();
  EXPECT_TRUE(device_->waitForBytes(1, 3s));
  EXPECT_EQ(openFailures_.size(), 1u);
}

TEST_F(SerialPortHandlerTest, PortLetGoIsClosedAndItsRemovalIsNoLongerReported) {
  int removed = 0;
  handler_->onRemoved = [&] { ++removed; };
  openAndGreet();
  const std::weak_ptr<SerialPort> port = handler_->serialPort();
  handler_->closePort();
  EXPECT_FALSE(handler_->serialPort());
  ASSERT_TRUE(pump([&] { return closed_ == 1; })) << logText();
  EXPECT_THAT(logText(), HasSubstr("Serial port usbserial-TEST was closed\n"));
  EXPECT_TRUE(pump([&] { return port.expired(); })) << "the port let go is still alive";
  device_->pullOut();
  pumpFor(100ms);  // nothing comes
  EXPECT_EQ(removed, 0);
  EXPECT_TRUE(openFailures_.empty());
}

// The close of a port whose device went used to hold its delegate while it
// waited for the main thread, so a handler let go by its owner (a window
// closed meanwhile) still heard of it, and wrote to a log that was gone.
TEST_F(SerialPortHandlerTest, HandlerLetGoByItsOwnerHearsNothingMore) {
  openAndGreet();
  const std::shared_ptr<SerialPort> port = handler_->serialPort();
  device_->pullOut();
  ASSERT_TRUE(pump([&] { return !handler_->serialPort(); })) << logText();
  // The close goes on on the pool, and its report waits on the main queue,
  // which runs only below. A hold of that report on the handler shows in
  // its use count.
  ASSERT_TRUE(waitUntil([&] { return !port->isOpen() && queue_->queuedTaskCount() > 0; }))
      << "the close was not reported";
  const std::weak_ptr<SerialPortHandler> handler = handler_;
  handler_.reset();
  EXPECT_TRUE(handler.expired());
  queue_->runPending();
  EXPECT_EQ(closed_, 0);
}

}  // namespace
}  // namespace valmor::test
