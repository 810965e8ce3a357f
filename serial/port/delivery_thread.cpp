#include "serial/port/delivery_thread.h"

#include <pthread.h>
#include <signal.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "platform/log.h"

namespace valmor::DeliveryThread {

namespace {

thread_local bool onDeliveryThread = false;

struct State {
  std::mutex mutex;
  std::condition_variable wake;
  std::deque<std::function<void()>> tasks;  // Guarded by mutex.
  bool started = false;                      // Guarded by mutex.
  bool sleeping = false;                     // Guarded by mutex.
};

State& state() {
  // Never destroyed: tasks may still be posted while static destructors run
  // at exit.
  static State* s = new State;
  return *s;
}

void run(State& s) {
  onDeliveryThread = true;
  // Signals meant for the process are never delivered to this thread.
  sigset_t all;
  ::sigfillset(&all);
  ::pthread_sigmask(SIG_BLOCK, &all, nullptr);
  for (;;) {
    std::deque<std::function<void()>> batch;
    {
      std::unique_lock lock(s.mutex);
      s.sleeping = true;
      s.wake.wait(lock, [&] { return !s.tasks.empty(); });
      s.sleeping = false;
      batch.swap(s.tasks);
    }
    for (auto& task : batch) {
      runLoggingExceptions(task, "A delegate call on the delivery thread");
      task = nullptr;  // what it holds goes now, not with the batch
    }
  }
}

}  // namespace

void post(std::function<void()> task) {
  State& s = state();
  bool notify;
  {
    std::lock_guard lock(s.mutex);
    s.tasks.push_back(std::move(task));
    if (!s.started) {
      s.started = true;
      // The thread lives as long as the process and is never joined.
      std::thread([&s] { run(s); }).detach();
    }
    notify = s.sleeping;
  }
  if (notify) s.wake.notify_one();
}

bool isCurrent() { return onDeliveryThread; }

}  // namespace valmor::DeliveryThread
