// Runs a task on a strand and waits for it, for tests that drive strand-only
// members from the test's thread.
#pragma once

#include <asio/post.hpp>

#include <functional>
#include <future>

#include "platform/background.h"

namespace valmor::test {

inline void runOnStrand(const Strand& strand, std::function<void()> task) {
  std::packaged_task<void()> packaged(std::move(task));
  auto done = packaged.get_future();
  asio::post(strand, [&packaged] { packaged(); });
  done.get();
}

}  // namespace valmor::test
