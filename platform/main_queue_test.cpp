#include "valmor/platform/main_queue.h"

#include <gtest/gtest.h>

#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <future>
#include <stdexcept>
#include <string>
#include <thread>

#include "platform/testing/log_capture.h"
#include "platform/testing/wait.h"

namespace valmor::test {
namespace {

using namespace std::chrono_literals;

// The scheduler's state of a thread of this process: 'S' while it sleeps
// waiting for something, 'R' while it runs or may run.
char threadState(pid_t tid) {
  std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
  std::string line;
  std::getline(stat, line);
  const auto end = line.rfind(')');  // the name in parentheses may hold anything
  return end == std::string::npos || end + 2 >= line.size() ? '?' : line[end + 2];
}

TEST(MainQueueTest, RunsPostedTasksInOrderOnItsThread) {
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
// it. (The post comes once the loop is asleep.)
TEST(MainQueueTest, SleepsUntilAPostFromAnotherThread) {
  RunLoopMainQueue q;
  bool ran = false;
  const pid_t mainThread = static_cast<pid_t>(::syscall(SYS_gettid));
  const auto start = std::chrono::steady_clock::now();
  std::thread other([&] {
    EXPECT_TRUE(waitUntil([&] { return threadState(mainThread) == 'S'; })) << "the loop never slept";
    q.post([&] { ran = true; });
  });
  EXPECT_TRUE(q.runUntil([&] { return ran; }, 60s));
  other.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 30s);
}

// With nothing posted it wakes at the deadline, not before.
TEST(MainQueueTimingTest, WithNothingPostedSleepsUntilTheDeadline) {
  RunLoopMainQueue q;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(q.runFor(100ms), 0u);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 100ms);
}

TEST(MainQueueTest, PostAndWaitFromAnotherThreadRunsOnTheMainThread) {
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

TEST(MainQueueTest, PostAndWaitOnTheMainThreadRunsDirectly) {
  RunLoopMainQueue q;
  bool ran = false;
  q.postAndWait([&] { ran = true; });
  EXPECT_TRUE(ran);
}

// A background thread waiting on a main loop that has ended must not hang.
TEST(MainQueueTest, ShutDownReleasesWaitersAndDropsLaterPosts) {
  RunLoopMainQueue q;
  auto waiter = std::async(std::launch::async, [&] { q.postAndWait([] {}); });
  ASSERT_TRUE(waitUntil([&] { return q.queuedTaskCount() == 1; }));  // it waits now
  q.shutDown();
  EXPECT_EQ(waiter.wait_for(5s), std::future_status::ready);
  q.post([] { FAIL() << "posted after shut-down"; });
  q.runPending();
}

TEST(MainQueueTest, ExceptionInATaskIsLoggedAndTheLoopGoesOn) {
  LogCapture log;
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

}  // namespace
}  // namespace valmor::test
