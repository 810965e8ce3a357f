// The main queue: the one thread on which every delegate call, every
// published modem-line change and every hot-plug event of the library runs.
//
// The library reaches the main thread only through this interface. The
// desktop app implements it on Qt's event loop; tests and command-line tools
// use RunLoopMainQueue and pump it themselves. One implementation is
// installed per process with setMainQueue(); until one is installed, the
// first call of mainQueue() installs a RunLoopMainQueue owned by the thread
// that made that call.
//
// Threading: every member may be called from any thread, except that
// postAndWait() must not be called where nothing may wait for the main
// thread: on a thread of the background pool, or inside a serial queue's
// task (debug and sanitizer builds check it). The library never waits for the
// main thread there; a step that must follow a main-thread call is posted as
// a continuation instead.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "valmor/platform/export.h"

namespace valmor {

class VALMOR_EXPORT MainQueue {
 public:
  using Task = std::function<void()>;

  virtual ~MainQueue() = default;

  // Queues a task to run on the main thread, after the tasks queued before
  // it. Never runs the task inside this call.
  virtual void post(Task task) = 0;

  // True on the main thread.
  virtual bool isCurrent() const = 0;

  // Runs a task on the main thread and returns once it has run. Called on
  // the main thread, it runs the task directly. If the main queue is shut
  // down before the task runs, returns without having run it, so that a
  // waiting thread never hangs on a main thread that has stopped.
  void postAndWait(Task task);

  // Stops accepting tasks: later posts are dropped, tasks not yet run are
  // discarded (destroyed unrun) and waiters released. Used when the main
  // loop ends for good.
  void shutDown();
  bool isShutDown() const;

 protected:
  // Destroys the tasks queued and not yet run; called by shutDown(), outside
  // any lock of the caller's.
  virtual void discardQueuedTasks() {}

  // Implementations call this for every posted task instead of task().
  // Exceptions thrown by a task are caught and logged here, so that one
  // faulty callback cannot end the loop.
  static void runTask(const Task& task);

 private:
  mutable std::mutex waitMutex_;
  std::condition_variable waitCv_;
  bool shutDown_ = false;  // Guarded by waitMutex_.
};

// The completion of one task queued for the main thread, for a thread that
// waits for it. Shared (std::shared_ptr) between the waiter and the task,
// which may outlive the wait when the main queue shuts down first.
class VALMOR_EXPORT MainThreadCompletion {
 public:
  // Called by the task once it has run.
  void signal();
  // Returns once signal() was called, or when queue shuts down before.
  // True when the task ran.
  bool wait(const MainQueue& queue);

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool done_ = false;  // Guarded by mutex_.
};

// A plain run loop for tests and tools. The thread that creates it is the
// main thread.
class VALMOR_EXPORT RunLoopMainQueue : public MainQueue {
 public:
  RunLoopMainQueue();

  void post(Task task) override;
  bool isCurrent() const override;

  // Runs queued tasks until the deadline passes. Returns the number run.
  size_t runFor(std::chrono::steady_clock::duration duration);

  // Runs queued tasks until done() is true or the time-out passes; sleeps
  // while no task is queued. done() is checked first and after each task,
  // so it must become true through a task (a condition that changes on
  // another thread without posting is seen only at the next task).
  // Returns done().
  bool runUntil(const std::function<bool()>& done,
                std::chrono::steady_clock::duration timeout);

  // Runs the tasks queued so far, without waiting. Returns the number run.
  size_t runPending();

  // The tasks queued and not yet run: lets a test see that something was
  // posted before it runs the loop.
  size_t queuedTaskCount() const;

 protected:
  void discardQueuedTasks() override;

 private:
  bool runOne(std::chrono::steady_clock::time_point deadline);

  // Shared with every post() in progress, so that a poster on another
  // thread can still notify after the main thread has run its task and
  // destroyed the queue.
  struct Tasks {
    std::mutex mutex;
    std::deque<Task> queued;  // Guarded by mutex.
    // Counts the posts (changed under mutex). The main thread sleeps on it
    // as a futex while nothing is queued, and a post wakes it only when it
    // sleeps there: no mutex to take again on waking, which a condition
    // variable would make the woken thread do, and every post pay for.
    std::atomic<std::uint32_t> posted{0};
    std::atomic<int> sleepers{0};
  };
  std::thread::id owner_;
  const std::shared_ptr<Tasks> tasks_ = std::make_shared<Tasks>();
};

// The process's main queue.
VALMOR_EXPORT MainQueue& mainQueue();

// Installs the process's main queue; replaces any installed before (which is
// kept alive, since references to it may still be held). Call it before the
// library starts work, normally first thing in main().
VALMOR_EXPORT void setMainQueue(std::shared_ptr<MainQueue> queue);

}  // namespace valmor
