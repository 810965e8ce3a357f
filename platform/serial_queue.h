// SerialQueue: a serial queue on the background pool whose tasks run one at
// a time, in the order queued, and which a caller may enter directly.
//
// post() queues a task to run after every task queued before it, as a
// strand would, on the pool. runHereOrPost() runs the task on the calling
// thread, at once, when the queue is idle (no task running, none waiting),
// and otherwise queues it like post(). Entering an idle queue directly saves
// the hand-over to a pool thread and back, which on a small machine costs
// more than most tasks (a waiting caller is woken twice for nothing); the
// order and the one-at-a-time rule are the same either way.
//
//   queue->post([] { ... });                 // on the pool, later
//   queue->runHereOrPost([] { ... });        // here if idle, else on the pool
//   if (queue->isCurrent()) { ... }          // inside one of its tasks
//
// Tasks queued while a directly run task runs are worked off by the same
// caller afterwards, before runHereOrPost() returns: a turn holds at most
// kTasksPerTurn tasks, the caller's own included, and what is left then goes
// to the pool. So tasks must never wait for a particular thread. The pool,
// too, works off at most kTasksPerTurn tasks in a turn before it queues the
// rest behind its other work.
//
// Threading: every member may be called from any thread, also from inside a
// task of the queue (which then never runs the new task inside the call). A
// task that throws is logged and the queue goes on.
#pragma once

#include <deque>
#include <functional>
#include <memory>
#include <mutex>

namespace valmor {

class SerialQueue : public std::enable_shared_from_this<SerialQueue> {
  struct PrivateTag {};

 public:
  using Task = std::function<void()>;

  static constexpr int kTasksPerTurn = 64;

  static std::shared_ptr<SerialQueue> create();
  explicit SerialQueue(PrivateTag) {}

  // Runs task on the pool after the tasks queued before it; never inside
  // this call.
  void post(Task task);

  // Runs task on this thread now if the queue is idle, and gives true;
  // otherwise queues it as post() does and gives false.
  bool runHereOrPost(Task task);

  // True inside a task of this queue, on whichever thread runs it.
  [[nodiscard]] bool isCurrent() const;
  // True inside a task of any serial queue.
  [[nodiscard]] static bool isInsideAnyTask();

 private:
  void runOne(const Task& task);
  // Runs up to limit queued tasks, then ends the turn.
  void workOff(int limit);
  // Called under mutex_ with tasks waiting: hands them to the pool.
  void schedule();
  // Called under mutex_ after a task or a turn: the queue is idle, or the
  // pool takes what is waiting.
  void endTurn();

  std::mutex mutex_;
  std::deque<Task> tasks_;  // Guarded by mutex_.
  // A task is running, or the pool has been asked to work tasks off (then
  // tasks_ is not empty). Guarded by mutex_.
  bool busy_ = false;
};

}  // namespace valmor
