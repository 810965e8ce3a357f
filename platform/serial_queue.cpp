#include "platform/serial_queue.h"

#include "platform/background.h"
#include "platform/log.h"

namespace valmor {

namespace {

// The queue whose task this thread is running, if any. A task may enter
// another queue directly, so the previous one is put back afterwards.
thread_local const SerialQueue* currentQueue = nullptr;

}  // namespace

std::shared_ptr<SerialQueue> SerialQueue::create() { return std::make_shared<SerialQueue>(PrivateTag{}); }

bool SerialQueue::isCurrent() const { return currentQueue == this; }

bool SerialQueue::isInsideAnyTask() { return currentQueue != nullptr; }

void SerialQueue::runOne(const Task& task) {
  const SerialQueue* previous = currentQueue;
  currentQueue = this;
  runLoggingExceptions(task, "A serial queue's task");
  currentQueue = previous;
}

void SerialQueue::schedule() {
  busy_ = true;
  postToBackground([self = shared_from_this()] { self->workOff(kTasksPerTurn); });
}

void SerialQueue::post(Task task) {
  std::lock_guard lock(mutex_);
  tasks_.push_back(std::move(task));
  if (!busy_) schedule();
}

bool SerialQueue::runHereOrPost(Task task) {
  {
    std::lock_guard lock(mutex_);
    if (busy_) {
      tasks_.push_back(std::move(task));
      return false;
    }
    busy_ = true;
  }
  runOne(task);
  // What was queued meanwhile is worked off here, in the rest of a turn,
  // rather than on a thread of the pool woken for it: most often it is the
  // reply to a request this task has just written, which the reading thread
  // found while the task was still running.
  workOff(kTasksPerTurn - 1);
  return true;
}

void SerialQueue::endTurn() {
  if (tasks_.empty()) {
    busy_ = false;
  } else {
    schedule();
  }
}

void SerialQueue::workOff(int limit) {
  for (int i = 0; i < limit; ++i) {
    Task task;
    {
      std::lock_guard lock(mutex_);
      if (tasks_.empty()) break;
      task = std::move(tasks_.front());
      tasks_.pop_front();
    }
    runOne(task);
  }
  std::lock_guard lock(mutex_);
  endTurn();
}

}  // namespace valmor
