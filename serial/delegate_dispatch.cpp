#include "serial/delegate_dispatch.h"

#include <exception>
#include <string>

#include "platform/log.h"
#include "platform/main_queue.h"

namespace valmor {

std::shared_ptr<DelegateDispatch> DelegateDispatch::create() {
  return std::make_shared<DelegateDispatch>(PrivateTag{});
}

void DelegateDispatch::queue(Call call) {
  {
    std::lock_guard lock(mutex_);
    calls_.push_back(std::move(call));
    if (scheduled_) return;
    scheduled_ = true;
  }
  // The task keeps the dispatch alive until its list is worked off.
  mainQueue().post([self = shared_from_this()] { self->runSlice(); });
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
    try {
      call();
    } catch (const std::exception& e) {
      logLine(std::string("Exception caught in a delegate call: ") + e.what());
    } catch (...) {
      logLine("Unknown exception caught in a delegate call");
    }
    if (std::chrono::steady_clock::now() >= end) break;
  }
  {
    std::lock_guard lock(mutex_);
    if (calls_.empty()) {
      scheduled_ = false;
      return;
    }
  }
  // The rest waits behind whatever else the main queue has to do.
  mainQueue().post([self = shared_from_this()] { self->runSlice(); });
}

}  // namespace valmor
