#include "tools/sim/simulated_unit.h"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <thread>

#include "platform/testing/temp_dir.h"
#include "platform/testing/wait.h"
#include "platform/unique_fd.h"
#include "profile/repository.h"
#include "tools/testing/download_stream.h"
#include "tools/testing/host_port.h"

namespace valmor::test {
namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;

class SimulatedUnitTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.path().empty());
    unit_ = std::make_unique<SimulatedUnit>(dir_.path(), log_);
  }
  void TearDown() override {
    if (runner_.joinable()) {
      unit_->requestStop();
      runner_.join();
    }
    unit_.reset();
  }
  void start() {
    std::string error;
    ASSERT_TRUE(unit_->plug(&error)) << error;
    runner_ = std::thread([this] { unit_->run(); });
  }
  UniqueFd openUnit() { return openHostPort(unit_->linkPath()); }

  TempDir dir_{"sim-test"};
  std::ostringstream log_;  // written by the unit's thread; read after join
  std::unique_ptr<SimulatedUnit> unit_;
  std::thread runner_;
};

TEST_F(SimulatedUnitTest, PublishesALinkToItsTerminalAndAnswersOnIt) {
  start();
  EXPECT_EQ(unit_->linkPath(), dir_ / "cu.usbserial-SIM0");
  ASSERT_TRUE(std::filesystem::is_symlink(unit_->linkPath()));
  EXPECT_THAT(std::filesystem::read_symlink(unit_->linkPath()).string(), HasSubstr("/dev/pts/"));

  UniqueFd port = openUnit();
  ASSERT_TRUE(port);
  ASSERT_TRUE(writeAll(port.get(), "\n" + downloadStream("S&S YS D2_optical")));
  EXPECT_THAT(readUntil(port.get(), "\r\n", 3s),
              HasSubstr("VALMOR SIM: profile S&S YS D2_optical stored OK\r\n"));
  ASSERT_TRUE(writeAll(port.get(), "1\n"));
  EXPECT_THAT(readUntil(port.get(), "\r\n", 3s), HasSubstr("initialized"));
  EXPECT_EQ(unit_->acceptedCount(), 1);

  // A second unit in the same directory takes the next name.
  std::ostringstream otherLog;
  SimulatedUnit other(dir_.path(), otherLog);
  ASSERT_TRUE(other.plug());
  EXPECT_EQ(other.linkPath(), dir_ / "cu.usbserial-SIM1");
}

TEST_F(SimulatedUnitTest, UnplugHangsUpTheOpenPortAndPlugComesBackUnderTheSameName) {
  start();
  const std::string link = unit_->linkPath();
  UniqueFd port = openUnit();
  ASSERT_TRUE(port);

  unit_->requestUnplug();
  // The open slave sees the hang-up: read gives end of file or EIO.
  pollfd p{port.get(), POLLIN, 0};
  ASSERT_EQ(::poll(&p, 1, 3000), 1);
  char byte;
  EXPECT_LE(::read(port.get(), &byte, 1), 0);
  EXPECT_TRUE(waitUntil([&] { return unit_->linkPath().empty(); }));
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link)));

  unit_->requestPlug();
  EXPECT_TRUE(waitUntil([&] { return !unit_->linkPath().empty(); }));
  EXPECT_EQ(unit_->linkPath(), link);
  UniqueFd again = openUnit();
  ASSERT_TRUE(again) << std::strerror(errno);
  ASSERT_TRUE(writeAll(again.get(), "\n1\n"));
  EXPECT_THAT(readUntil(again.get(), "\r\n", 3s), HasSubstr("initialized"));
}

// The CPU the unit uses, and how long it holds its answers back.
class SimulatedUnitTimingTest : public SimulatedUnitTest {};

