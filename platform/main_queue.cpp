#include "valmor/platform/main_queue.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <exception>
#include <string>
#include <vector>

#include "platform/log.h"
#include "platform/thread_checks.h"

namespace valmor {

namespace {

std::mutex& installMutex() {
  static std::mutex m;
  return m;
}

// Never destroyed: background threads may still post to the installed queue
// while static destructors run at exit.
std::shared_ptr<MainQueue>& installed() {
  static auto* q = new std::shared_ptr<MainQueue>;
  return *q;
}

// Sleeps while word holds expected, for at most timeout (or until woken).
void futexWait(std::atomic<std::uint32_t>& word, std::uint32_t expected, std::chrono::nanoseconds timeout) {
  // Long waits are cut into hours; the caller looks again and goes back.
  timeout = std::min<std::chrono::nanoseconds>(timeout, std::chrono::hours(1));
  const timespec relative{static_cast<time_t>(timeout.count() / 1'000'000'000),
                          static_cast<long>(timeout.count() % 1'000'000'000)};
  // EINTR, EAGAIN (the word changed) and ETIMEDOUT all mean: look again.
  ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAIT_PRIVATE, expected, &relative, nullptr, 0);
}

void futexWake(std::atomic<std::uint32_t>& word) {
  ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

}  // namespace

void MainQueue::runTask(const Task& task) { runLoggingExceptions(task, "A task on the main queue"); }

void MainQueue::postAndWait(Task task) {
  if (isCurrent()) {
    runTask(task);
    return;
  }
  VALMOR_CHECK_MAY_WAIT();
  auto completion = std::make_shared<MainThreadCompletion>();
  post([completion, task = std::move(task)] {
    runTask(task);
    completion->signal();
  });
  completion->wait(*this);
}

void MainThreadCompletion::signal() {
  {
    std::lock_guard lock(mutex_);
    done_ = true;
  }
  cv_.notify_all();
}

bool MainThreadCompletion::wait(const MainQueue& queue) {
  std::unique_lock lock(mutex_);
  while (!done_) {
    // The main loop gives no sign when it ends for good; look now and then.
    if (queue.isShutDown()) return false;
    cv_.wait_for(lock, std::chrono::milliseconds(50));
  }
  return true;
}

void MainQueue::shutDown() {
  {
    std::lock_guard lock(waitMutex_);
    shutDown_ = true;
  }
  discardQueuedTasks();
}

bool MainQueue::isShutDown() const {
  std::lock_guard lock(waitMutex_);
  return shutDown_;
}

RunLoopMainQueue::RunLoopMainQueue() : owner_(std::this_thread::get_id()) {}

void RunLoopMainQueue::post(Task task) {
  if (isShutDown()) return;
  const auto tasks = tasks_;
  {
    std::lock_guard lock(tasks->mutex);
    tasks->queued.push_back(std::move(task));
    tasks->posted.fetch_add(1);
  }
  // After the lock is released, so that the woken main thread does not at
  // once block on it again.
  if (tasks->sleepers.load() > 0) futexWake(tasks->posted);
}

bool RunLoopMainQueue::isCurrent() const {
  return std::this_thread::get_id() == owner_;
}

bool RunLoopMainQueue::runOne(std::chrono::steady_clock::time_point deadline) {
  Task task;
  for (;;) {
    std::uint32_t seen;
    {
      std::lock_guard lock(tasks_->mutex);
      if (!tasks_->queued.empty()) {
        task = std::move(tasks_->queued.front());
        tasks_->queued.pop_front();
        break;
      }
      seen = tasks_->posted.load();
    }
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return false;
    // A post after the look above has changed the count: the wait then
    // returns at once.
    tasks_->sleepers.fetch_add(1);
    futexWait(tasks_->posted, seen, deadline - now);
    tasks_->sleepers.fetch_sub(1);
  }
  runTask(task);
  return true;
}

size_t RunLoopMainQueue::runFor(std::chrono::steady_clock::duration duration) {
  const auto deadline = std::chrono::steady_clock::now() + duration;
  size_t n = 0;
  while (std::chrono::steady_clock::now() < deadline) {
    if (runOne(deadline)) ++n;
  }
  return n;
}

bool RunLoopMainQueue::runUntil(const std::function<bool()>& done,
                                std::chrono::steady_clock::duration timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return false;
    runOne(deadline);
  }
  return true;
}

void RunLoopMainQueue::discardQueuedTasks() {
  std::deque<Task> discarded;
  {
    std::lock_guard lock(tasks_->mutex);
    discarded.swap(tasks_->queued);
  }
  // Destroyed here, outside the lock: a task's captures may post again (and
  // be dropped) as they go.
}

size_t RunLoopMainQueue::runPending() {
  size_t n = 0;
  std::deque<Task> batch;
  {
    std::lock_guard lock(tasks_->mutex);
    batch.swap(tasks_->queued);
  }
  for (auto& t : batch) {
    runTask(t);
    ++n;
  }
  return n;
}

size_t RunLoopMainQueue::queuedTaskCount() const {
  std::lock_guard lock(tasks_->mutex);
  return tasks_->queued.size();
}

bool isMainThread() {
  std::lock_guard lock(installMutex());
  const auto& q = installed();
  return q && q->isCurrent();
}

MainQueue& mainQueue() {
  std::lock_guard lock(installMutex());
  auto& q = installed();
  if (!q) q = std::make_shared<RunLoopMainQueue>();
  return *q;
}

void setMainQueue(std::shared_ptr<MainQueue> queue) {
  static auto* replaced = new std::vector<std::shared_ptr<MainQueue>>;
  std::lock_guard lock(installMutex());
  if (installed()) replaced->push_back(installed());
  installed() = std::move(queue);
}

}  // namespace valmor
