// Waiting in tests for something that happens on another thread or in
// another process: the test waits for the event itself, up to a deadline,
// and never sleeps a fixed time to let it happen.
//
//   ASSERT_TRUE(waitUntil([&] { return !port->isOpen(); }));
//
// A test whose event reaches it through a main queue it runs itself pumps
// that queue instead, with pumpUntil() (MainQueueFixture::pump()), so that
// the tasks the event posts there run meanwhile.
//
// A check that something does NOT happen within a while is another matter:
// it waits the whole while on purpose, and says so where it does.
#pragma once

#include <algorithm>
#include <chrono>
#include <functional>
#include <thread>

#include "valmor/platform/main_queue.h"

namespace valmor::test {

// Looks at done() until it holds or the time-out passes; gives done(). The
// looks come often at first, then every few milliseconds, so that a quick
// event is seen at once and a slow one costs little CPU.
template <typename Predicate>
bool waitUntil(Predicate&& done, std::chrono::steady_clock::duration timeout = std::chrono::seconds(5)) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + timeout;
  Clock::duration pause = std::chrono::microseconds(50);
  while (!done()) {
    const auto now = Clock::now();
    if (now >= deadline) return done();
    std::this_thread::sleep_for(std::min<Clock::duration>(pause, deadline - now));
    pause = std::min<Clock::duration>(pause * 2, std::chrono::milliseconds(5));
  }
  return true;
}

// Runs queue's tasks on this thread (its main thread) until done() holds or
// the time-out passes; gives done(). The queue sleeps until a task comes, so
// done() is looked at every few milliseconds as well, for a condition that
// changes on another thread without a task.
inline bool pumpUntil(RunLoopMainQueue& queue, const std::function<bool()>& done,
                      std::chrono::steady_clock::duration timeout = std::chrono::seconds(5)) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    if (done()) return true;
    const auto now = Clock::now();
    if (now >= deadline) return false;
    queue.runUntil(done, std::min<Clock::duration>(deadline - now, std::chrono::milliseconds(5)));
  }
}

}  // namespace valmor::test