// A pseudo-terminal master whose slave is closed reports POLLHUP at once,
// every time: a loop that keeps polling it burns a core.
TEST_F(SimulatedUnitTimingTest, DoesNotSpinWhileThePortIsOpenedAndClosedRepeatedly) {
  start();
  for (int i = 0; i < 5; ++i) {
    UniqueFd port = openUnit();
    ASSERT_TRUE(port);
    ASSERT_TRUE(writeAll(port.get(), "\n1\n"));
    EXPECT_THAT(readUntil(port.get(), "\r\n", 3s), HasSubstr("initialized")) << "round " << i;
  }
  clockid_t clock;
  ASSERT_EQ(pthread_getcpuclockid(runner_.native_handle(), &clock), 0);
  auto cpu = [&] {
    timespec t{};
    clock_gettime(clock, &t);
    return std::chrono::seconds(t.tv_sec) + std::chrono::nanoseconds(t.tv_nsec);
  };
  const auto before = cpu();
  std::this_thread::sleep_for(1s);  // the second measured: nothing happens
  EXPECT_LT(cpu() - before, 200ms);
  EXPECT_EQ(unit_->initializeCount(), 5);
}

// The host has the port while any descriptor of the slave is open: closing
// one of two leaves the unit listening to the other.
TEST_F(SimulatedUnitTest, ClosingOneOfTwoDescriptorsKeepsTheSession) {
  start();
  UniqueFd first = openUnit();
  UniqueFd second = openUnit();
  ASSERT_TRUE(first && second);
  second.reset();
  // A unit that took this for the host's close would say so meanwhile.
  std::this_thread::sleep_for(50ms);
  ASSERT_TRUE(writeAll(first.get(), "\n1\n"));
  EXPECT_THAT(readUntil(first.get(), "\r\n", 3s), HasSubstr("initialized"));
  unit_->requestStop();
  runner_.join();
  // No close was seen before the Initialize on the remaining descriptor.
  const std::string log = log_.str();
  ASSERT_THAT(log, HasSubstr("initialize"));
  EXPECT_EQ(log.find("port closed by the host"), std::string::npos) << log;
}

TEST_F(SimulatedUnitTimingTest, AnswerDelayHoldsEachAnswerBack) {
  unit_ = std::make_unique<SimulatedUnit>(dir_.path(), log_,
                                          SimulatedUnitOptions{.answerDelay = 300ms});
  start();
  UniqueFd port = openUnit();
  ASSERT_TRUE(port);
  // Timed from before the write: the unit may read the line, and start its
  // delay, before a descheduled writer gets back from write().
  const auto sent = std::chrono::steady_clock::now();
  ASSERT_TRUE(writeAll(port.get(), "\n1\n"));
  EXPECT_THAT(readUntil(port.get(), "\r\n", 5s), HasSubstr("initialized"));
  EXPECT_GE(std::chrono::steady_clock::now() - sent, 300ms);
}

TEST_F(SimulatedUnitTest, StopEndsTheRunAndTheDestructorRemovesTheLink) {
  start();
  const std::string link = unit_->linkPath();
  unit_->requestStop();
  runner_.join();
  EXPECT_TRUE(std::filesystem::is_symlink(link));
  unit_.reset();
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link)));
}

TEST_F(SimulatedUnitTest, CommandLinesOnItsInputPlugAndUnplugAndEndOfInputStops) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  UniqueFd readEnd(fds[0]);
  UniqueFd writeEnd(fds[1]);
  unit_->setCommandInput(readEnd.get(), true);
  start();
  const std::string link = unit_->linkPath();
  ASSERT_TRUE(writeAll(writeEnd.get(), "unplug\n"));
  EXPECT_TRUE(waitUntil([&] { return unit_->linkPath().empty(); }));
  ASSERT_TRUE(writeAll(writeEnd.get(), "  plug \n"));
  EXPECT_TRUE(waitUntil([&] { return !unit_->linkPath().empty(); }));
  EXPECT_EQ(unit_->linkPath(), link);
  writeEnd.reset();
  runner_.join();  // ends by itself at end of input
  EXPECT_THAT(log_.str(), HasSubstr("unit unplugged"));
}

}  // namespace
}  // namespace valmor::test
