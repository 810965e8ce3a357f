#include "tools/sim/unit_protocol.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "profile/repository.h"
#include "tools/testing/download_stream.h"
#include "profile/strobe_models.h"

namespace valmor::test {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using Clock = UnitProtocol::Clock;

std::span<const std::uint8_t> bytes(const std::string& text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

struct UnitProtocolTest : ::testing::Test {
  std::vector<std::string> logLines;
  UnitProtocol protocol{[this](const std::string& line) { logLines.push_back(line); }};
  Clock::time_point now = Clock::now();

  std::vector<std::string> feed(const std::string& text) { return protocol.feed(bytes(text), now); }
};

TEST_F(UnitProtocolTest, GreetingIsSilentAndInitializeIsAnswered) {
  EXPECT_TRUE(feed("\n").empty());
  const auto answers = feed("1\n");
  ASSERT_THAT(answers, ElementsAre("VALMOR SIM: initialized, ready\r\n"));
  EXPECT_GE(answers[0].size(), 25u);
  EXPECT_EQ(protocol.initializeCount(), 1);
  EXPECT_THAT(feed("9\n"), ElementsAre(HasSubstr("unknown command \"9\"")));
}

TEST_F(UnitProtocolTest, EveryModelIsAcceptedWholeAndByteByByte) {
  for (std::string_view model : strobeModelNames()) {
    const std::string stream = downloadStream(model);
    ASSERT_EQ(stream.size(), 359u);
    const std::string ok = "VALMOR SIM: profile " + std::string(model) + " stored OK\r\n";
    EXPECT_THAT(feed(stream), ElementsAre(ok));

    // Images hold 0x0A bytes: they must be read by count, not up to a line feed.
    std::vector<std::string> answers;
    for (char c : stream) {
      for (auto& a : feed(std::string(1, c))) answers.push_back(a);
    }
    EXPECT_THAT(answers, ElementsAre(ok));
    EXPECT_EQ(protocol.lastStoredModel(), model);
  }
  EXPECT_EQ(protocol.acceptedCount(), 24);
  EXPECT_EQ(protocol.rejectedCount(), 0);
}

TEST_F(UnitProtocolTest, FaultyDownloadsAreRejectedWithTheReason) {
  struct Case {
    const char* what;
    std::string stream;
    const char* reason;
  };
  const std::string good = downloadStream("RED64");
  std::string shortTitle = good;
  shortTitle.erase(36, 1);  // one padding space less: 34 bytes
  shortTitle += '\n';       // so that the image still has 320 bytes
  std::string badPrefix = good;
  badPrefix[2] = 'O';
  std::string unknown = "2\n" + *Repository().titleLine("RED65") + "\n" + good.substr(38);
  std::string otherImage = good;
  otherImage[38 + 100] ^= 0x01;
  std::string wrongModel = "2\n" + *Repository().titleLine("ONEUW") + "\n" + good.substr(38);

  const std::vector<Case> cases = {
      {"title of 34 bytes", shortTitle, "title line is 34 bytes"},
      {"wrong prefix", badPrefix, "does not begin \"o-VALMOR - \""},
      {"unknown model", unknown, "unknown strobe model \"RED65\""},
      {"one bit flipped", otherImage, "first difference at byte 100"},
      {"image of another model", wrongModel, "not the profile of ONEUW"},
  };
  for (const Case& c : cases) {
    const auto answers = feed(c.stream);
    ASSERT_EQ(answers.size(), 1u) << c.what;
    EXPECT_THAT(answers[0], HasSubstr("VALMOR SIM: upload rejected: ")) << c.what;
    EXPECT_THAT(answers[0], HasSubstr(c.reason)) << c.what;
    EXPECT_THAT(logLines, Contains(HasSubstr(c.reason))) << c.what;
    // The exchange is over: the next command is understood.
    EXPECT_THAT(feed("1\n"), ElementsAre(HasSubstr("initialized"))) << c.what;
  }
  EXPECT_EQ(protocol.acceptedCount(), 0);
}

TEST_F(UnitProtocolTest, MissingFinalLineFeedSkipsTheRestUntilQuiet) {
  std::string stream = downloadStream("RED64");
  stream.back() = '1';
  EXPECT_THAT(feed(stream + "\n"), ElementsAre(HasSubstr("not followed by a line feed")));
  // Still within the skip: more stray bytes are not taken as commands.
  EXPECT_TRUE(feed("1\n").empty());
  ASSERT_TRUE(protocol.deadline().has_value());
  now = *protocol.deadline();
  EXPECT_TRUE(protocol.expire(now).empty());
  EXPECT_THAT(feed("1\n"), ElementsAre(HasSubstr("initialized")));
}

TEST_F(UnitProtocolTest, StalledUploadIsGivenUpAfterTheTimeOut) {
  const std::string stream = downloadStream("RED64");
  EXPECT_TRUE(feed(stream.substr(0, 38 + 100)).empty());
  EXPECT_TRUE(protocol.expire(now + UnitProtocol::kStallTimeout / 2).empty());
  const auto answers = protocol.expire(now + UnitProtocol::kStallTimeout);
  EXPECT_THAT(answers, ElementsAre(HasSubstr("image stopped after 100 of 320 bytes")));
  EXPECT_FALSE(protocol.deadline().has_value());
}

TEST(UnitProtocolTimingTest, StrictTimingRejectsPausesShortOfTheUnitsNeedsWithTheFigures) {
  using std::chrono::microseconds;
  struct Case {
    microseconds afterCommand, afterTitle;
    const char* answer;
  };
  const Case cases[] = {
      {microseconds(9000), microseconds(8700), "stored OK"},
      {microseconds(8999), microseconds(8700),
       "pauses too short: 8999 us after the command (needs 9000 us), 8700 us after the title line "
       "(needs 8700 us)"},
      {microseconds(9000), microseconds(8699), "8699 us after the title line"},
  };
  const std::string stream = downloadStream("RED64");
  for (const Case& c : cases) {
    UnitProtocol protocol({}, UnitProtocol::Timing::kStrict);
    const Clock::time_point start = Clock::now();
    EXPECT_TRUE(protocol.feed(bytes(stream.substr(0, 2)), start).empty());
    EXPECT_TRUE(protocol.feed(bytes(stream.substr(2, 36)), start + c.afterCommand).empty());
    EXPECT_THAT(protocol.feed(bytes(stream.substr(38)), start + c.afterCommand + c.afterTitle),
                ElementsAre(HasSubstr(c.answer)))
        << c.afterCommand.count() << " " << c.afterTitle.count();
  }
}

TEST_F(UnitProtocolTest, ResetAbandonsAPartialUploadSilently) {
  const std::string stream = downloadStream("RED64");
  feed(stream.substr(0, 20));
  protocol.reset();
  EXPECT_FALSE(protocol.deadline().has_value());
  EXPECT_THAT(feed(stream), ElementsAre(HasSubstr("stored OK")));
}

}  // namespace
}  // namespace valmor::test
