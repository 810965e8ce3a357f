#include "serial/port/delegate_dispatch.h"

#include <algorithm>
#include <iterator>
#include <string>

#include "platform/log.h"
#include "valmor/platform/main_queue.h"
#include "platform/thread_checks.h"

namespace valmor {

std::shared_ptr<DelegateDispatch> DelegateDispatch::create() {
  return std::make_shared<DelegateDispatch>(PrivateTag{});
}

void DelegateDispatch::schedule() {
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
      dispatch_->runSlice();
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

void DelegateDispatch::queueAndWait(Call call) {
  MainQueue& main = mainQueue();
  if (main.isCurrent()) {
    call();
    return;
  }
  VALMOR_CHECK_MAY_WAIT();
  auto completion = std::make_shared<MainThreadCompletion>();
  // Signalled after the call, or when a shut-down main queue drops it.
  queue(std::move(call), [completion] { completion->signal(); });
  completion->wait(main);
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

// The calls of a slice are taken off the list together, and those that the
// slice's time left unrun go back to its front: the list's lock is taken
// twice a slice rather than once a call, which a reader queueing chunks at
// the same time would otherwise wait for call after call.
void DelegateDispatch::runSlice() {
  VALMOR_CHECK_MAIN_THREAD();
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
    if (std::chrono::steady_clock::now() >= end) break;
  }
  bool post;
  {
    std::lock_guard lock(mutex_);
    calls_.insert(calls_.begin(), std::make_move_iterator(slice.begin() + ran),
                  std::make_move_iterator(slice.end()));
    scheduled_ = false;
    post = shouldSchedule();
  }
  // The rest waits behind whatever else the main queue has to do (or for
  // the hold to end).
  if (post) schedule();
}

}  // namespace valmor
