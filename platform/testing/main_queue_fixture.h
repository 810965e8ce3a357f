// The base fixture of tests that need the process's main queue: a run loop
// installed as the main queue on the test's thread, shut down at the end.
//
// Waiting: pump() runs main-queue tasks until a condition holds, up to a
// deadline. The run loop sleeps until work arrives, so a condition that
// changes on another thread without a main-queue task (a descriptor closed
// on the pool, say) is looked at again every few milliseconds as well.
// pumpFor() runs tasks for a fixed while: only for checks that something
// does not happen.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <vector>

#include "platform/testing/wait.h"
#include "valmor/platform/main_queue.h"

namespace valmor::test {

using namespace std::chrono_literals;

class MainQueueFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    queue_ = std::make_shared<RunLoopMainQueue>();
    setMainQueue(queue_);
    // Pool threads are never joined, and one may still be returning from a
    // post to this queue when the process exits; the queue must not be
    // destroyed under it by static destructors.
    static auto* keptAlive = new std::vector<std::shared_ptr<RunLoopMainQueue>>;
    keptAlive->push_back(queue_);
  }

  void TearDown() override {
    queue_->shutDown();  // releases any background wait left on this queue
  }

  // Runs main-queue tasks until done() holds or the time-out passes; gives
  // done().
  bool pump(const std::function<bool()>& done, std::chrono::milliseconds timeout = 5s) {
    return pumpUntil(*queue_, done, timeout);
  }
  // Runs main-queue tasks for a while, for events that must not come.
  void pumpFor(std::chrono::milliseconds d) { queue_->runFor(d); }

  std::shared_ptr<RunLoopMainQueue> queue_;
};

}  // namespace valmor::test
