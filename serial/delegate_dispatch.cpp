#include "serial/delegate_dispatch.h"

#include <algorithm>
#include <iterator>
#include <string>

#include "platform/log.h"
#include "platform/main_queue.h"

namespace valmor {

std::shared_ptr<DelegateDispatch> DelegateDispatch::create() {
  return std::make_shared<DelegateDispatch>(PrivateTag{});
}

void DelegateDispatch::schedule() {
  // The task keeps the dispatch alive until its list is worked off.
  mainQueue().post([self = shared_from_this()] { self->runSlice(); });
}

bool DelegateDispatch::shouldSchedule() {
  if (scheduled_ || held_ > 0 || calls_.empty()) return false;
  scheduled_ = true;
  return true;
}

void DelegateDispatch::queue(Call call) {
  bool post;
  {
    std::lock_guard lock(mutex_);
    calls_.push_back(std::move(call));
    post = shouldSchedule();
  }
  if (post) schedule();
}

void DelegateDispatch::queue(std::vector<Call> calls) {
  if (calls.empty()) return;
  bool post;
  {
    std::lock_guard lock(mutex_);
    calls_.insert(calls_.end(), std::make_move_iterator(calls.begin()), std::make_move_iterator(calls.end()));
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
  auto completion = std::make_shared<MainThreadCompletion>();
  queue([completion, call = std::move(call)] {
    struct Signal {
      MainThreadCompletion& c;
      ~Signal() { c.signal(); }
    } signal{*completion};
    call();
  });
  completion->wait(main);
}

// The calls of a slice are taken off the list together, and those that the
// slice's time left unrun go back to its front: the list's lock is taken
// twice a slice rather than once a call, which a reader queueing chunks at
// the same time would otherwise wait for call after call.
void DelegateDispatch::runSlice() {
  const auto end = std::chrono::steady_clock::now() + kSliceTime;
  std::vector<Call> slice;
  {
    std::lock_guard lock(mutex_);
    const auto n = std::min<std::size_t>(calls_.size(), kCallsPerSlice);
    slice.assign(std::make_move_iterator(calls_.begin()), std::make_move_iterator(calls_.begin() + n));
    calls_.erase(calls_.begin(), calls_.begin() + n);
  }
  std::size_t ran = 0;
  while (ran < slice.size()) {
    runLoggingExceptions(slice[ran++], "A delegate call");
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
