#include "link/upload_protocol.h"

#include <sys/file.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "link/testing/handler_fixture.h"
#include "profile/repository.h"

namespace valmor::test {
namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

// A repository whose image build fails, as for a faulty model row.
class NoImageRepository : public RepositoryProtocol {
 public:
  std::optional<ProfileImage> profileImage(std::string_view) const override { return std::nullopt; }
  std::optional<std::string> titleLine(std::string_view name) const override {
    return Repository().titleLine(name);
  }
};

class UploadProtocolTest : public HandlerFixture {
 protected:
  bool runDownload(std::optional<std::string_view> model,
                   const RepositoryProtocol& repository = Repository()) {
    return download(*handler_, repository, model,
                    [this](const std::string& s) { statuses_.push_back(s); });
  }
  // Nothing reached the device within a short while.
  void expectNothingWritten() {
    EXPECT_FALSE(device_->waitForBytes(1, 100ms)) << device_->received();
  }

  std::vector<std::string> statuses_;
};

TEST_F(UploadProtocolTest, DownloadWritesThe359BytesInOrderInFiveWrites) {
  openAndGreet();
  device_->clearReceived();
  clearLog();

  EXPECT_TRUE(runDownload("RED64"));
  const std::string title = "o-VALMOR - RED64" + std::string(19, ' ');
  const ProfileImage image = *Repository().profileImage("RED64");
  const std::string expected =
      "2\n" + title + "\n" + std::string(image.begin(), image.end()) + "\n";
  ASSERT_EQ(expected.size(), 359u);
  ASSERT_TRUE(device_->waitForBytes(359, 3s));
  pumpFor(50ms);  // nothing more is written
  EXPECT_EQ(device_->received(), expected);

  // Five write lines, the image not among them.
  EXPECT_EQ(logText(),
            "Writing data: 2\n"
            "Writing data: \n\n"
            "Writing data: " + title + "\n"
            "Writing data: \n\n"
            "Writing data: \n\n");
  EXPECT_THAT(statuses_, ElementsAre("Loading"));
}

// The pauses the unit needs after the command and after the title line.
class UploadProtocolTimingTest : public UploadProtocolTest {};

TEST_F(UploadProtocolTimingTest, DownloadPausesAfterTheCommandAndAfterTheTitleLine) {
  openAndGreet();
  device_->clearReceived();
  clearLog();
  EXPECT_TRUE(runDownload("RED64"));
  ASSERT_TRUE(device_->waitForBytes(359, 3s));

  // Each pause is measured from the moment its line feed was about to be
  // written (its log line, printed just before the write, on this thread's
  // clock) to the arrival on the unit's side of the byte that follows it.
  // Arrival is taken when the reader's read returns: a late reader only
  // makes that later, so both bounds hold whatever the scheduler does. (From
  // line-feed arrival to next arrival would shrink whenever the reader was
  // late for the line feed.)
  std::vector<PtyDevice::Clock::time_point> at;
  for (const auto& chunk : device_->chunks()) at.insert(at.end(), chunk.bytes.size(), chunk.at);
  ASSERT_EQ(at.size(), 359u);
  const auto& lines = logBuffer_.lines();
  ASSERT_GE(lines.size(), 5u);
  ASSERT_EQ(lines[1].text, "Writing data: ");  // the first line feed
  ASSERT_EQ(lines[4].text, "Writing data: ");  // the second line feed
  EXPECT_GE(at[2] - lines[1].start, 9000us);   // before the title line
  EXPECT_GE(at[38] - lines[4].start, 8700us);  // before the image
  EXPECT_LT(at[358] - at[0], 5s);
}

TEST_F(UploadProtocolTest, InitializeDiscardsEarlierTextThenWrites31And0A) {
  openAndGreet();
  device_->clearReceived();
  ASSERT_TRUE(device_->write("half an answer"));
  ASSERT_TRUE(pump([&] { return handler_->line() == "half an answer"; }));
  clearLog();

  EXPECT_TRUE(initialize(*handler_));
  EXPECT_EQ(handler_->line(), "");
  ASSERT_TRUE(device_->waitForBytes(2, 3s));
  pumpFor(50ms);  // nothing more is written
  EXPECT_EQ(device_->received(), "1\n");
  EXPECT_EQ(logText(), "Writing data: 1\nWriting data: \n\n");

  // The answer is counted from Initialize on.
  ASSERT_TRUE(device_->write("0123456789012345678901234"));
  ASSERT_TRUE(pump([&] { return !delivered_.empty(); }));
  EXPECT_EQ(delivered_[0], "0123456789012345678901234");
}

TEST_F(UploadProtocolTest, WithoutAPortNothingIsWritten) {
  EXPECT_FALSE(initialize(*handler_));
  EXPECT_FALSE(runDownload("RED64"));
  EXPECT_THAT(statuses_, ElementsAre("Loading", "Upload failed"));
  EXPECT_THAT(logText(), HasSubstr("Upload failed: no serial port\n"));
  EXPECT_THAT(logText(), ::testing::Not(HasSubstr("Writing data")));
  expectNothingWritten();
}

// A port whose open failed used to take the whole sequence: "Loading" stayed
// as if the upload were under way while every write failed.
TEST_F(UploadProtocolTest, PortThatFailedToOpenShowsUploadFailedAndWritesNothing) {
  UniqueFd other(::open(device_->slavePath().c_str(), O_RDWR | O_NOCTTY));
  ASSERT_TRUE(other);
  ASSERT_EQ(::flock(other.get(), LOCK_EX | LOCK_NB), 0);
  handler_->openPort(device_->path());
  ASSERT_TRUE(pump([&] { return !errors_.empty(); }));
  ASSERT_TRUE(handler_->serialPort());

  EXPECT_FALSE(runDownload("RED64"));
  EXPECT_THAT(statuses_, ElementsAre("Loading", "Upload failed"));
  EXPECT_FALSE(initialize(*handler_));
  EXPECT_THAT(logText(), ::testing::Not(HasSubstr("Writing data")));
  expectNothingWritten();
}

TEST_F(UploadProtocolTest, NoImageOrNoModelSendsNothing) {
  openAndGreet();
  device_->clearReceived();

  EXPECT_FALSE(runDownload("RED64", NoImageRepository()));
  EXPECT_THAT(statuses_, ElementsAre("Loading", "Upload failed"));
  statuses_.clear();
  EXPECT_FALSE(runDownload(std::nullopt));
  EXPECT_THAT(statuses_, ElementsAre("Loading", "Upload failed"));
  EXPECT_THAT(logText(), HasSubstr("Upload failed: no strobe model selected\n"));
  expectNothingWritten();
}

}  // namespace
}  // namespace valmor::test
