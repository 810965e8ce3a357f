#include "serial/port/delegate_dispatch.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "platform/testing/main_queue_fixture.h"

namespace valmor::test {
namespace {

using DelegateDispatchTest = MainQueueFixture;

// Calls queued under a hold, from this thread and another, wait for its end
// and then all run, in order; none is lost when the last hold ends.
TEST_F(DelegateDispatchTest, HeldCallsRunInOrderOnceTheHoldEnds) {
  auto dispatch = DelegateDispatch::create();
  std::string ran;
  {
    DelegateDispatch::Hold outer(dispatch.get());
    dispatch->queue([&] { ran += 'a'; });
    {
      DelegateDispatch::Hold inner(dispatch.get());
      std::thread([&] { dispatch->queue([&] { ran += 'b'; }); }).join();
    }
    pumpFor(std::chrono::milliseconds(20));  // nothing runs
    EXPECT_EQ(ran, "");
    dispatch->queue([&] { ran += 'c'; });
  }
  EXPECT_TRUE(pump([&] { return ran == "abc"; })) << ran;
}

// A slice that runs out of time leaves the rest of a batch for later; those
// calls still run before calls queued after the batch, whichever thread
// queued them.
TEST_F(DelegateDispatchTest, CallsLeftByASliceKeepTheirPlaceAheadOfLaterOnes) {
  auto dispatch = DelegateDispatch::create();
  std::string ran;
  std::vector<DelegateDispatch::Call> batch;
  batch.push_back([&] {
    ran += 'a';
    // Over the slice's time, while another thread queues behind the batch.
    std::thread([&] { dispatch->queue([&] { ran += 'd'; }); }).join();
    std::this_thread::sleep_for(2 * DelegateDispatch::kSliceTime);
  });
  batch.push_back([&] { ran += 'b'; });
  batch.push_back([&] { ran += 'c'; });
  dispatch->queue(std::move(batch));
  EXPECT_TRUE(pump([&] { return ran.size() == 4; }));
  EXPECT_EQ(ran, "abcd");
}

}  // namespace
}  // namespace valmor::test
