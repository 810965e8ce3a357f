// DelegateDispatch: the order and the pace in which a port's delegate hears
// of things. Every delegate call of a port goes through one first-in,
// first-out list that the main queue works off, so the delegate hears of
// events in the order they happened: serialPortWasOpened before the bytes
// that were waiting at open, every chunk before the close that followed it.
//
// Fairness: one main-queue task runs at most kCallsPerSlice calls, or calls
// for kSliceTime, whichever ends first; then it queues itself again behind
// whatever else is waiting on the main queue. A stream faster than its
// delegate therefore slows the delegate's deliveries, never the rest of the
// main thread (the window stays responsive). Back-pressure is the reader's:
// the list only ever holds what the reader let through.
//
// Steps that must come after a delegate call (the close that follows a
// removal, the clearing of requests after a close) are queued with it as its
// continuation: they run once the call has returned, and no thread waits
// for the main thread meanwhile. A main queue that has shut down drops the
// calls but still runs their continuations, on the thread that finds it shut
// down, so that a close never hangs on a main loop that has ended.
//
// Threading: queue() may be called from any thread; the calls and their
// continuations run on the main queue. queueAndWait() must not be called on
// a thread of the pool nor inside a serial queue's task (checked in debug
// and sanitizer builds). A call that throws is logged and the rest go on.
#pragma once

#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace valmor {

class DelegateDispatch : public std::enable_shared_from_this<DelegateDispatch> {
  struct PrivateTag {};

 public:
  using Call = std::function<void()>;

  static constexpr int kCallsPerSlice = 64;
  static constexpr std::chrono::milliseconds kSliceTime{2};

  static std::shared_ptr<DelegateDispatch> create();
  explicit DelegateDispatch(PrivateTag) {}

  // Queues a call behind every call queued before. Never runs it inside this
  // call, not even on the main thread.
  void queue(Call call);
  // The same, and then runs then on the main thread right after the call has
  // returned (or thrown), before the next call. If the main queue has shut
  // down, the call is dropped and then runs at once on the thread that
  // finds it so.
  void queue(Call call, Call then);
  // Queues calls, in their order, as queue() would one by one; in one go, so
  // that the main thread working the list off is not kept waiting for it
  // once per call.
  void queue(std::vector<Call> calls);

  // Holds the main-queue task back while calls that belong together are
  // queued, so that the main thread is woken once for all of them rather
  // than for the first and again for the rest. Calls queued by other threads
  // meanwhile wait too, so a hold must be short.
  //
  //   { DelegateDispatch::Hold hold(dispatch.get()); queue(a); queue(b); }
  class Hold {
   public:
    explicit Hold(DelegateDispatch* dispatch) : dispatch_(dispatch) {
      if (dispatch_) dispatch_->hold();
    }
    ~Hold() {
      if (dispatch_) dispatch_->release();
    }
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;

   private:
    DelegateDispatch* dispatch_;
  };

  // Queues a call and returns once it has run. On the main thread it runs
  // at once instead, ahead of what is queued (waiting there would never
  // end). Returns without it having run if the main queue shuts down first,
  // so that a waiting thread never hangs on a main loop that has ended.
  void queueAndWait(Call call);

 private:
  struct Entry {
    Call call;
    Call then;  // may be empty
  };

  void runSlice();
  // The main queue dropped the slice unrun (it has shut down): drops the
  // calls and runs their continuations here.
  void abandon();
  void hold();
  void release();
  // Under mutex_: whether a slice is to be queued now (it then counts as
  // queued).
  bool shouldSchedule();
  // Queues a slice on the main queue; called without mutex_.
  void schedule();

  std::mutex mutex_;
  std::deque<Entry> calls_;  // Guarded by mutex_.
  bool scheduled_ = false;  // a slice is queued on the main queue. Guarded by mutex_.
  int held_ = 0;            // Holds in force. Guarded by mutex_.
};

}  // namespace valmor
