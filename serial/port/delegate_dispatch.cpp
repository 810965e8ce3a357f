#include "serial/port/delegate_dispatch.h"

#include <algorithm>
#include <condition_variable>
#include <iterator>
#include <string>
#include <utility>

#include "platform/log.h"
#include "serial/port/delivery_thread.h"
#include "valmor/platform/main_queue.h"

namespace valmor {

namespace {

// The dispatch whose calls this thread is making now, if any.
thread_local const DelegateDispatch* tRunning = nullptr;

class RunningHere {
 public:
  explicit RunningHere(const DelegateDispatch* d) : outer_(std::exchange(tRunning, d)) {}
  ~RunningHere() { tRunning = outer_; }
  RunningHere(const RunningHere&) = delete;
  RunningHere& operator=(const RunningHere&) = delete;

 private:
  const DelegateDispatch* outer_;
};

// The end of one call waited for on the library's threads, which never shut
// down.
struct Completion {
  void signal() {
    {
      std::lock_guard lock(mutex);
      done = true;
    }
    cv.notify_all();
  }
  void wait() {
    std::unique_lock lock(mutex);
    cv.wait(lock, [&] { return done; });
  }
  std::mutex mutex;
  std::condition_variable cv;
  bool done = false;  // Guarded by mutex.
};

}  // namespace

std::shared_ptr<DelegateDispatch> DelegateDispatch::create() {
  return std::make_shared<DelegateDispatch>(PrivateTag{});
}

void DelegateDispatch::setOnLibraryThreads(bool on) { onLibraryThreads_.store(on); }

bool DelegateDispatch::isRunningHere() const { return tRunning == this; }

bool DelegateDispatch::runsDirectlyHere() const {
  return onLibraryThreads() ? isRunningHere() : mainQueue().isCurrent();
}

bool DelegateDispatch::mayWaitHere() const {
  return mayWaitForMainThread() && tRunning == nullptr && !DeliveryThread::isCurrent();
}

void DelegateDispatch::schedule() {
  if (onLibraryThreads()) {
    DeliveryThread::post([self = shared_from_this()] { self->runSlice(/*onMain=*/false); });
  } else {
    scheduleOnMain();
  }
}

void DelegateDispatch::scheduleOnMain() {
  // Shared by the copies of the main-queue task, which keeps the dispatch
  // alive until its list is worked off. A task that the main queue drops
  // unrun (it has shut down) hands the list to abandon() as it goes.
  class Slice {
   public:
    explicit Slice(std::shared_ptr<DelegateDispatch> d) : dispatch_(std::move(d)) {}
    Slice(const Slice&) = delete;
    Slice& operator=(const Slice&) = delete;
    ~Slice() {
      if (!ran_) dispatch_->abandon();
    }
    void run() {
      ran_ = true;
      dispatch_->runSlice(/*onMain=*/true);
    }

   private:
    std::shared_ptr<DelegateDispatch> dispatch_;
    bool ran_ = false;
  };
  mainQueue().post([slice = std::make_shared<Slice>(shared_from_this())] { slice->run(); });
}

bool DelegateDispatch::shouldSchedule() {
  if (scheduled_ || held_ > 0 || calls_.empty()) return false;
  scheduled_ = true;
  return true;
}

void DelegateDispatch::queue(Call call) { queue(std::move(call), nullptr); }

void DelegateDispatch::queue(Call call, Call then) {
  bool post;
  {
    std::lock_guard lock(mutex_);
    calls_.push_back({std::move(call), std::move(then)});
    post = shouldSchedule();
  }
  if (post) schedule();
}

void DelegateDispatch::queue(std::vector<Call> calls) {
  if (calls.empty()) return;
  bool post;
  {
    std::lock_guard lock(mutex_);
    for (auto& call : calls) calls_.push_back({std::move(call), nullptr});
    post = shouldSchedule();
  }
  if (post) schedule();
}

void DelegateDispatch::hold() {
  std::lock_guard lock(mutex_);
  ++held_;
}

void DelegateDispatch::release() {
  bool post;
  {
    std::lock_guard lock(mutex_);
    --held_;
    post = shouldSchedule();
  }
  if (post) schedule();
}

DelegateDispatch::Turn::Turn(DelegateDispatch* dispatch)
    : dispatch_(dispatch), outer_(std::exchange(tRunning, dispatch)) {}

DelegateDispatch::Turn::~Turn() {
  if (!dispatch_) return;
  dispatch_->endTurn();
  tRunning = outer_;
}

DelegateDispatch::Turn DelegateDispatch::tryTakeTurn() {
  if (!onLibraryThreads()) return {};
  {
    std::lock_guard lock(mutex_);
    if (scheduled_ || held_ > 0 || !calls_.empty()) return {};
    scheduled_ = true;
  }
  return Turn(this);
}

// The calls queued during a turn are made by the thread that had it, until
// none is left; a hold or a change of delivery hands them on instead.
void DelegateDispatch::endTurn() {
  bool post;
  for (;;) {
    {
      std::lock_guard lock(mutex_);
      if (calls_.empty() || held_ > 0 || !onLibraryThreads()) {
        scheduled_ = false;
        post = shouldSchedule();
        break;
      }
    }
    runBatch();  // calls are waiting: make them, then look again
  }
  if (post) schedule();
}

void DelegateDispatch::queueAndWait(Call call) {
  if (runsDirectlyHere()) {
    RunningHere here(this);
    call();
    return;
  }
  VALMOR_CHECK_THREAD(mayWaitHere(), "nothing that can hold up delegate calls waits for one");
  if (onLibraryThreads()) {
    auto completion = std::make_shared<Completion>();
    queue(std::move(call), [completion] { completion->signal(); });
    completion->wait();
    return;
  }
  auto completion = std::make_shared<MainThreadCompletion>();
  // Signalled after the call, or when a shut-down main queue drops it.
  queue(std::move(call), [completion] { completion->signal(); });
  completion->wait(mainQueue());
}

void DelegateDispatch::abandon() {
  std::deque<Entry> dropped;
  {
    std::lock_guard lock(mutex_);
    dropped.swap(calls_);
    scheduled_ = false;
  }
  for (auto& entry : dropped) {
    entry.call = nullptr;  // what it holds goes first, as if it had run
    if (entry.then) runLoggingExceptions(entry.then, "A step after a delegate call");
  }
}

void DelegateDispatch::runSlice(bool onMain) {
  if (onMain == onLibraryThreads()) {
    // The delivery changed since this slice was queued: the list goes on
    // where the calls run now, still counted as scheduled.
    if (onMain) {
      DeliveryThread::post([self = shared_from_this()] { self->runSlice(/*onMain=*/false); });
    } else {
      scheduleOnMain();
    }
    return;
  }
  if (onMain) VALMOR_CHECK_MAIN_THREAD();
  runBatch();
  bool post;
  {
    std::lock_guard lock(mutex_);
    scheduled_ = false;
    post = shouldSchedule();
  }
  // The rest waits behind whatever else the main queue or the delivery
  // thread has to do (or for the hold to end).
  if (post) schedule();
}

// The calls of a batch are taken off the list together, and those that the
// slice's time left unrun go back to its front: the list's lock is taken
// twice a batch rather than once a call, which a reader queueing chunks at
// the same time would otherwise wait for call after call.
std::size_t DelegateDispatch::runBatch() {
  RunningHere here(this);
  const auto end = std::chrono::steady_clock::now() + kSliceTime;
  std::vector<Entry> slice;
  {
    std::lock_guard lock(mutex_);
    const auto n = std::min<std::size_t>(calls_.size(), kCallsPerSlice);
    slice.assign(std::make_move_iterator(calls_.begin()), std::make_move_iterator(calls_.begin() + n));
    calls_.erase(calls_.begin(), calls_.begin() + n);
  }
  std::size_t ran = 0;
  while (ran < slice.size()) {
    Entry& entry = slice[ran++];
    runLoggingExceptions(entry.call, "A delegate call");
    if (entry.then) runLoggingExceptions(entry.then, "A step after a delegate call");
    entry = {};  // what the call holds goes now: a chunk gives its place in the read-ahead back
    if (std::chrono::steady_clock::now() >= end) break;
  }
  if (ran < slice.size()) {
    std::lock_guard lock(mutex_);
    calls_.insert(calls_.begin(), std::make_move_iterator(slice.begin() + ran), std::make_move_iterator(slice.end()));
  }
  return ran;
}

}  // namespace valmor
