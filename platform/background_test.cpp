#include "platform/background.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <vector>

namespace valmor::test {
namespace {

using namespace std::chrono_literals;

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
}  // namespace valmor::test
