#include "platform/system_sleep.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <vector>

#include "valmor/platform/main_queue.h"
#include "platform/testing/main_queue_fixture.h"
#include "platform/testing/private_bus.h"

namespace valmor::test {
namespace {

class SystemSleepTest : public MainQueueFixture {
 protected:
  void SetUp() override {
    MainQueueFixture::SetUp();
    if (bus_.address().empty()) GTEST_SKIP() << "no dbus-daemon to run a private bus (install dbus-daemon)";
  }

  PrivateBus bus_;
};

// Sleep is delayed until the handler has run; the lock is taken again at
// wake; signals from anybody but logind are ignored.
TEST_F(SystemSleepTest, FollowsLogindAndHoldsTheSleepUntilTheHandlerHasRun) {
  FakeLogind logind(bus_.address());
  ASSERT_TRUE(logind.ready());
  std::vector<bool> calls;
  int locksHeldInHandler = -1;
  auto watcher = SystemSleepWatcher::watch(
      [&](bool goingToSleep) {
        calls.push_back(goingToSleep);
        if (goingToSleep) locksHeldInHandler = logind.locksHeld();
      },
      bus_.address());
  ASSERT_TRUE(watcher);
  EXPECT_EQ(logind.locksHeld(), 1);

  {
    FakeLogind impostor(bus_.address());  // cannot own the name: not logind
    impostor.prepareForSleep(true);
  }
  ASSERT_TRUE(logind.prepareForSleep(true));
  ASSERT_TRUE(pump([&] { return calls.size() == 1; }));
  EXPECT_EQ(locksHeldInHandler, 1);
  EXPECT_EQ(logind.locksHeld(), 0);

  ASSERT_TRUE(logind.prepareForSleep(false));
  ASSERT_TRUE(pump([&] { return calls.size() == 2; }));
  EXPECT_EQ(calls, (std::vector<bool>{true, false}));
  EXPECT_EQ(logind.locksGiven(), 2);
  EXPECT_EQ(logind.locksHeld(), 1);

  watcher.reset();  // stops at once: nothing after this
  logind.prepareForSleep(true);
  pumpFor(100ms);  // nothing comes
  EXPECT_EQ(calls.size(), 2u);
}

TEST_F(SystemSleepTest, NoBusGivesNone) {
  EXPECT_FALSE(SystemSleepWatcher::watch([](bool) {}, "unix:path=/nonexistent/valmor-bus"));
}

}  // namespace
}  // namespace valmor::test
