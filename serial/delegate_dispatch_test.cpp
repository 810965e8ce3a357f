#include "serial/delegate_dispatch.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "platform/testing/main_queue_fixture.h"

namespace valmor {
namespace {

using DelegateDispatchTest = test::MainQueueFixture;

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
    pumpFor(std::chrono::milliseconds(20));
    EXPECT_EQ(ran, "");
    dispatch->queue([&] { ran += 'c'; });
  }
  EXPECT_TRUE(pump([&] { return ran == "abc"; })) << ran;
}

}  // namespace
}  // namespace valmor
