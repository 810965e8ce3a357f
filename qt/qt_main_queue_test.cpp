#include "valmor/qt/qt_main_queue.h"

#include <gtest/gtest.h>

#include <QTest>
#include <QTimer>
#include <QThread>
#include <atomic>
#include <thread>
#include <vector>

namespace valmor::test {
namespace {

using namespace std::chrono_literals;

// Tasks posted from other threads run on the GUI thread, in the order each
// thread posted them; postAndWait() returns once its task has run there.
TEST(QtMainQueueTest, TasksFromOtherThreadsRunOnTheGuiThreadInOrder) {
  auto& queue = mainQueue();
  ASSERT_TRUE(queue.isCurrent());
  std::vector<int> order;
  std::atomic<bool> allOnGuiThread{true};
  std::atomic<bool> waited{false};
  std::thread poster([&] {
    EXPECT_FALSE(queue.isCurrent());
    for (int i = 0; i < 100; ++i) {
      queue.post([&, i] {
        if (!queue.isCurrent()) allOnGuiThread = false;
        order.push_back(i);
      });
    }
    queue.postAndWait([&] { order.push_back(100); });
    waited = true;
  });
  EXPECT_TRUE(QTest::qWaitFor([&] { return waited.load(); }, 5000));
  poster.join();
  ASSERT_EQ(order.size(), 101u);
  for (int i = 0; i <= 100; ++i) EXPECT_EQ(order[static_cast<std::size_t>(i)], i);
  EXPECT_TRUE(allOnGuiThread);
}

TEST(QtMainQueueTest, ClosedQueueDropsPostsAndReleasesWaiters) {
  QtMainQueue queue;
  bool ran = false;
  queue.post([&] { ran = true; });
  queue.close();
  queue.post([&] { ran = true; });
  std::thread waiter([&] { queue.postAndWait([&] { ran = true; }); });
  waiter.join();  // returns although the task never runs
  QTest::qWait(20);  // nothing runs
  EXPECT_FALSE(ran);
}

// install() makes the process's main queue one on the GUI thread, which the
// end of the application's event loop closes: a thread waiting for the main
// thread afterwards is released instead of hanging.
TEST(QtMainQueueTest, InstalledQueueClosesWhenTheApplicationQuits) {
  auto queue = QtMainQueue::install();
  EXPECT_EQ(&mainQueue(), queue.get());
  bool ran = false;
  queue->post([&] { ran = true; });
  QTimer::singleShot(0, [] { QCoreApplication::quit(); });
  QCoreApplication::exec();
  EXPECT_TRUE(ran);
  EXPECT_TRUE(queue->isShutDown());
  std::thread waiter([&] { queue->postAndWait([] {}); });
  waiter.join();
  QtMainQueue::install();  // a live queue for the tests after this one
}

}  // namespace
}  // namespace valmor::test
