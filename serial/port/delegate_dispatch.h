// DelegateDispatch: the order, the place and the pace in which a port's
// delegate hears of things. Every delegate call of a port goes through one
// first-in, first-out list, so the delegate hears of events in the order
// they happened: serialPortWasOpened before the bytes that were waiting at
// open, every chunk before the close that followed it. The calls run one at
// a time, on the port's delivery context:
//  - the main queue (the default): a main-queue task works the list off;
//  - the library's threads (setOnLibraryThreads): the thread that reads the
//    port's bytes makes the calls itself when nothing else is running them
//    (tryTakeTurn), and the delivery thread (delivery_thread.h) makes the
//    others (the opening, the close, errors of calls made elsewhere).
//
// Fairness: one task on the main queue or the delivery thread runs at most
// kCallsPerSlice calls, or calls for kSliceTime, whichever ends first; then
// it queues itself again behind whatever else is waiting there. A stream
// faster than its delegate therefore slows the delegate's deliveries, never
// the rest of the main thread (the window stays responsive), nor other
// ports' deliveries. Back-pressure is the reader's: the list only ever holds
// what the reader let through.
//
// Steps that must come after a delegate call (the close that follows a
// removal, the clearing of requests after a close) are queued with it as its
// continuation: they run once the call has returned, and no thread waits
// for the delivery context meanwhile. A main queue that has shut down drops
// the calls but still runs their continuations, on the thread that finds it
// shut down, so that a close never hangs on a main loop that has ended.
//
// Threading: queue() may be called from any thread, and never runs a call
// inside itself; the calls and their continuations run on the delivery
// context. queueAndWait() must not be called where waiting could deadlock
// (mayWaitHere(); checked in debug and sanitizer builds). A call that throws
// is logged and the rest go on.
#pragma once

#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/thread_checks.h"

namespace valmor {

class DelegateDispatch : public std::enable_shared_from_this<DelegateDispatch> {
  struct PrivateTag {};

 public:
  using Call = std::function<void()>;

  static constexpr int kCallsPerSlice = 64;
  static constexpr std::chrono::milliseconds kSliceTime{2};

  static std::shared_ptr<DelegateDispatch> create();
  explicit DelegateDispatch(PrivateTag) {}

  // Where the calls run from now on: the library's threads (true) or the
  // main queue. Calls queued before keep their place; the one running now
  // finishes where it is, and the rest follow on the new context.
  void setOnLibraryThreads(bool on);
  bool onLibraryThreads() const { return onLibraryThreads_.load(std::memory_order_relaxed); }

  // Queues a call behind every call queued before. Never runs it inside this
  // call.
  void queue(Call call);
  // The same, and then runs then on the delivery context right after the
  // call has returned (or thrown), before the next call. If the main queue
  // has shut down, the call is dropped and then runs at once on the thread
  // that finds it so.
  void queue(Call call, Call then);
  // Queues calls, in their order, as queue() would one by one; in one go, so
  // that the thread working the list off is woken once for all of them.
  void queue(std::vector<Call> calls);

  // Holds the calls back while calls that belong together are queued, so
  // that the delivery context is woken once for all of them rather than for
  // the first and again for the rest. Calls queued by other threads
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

  // On the library's threads, the right to make the delegate's calls on this
  // thread, directly, for as long as the turn lasts: given when no call is
  // waiting, running or held back, and empty otherwise (and always on the
  // main queue). Calls queued meanwhile, by any thread, wait for the turn's
  // end, where this thread makes them before it lets go.
  //
  //   if (auto turn = dispatch->tryTakeTurn()) { callTheDelegate(); } else { dispatch->queue(call); }
  class Turn {
   public:
    Turn() = default;
    ~Turn();
    Turn(const Turn&) = delete;
    Turn& operator=(const Turn&) = delete;
    explicit operator bool() const { return dispatch_ != nullptr; }

   private:
    friend class DelegateDispatch;
    explicit Turn(DelegateDispatch* dispatch);
    DelegateDispatch* dispatch_ = nullptr;
    const DelegateDispatch* outer_ = nullptr;
  };
  [[nodiscard]] Turn tryTakeTurn();

  // True inside one of this dispatch's calls or turns: where the delegate's
  // calls of the port may be made.
  bool isRunningHere() const;

  // True where a call queued now may be run directly instead of waited for
  // (queueAndWait): on the main thread for the main queue, inside one of
  // this dispatch's calls for the library's threads.
  bool runsDirectlyHere() const;

  // True where a thread may wait for this dispatch's calls: not on a thread
  // of the pool, nor inside a serial queue's task, nor on a thread that is
  // making delegate calls itself (the delivery thread, a reading thread in
  // its turn, the main thread for a port delivering elsewhere): waiting
  // there could wait for itself.
  bool mayWaitHere() const;

  // Queues a call and returns once it has run; where runsDirectlyHere(),
  // runs it at once instead, ahead of what is queued (waiting there would
  // never end). Returns without it having run if the main queue shuts down
  // first, so that a waiting thread never hangs on a main loop that has
  // ended.
  void queueAndWait(Call call);

 private:
  struct Entry {
    Call call;
    Call then;  // may be empty
  };

  // Runs one slice on the main queue (onMain) or the delivery thread; hands
  // the list to the other when the delivery has changed meanwhile.
  void runSlice(bool onMain);
  // Runs a batch of at most kCallsPerSlice calls, or for kSliceTime, and
  // puts what is left back at the front of the list. Gives the number run.
  std::size_t runBatch();
  // The main queue dropped the slice unrun (it has shut down): drops the
  // calls and runs their continuations here.
  void abandon();
  void hold();
  void release();
  // Under mutex_: whether a slice is to be queued now (it then counts as
  // queued).
  bool shouldSchedule();
  // Queues a slice on the delivery context; called without mutex_.
  void schedule();
  void scheduleOnMain();
  void endTurn();

  std::mutex mutex_;
  std::deque<Entry> calls_;  // Guarded by mutex_.
  // A slice is queued or running, or a turn is taken. Guarded by mutex_.
  bool scheduled_ = false;
  int held_ = 0;  // Holds in force. Guarded by mutex_.
  std::atomic<bool> onLibraryThreads_{false};
};

}  // namespace valmor

// The delegate calls of the port whose dispatch is given run only on its
// delivery context (debug and sanitizer builds).
#define VALMOR_CHECK_DELIVERY_CONTEXT(dispatch) \
  VALMOR_CHECK_THREAD((dispatch).isRunningHere(), "a port's delegate calls run on its delivery context only")
