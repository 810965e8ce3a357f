// Run-time checks of the threading rules that the headers state ("only on
// the strand", "only on the main thread", "never waits on the pool"), in the
// manner of the sequence checkers of large C++ codebases: a call on the
// wrong thread stops the process with a line naming the rule and the place,
// so that a test fails there instead of racing.
//
//   void RequestQueue::clearRequestState() {
//     VALMOR_CHECK_THREAD(strand_->isCurrent(), "request state changes on the request-handling queue");
//     ...
//   }
//   VALMOR_CHECK_MAIN_THREAD();   // hot-plug events, main-queue slices
//   VALMOR_CHECK_MAY_WAIT();      // before waiting for the main thread
//
// A port's delegate calls and published input lines run on the port's
// delivery context, the main thread or the library's threads as the port
// is set: serial/port/delegate_dispatch.h checks them with
// VALMOR_CHECK_DELIVERY_CONTEXT, built on VALMOR_CHECK_THREAD.
//
// The checks are compiled in where VALMOR_THREAD_CHECKS is defined (debug
// and sanitizer builds); elsewhere they cost nothing and the condition is
// not evaluated.
//
// Threading: any thread.
#pragma once

namespace valmor {

#if defined(VALMOR_THREAD_CHECKS)
inline constexpr bool kThreadChecks = true;
#else
inline constexpr bool kThreadChecks = false;
#endif

// Logs "Thread check failed at FILE:LINE: RULE" and aborts.
[[noreturn]] void threadCheckFailed(const char* rule, const char* file, int line);

// True on the thread of the installed main queue (false while none is
// installed; never installs one).
bool isMainThread();

// True where a thread may wait for the main thread: not on a thread of the
// background pool, nor inside a task of a serial queue (which a thread
// waiting on that queue, the main thread among them, waits for in turn).
bool mayWaitForMainThread();

}  // namespace valmor

#if defined(VALMOR_THREAD_CHECKS)
#define VALMOR_CHECK_THREAD(condition, rule) \
  ((condition) ? static_cast<void>(0) : ::valmor::threadCheckFailed(rule, __FILE__, __LINE__))
#else
#define VALMOR_CHECK_THREAD(condition, rule) static_cast<void>(sizeof(!(condition)))
#endif

#define VALMOR_CHECK_MAIN_THREAD() VALMOR_CHECK_THREAD(::valmor::isMainThread(), "only on the main thread")
#define VALMOR_CHECK_MAY_WAIT() \
  VALMOR_CHECK_THREAD(::valmor::mayWaitForMainThread(), "no thread of the pool nor a serial queue's task waits for the main thread")
