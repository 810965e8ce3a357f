// Runs a task on a request-handling queue and waits for it, for tests that
// drive queue-only members from the test's thread.
#pragma once

#include <functional>
#include <future>
#include <memory>

#include "platform/serial_queue.h"

namespace valmor::test {

inline void runOnStrand(SerialQueue& queue, std::function<void()> task) {
  auto packaged = std::make_shared<std::packaged_task<void()>>(std::move(task));
  auto done = packaged->get_future();
  queue.post([packaged] { (*packaged)(); });
  done.get();
}

}  // namespace valmor::test
