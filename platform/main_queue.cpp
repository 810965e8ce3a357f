#include "platform/main_queue.h"

#include <exception>
#include <string>
#include <vector>

#include "platform/log.h"

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

}  // namespace

void MainQueue::runTask(const Task& task) {
  try {
    task();
  } catch (const std::exception& e) {
    logLine(std::string("Exception caught on the main queue: ") + e.what());
  } catch (...) {
    logLine("Unknown exception caught on the main queue");
  }
}

void MainQueue::postAndWait(Task task) {
  if (isCurrent()) {
    runTask(task);
    return;
  }
  auto completion = std::make_shared<MainThreadCompletion>();
  post([completion, task = std::move(task)] {
    runTask(task);
    completion->signal();
  });
  completion->wait(*this);
}

void MainThreadCompletion::signal() {
  std::lock_guard lock(mutex_);
  done_ = true;
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
  std::lock_guard lock(waitMutex_);
  shutDown_ = true;
}

bool MainQueue::isShutDown() const {
  std::lock_guard lock(waitMutex_);
  return shutDown_;
}

RunLoopMainQueue::RunLoopMainQueue() : owner_(std::this_thread::get_id()) {}

void RunLoopMainQueue::post(Task task) {
  if (isShutDown()) return;
  // Notified under the lock, so the queue cannot be destroyed between the
  // push and the notification by a main thread that saw the task.
  std::lock_guard lock(mutex_);
  tasks_.push_back(std::move(task));
  cv_.notify_one();
}

bool RunLoopMainQueue::isCurrent() const {
  return std::this_thread::get_id() == owner_;
}

bool RunLoopMainQueue::runOne(std::chrono::steady_clock::time_point deadline) {
  Task task;
  {
    std::unique_lock lock(mutex_);
    if (!cv_.wait_until(lock, deadline, [this] { return !tasks_.empty(); })) return false;
    task = std::move(tasks_.front());
    tasks_.pop_front();
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

size_t RunLoopMainQueue::runPending() {
  size_t n = 0;
  std::deque<Task> batch;
  {
    std::lock_guard lock(mutex_);
    batch.swap(tasks_);
  }
  for (auto& t : batch) {
    runTask(t);
    ++n;
  }
  return n;
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
