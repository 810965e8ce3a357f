#include "platform/background.h"

#include <asio/executor_work_guard.hpp>
#include <asio/post.hpp>

#include <exception>
#include <string>
#include <thread>
#include <vector>

#include "platform/log.h"

namespace valmor {

namespace {

thread_local bool onPoolThread = false;

// A few threads keep one slow handler (a blocking close, a wait for the main
// thread) from stalling every other port; many more would only add contention
// on the two cores this runs on.
constexpr int kPoolThreads = 3;

struct Pool {
  asio::io_context context;
  asio::executor_work_guard<asio::io_context::executor_type> guard{context.get_executor()};
  std::vector<std::thread> threads;

  Pool() {
    for (int i = 0; i < kPoolThreads; ++i) {
      threads.emplace_back([this] {
        onPoolThread = true;
        for (;;) {
          try {
            context.run();
            return;
          } catch (const std::exception& e) {
            logLine(std::string("Exception caught on the background pool: ") + e.what());
          } catch (...) {
            logLine("Unknown exception caught on the background pool");
          }
        }
      });
      // The pool lives as long as the process; its threads are never joined
      // so that process exit does not wait on a blocked handler.
      threads.back().detach();
    }
  }
};

Pool& pool() {
  // Never destroyed: handlers may still be running while static destructors
  // run at exit.
  static Pool* p = new Pool;
  return *p;
}

}  // namespace

asio::io_context& backgroundContext() { return pool().context; }

Strand makeStrand() { return asio::make_strand(backgroundContext()); }

void postToBackground(std::function<void()> task) {
  asio::post(backgroundContext(), std::move(task));
}

bool isBackgroundThread() { return onPoolThread; }

}  // namespace valmor
