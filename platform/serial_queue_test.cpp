#include "platform/serial_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

namespace valmor::test {
namespace {

using namespace std::chrono_literals;

TEST(SerialQueueTest, RunsHereWhenIdleWithWhatCameMeanwhileAndOtherwiseInTurnOnThePool) {
  auto queue = SerialQueue::create();
  const auto caller = std::this_thread::get_id();

  std::thread::id ranOn;
  bool currentInside = false;
  EXPECT_TRUE(queue->runHereOrPost([&] {
    ranOn = std::this_thread::get_id();
    currentInside = queue->isCurrent();
  }));
  EXPECT_EQ(ranOn, caller);
  EXPECT_TRUE(currentInside);
  EXPECT_FALSE(queue->isCurrent());

  // What another thread queues meanwhile, the caller works off before it
  // returns, rather than a thread of the pool.
  std::thread::id queuedRanOn;
  EXPECT_TRUE(queue->runHereOrPost([&] {
    std::thread([&] { queue->post([&] { queuedRanOn = std::this_thread::get_id(); }); }).join();
  }));
  EXPECT_EQ(queuedRanOn, caller);

  // A task holds the queue: the next one must wait for it, off this thread.
  std::promise<void> release;
  std::promise<void> holding;
  queue->post([&, go = release.get_future().share()] {
    holding.set_value();
    go.wait();
  });
  holding.get_future().wait();
  std::promise<std::thread::id> later;
  std::atomic<bool> released{false};
  EXPECT_FALSE(queue->runHereOrPost([&] {
    EXPECT_TRUE(released.load());
    later.set_value(std::this_thread::get_id());
  }));
  released = true;
  release.set_value();
  auto ranLater = later.get_future();
  ASSERT_EQ(ranLater.wait_for(5s), std::future_status::ready);
  EXPECT_NE(ranLater.get(), caller);
}

// Threads that enter the queue and post to it at once: no two tasks ever
// overlap, and each thread's tasks run in the order it gave them.
TEST(SerialQueueTest, TasksNeverOverlapAndKeepEachThreadsOrder) {
  constexpr int kThreads = 4;
  constexpr int kTasks = 3000;
  auto queue = SerialQueue::create();
  std::atomic<bool> inside{false};
  std::atomic<int> overlaps{0};
  std::vector<int> next(kThreads, 0);  // only touched inside tasks
  int outOfOrder = 0;                  // likewise
  int ran = 0;                         // likewise
  std::promise<void> allRan;

  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kTasks; ++i) {
        auto task = [&, t, i] {
          if (inside.exchange(true)) ++overlaps;
          if (next[t] != i) ++outOfOrder;
          next[t] = i + 1;
          const bool last = ++ran == kThreads * kTasks;
          inside = false;
          // Last of all: the test's locals may be gone once it is given.
          if (last) allRan.set_value();
        };
        if (i % 3 == 0) {
          queue->post(task);
        } else {
          queue->runHereOrPost(task);
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  ASSERT_EQ(allRan.get_future().wait_for(10s), std::future_status::ready);
  EXPECT_EQ(overlaps.load(), 0);
  EXPECT_EQ(outOfOrder, 0);  // the last task's set_value() orders every task's writes before this
}

}  // namespace
}  // namespace valmor::test
