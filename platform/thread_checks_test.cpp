#include "platform/thread_checks.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>

#include "platform/background.h"
#include "platform/testing/main_queue_fixture.h"

namespace valmor::test {
namespace {

using ThreadChecksDeathTest = MainQueueFixture;

// A broken threading rule stops the process with a line naming the rule,
// so that a test fails there instead of racing.
TEST_F(ThreadChecksDeathTest, BrokenRulesStopTheProcessNamingTheRule) {
  if (!kThreadChecks) GTEST_SKIP() << "thread checks are compiled into debug and sanitizer builds only";
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  struct Case {
    const char* rule;
    std::function<void()> breakIt;
  };
  const Case cases[] = {
      {"only on the main thread", [] { std::thread([] { VALMOR_CHECK_MAIN_THREAD(); }).join(); }},
      {"no thread of the pool nor a serial queue's task waits for the main thread",
       [] {
         postToBackground([] { mainQueue().postAndWait([] {}); });
         // The pool's thread ends this process: the sleep is only the
         // deadline for that (a rule not enforced then fails the test).
         std::this_thread::sleep_for(std::chrono::seconds(10));
       }},
  };
  for (const Case& c : cases) EXPECT_DEATH(c.breakIt(), c.rule) << c.rule;
  // Kept rules pass.
  VALMOR_CHECK_MAIN_THREAD();
  VALMOR_CHECK_MAY_WAIT();
}

}  // namespace
}  // namespace valmor::test
