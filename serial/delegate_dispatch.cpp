#include "serial/delegate_dispatch.h"

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

void DelegateDispatch::runSlice() {
  const auto end = std::chrono::steady_clock::now() + kSliceTime;
  for (int n = 0; n < kCallsPerSlice; ++n) {
    Call call;
    {
      std::lock_guard lock(mutex_);
      if (calls_.empty()) {
        scheduled_ = false;
        return;
      }
      call = std::move(calls_.front());
      calls_.pop_front();
    }
    runLoggingExceptions(call, "A delegate call");
    if (std::chrono::steady_clock::now() >= end) break;
  }
  bool post;
  {
    std::lock_guard lock(mutex_);
    scheduled_ = false;
    post = shouldSchedule();
  }
  // The rest waits behind whatever else the main queue has to do (or for
  // the hold to end).
  if (post) schedule();
}

}  // namespace valmor
