#include "valmor/platform/main_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <stdexcept>
#include <thread>

#include "platform/background.h"
#include "platform/testing/log_capture.h"

namespace valmor {
namespace {

using namespace std::chrono_literals;

TEST(RunLoopMainQueueTest, RunsPostedTasksInOrderOnItsThread) {
  RunLoopMainQueue q;
  std::vector<int> seen;
  std::thread other([&] {
    for (int i = 0; i < 100; ++i) q.post([&seen, i] { seen.push_back(i); });
  });
  other.join();
  EXPECT_TRUE(q.runUntil([&] { return seen.size() == 100; }, 5s));
  for (int i = 0; i < 100; ++i) EXPECT_EQ(seen[i], i);
}

// The loop sleeps while nothing is queued: a post from another thread wakes
// it.
TEST(RunLoopMainQueueTest, SleepsUntilAPostFromAnotherThread) {
  RunLoopMainQueue q;
  bool ran = false;
  const auto start = std::chrono::steady_clock::now();
  std::thread other([&] {
    std::this_thread::sleep_for(50ms);
    q.post([&] { ran = true; });
  });
  EXPECT_TRUE(q.runUntil([&] { return ran; }, 60s));
  other.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 30s);
}

// With nothing posted it wakes at the deadline, not before.
TEST(RunLoopMainQueueTimingTest, WithNothingPostedSleepsUntilTheDeadline) {
  RunLoopMainQueue q;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(q.runFor(100ms), 0u);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 100ms);
}

TEST(RunLoopMainQueueTest, PostAndWaitFromAnotherThreadRunsOnTheMainThread) {
  RunLoopMainQueue q;
  std::atomic<bool> ranOnMain{false};
  std::atomic<bool> returned{false};
  std::thread other([&] {
    q.postAndWait([&] { ranOnMain = q.isCurrent(); });
    returned = true;
  });
  EXPECT_TRUE(q.runUntil([&] { return ranOnMain.load(); }, 5s));
  other.join();
  EXPECT_TRUE(returned);
}

TEST(RunLoopMainQueueTest, PostAndWaitOnTheMainThreadRunsDirectly) {
  RunLoopMainQueue q;
  bool ran = false;
  q.postAndWait([&] { ran = true; });
  EXPECT_TRUE(ran);
}

// A background thread waiting on a main loop that has ended must not hang.
TEST(RunLoopMainQueueTest, ShutDownReleasesWaitersAndDropsLaterPosts) {
  RunLoopMainQueue q;
  auto waiter = std::async(std::launch::async, [&] { q.postAndWait([] {}); });
  std::this_thread::sleep_for(20ms);
  q.shutDown();
  EXPECT_EQ(waiter.wait_for(5s), std::future_status::ready);
  q.post([] { FAIL() << "posted after shut-down"; });
  q.runPending();
}

TEST(RunLoopMainQueueTest, ExceptionInATaskIsLoggedAndTheLoopGoesOn) {
  test::LogCapture log;
  RunLoopMainQueue q;
  bool after = false;
  q.post([] { throw std::runtime_error("delegate fault"); });
  q.post([&] { after = true; });
  q.runPending();
  EXPECT_TRUE(after);
  const auto lines = log.lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("delegate fault"), std::string::npos);
}

TEST(BackgroundTest, StrandRunsTasksOneAtATimeInOrder) {
  Strand strand = makeStrand();
  std::atomic<int> inside{0};
  std::atomic<int> maxInside{0};
  std::vector<int> order;
  std::promise<void> done;
  for (int i = 0; i < 200; ++i) {
    asio::post(strand, [&, i] {
      int now = ++inside;
      maxInside = std::max(maxInside.load(), now);
      EXPECT_TRUE(isBackgroundThread());
      order.push_back(i);
      --inside;
      if (i == 199) done.set_value();
    });
  }
  ASSERT_EQ(done.get_future().wait_for(5s), std::future_status::ready);
  EXPECT_EQ(maxInside.load(), 1);
  ASSERT_EQ(order.size(), 200u);
  for (int i = 0; i < 200; ++i) EXPECT_EQ(order[i], i);
}

}  // namespace
}  // namespace valmor
