// Following the system's sleep and wake. On Linux the login manager
// (logind) announces both with its PrepareForSleep signal on the system
// bus: true just before the system sleeps, false once it has woken.
//
// The watcher also holds a "delay" inhibitor lock while the system is
// awake, so that logind waits (up to its InhibitDelayMaxSec, 5 s by
// default) until the handler for going to sleep has returned on the main
// queue; the lock is then let go, and taken again after the wake. Where
// logind does not answer (no such service on the bus), the signals are
// still followed, without the delay.
//
// The bus is used on a thread of the watcher's own, never on the
// background pool. Without a bus (containers, a minimal system) watch()
// gives none and logs why; nothing else changes.
//
//   auto watcher = SystemSleepWatcher::watch([](bool goingToSleep) { ... });
//
// Threading: create and destroy on any thread; the handler runs on the main
// queue. Destroying the watcher stops it; no handler starts afterwards.
#pragma once

#include <functional>
#include <memory>
#include <string>

namespace valmor {

class SystemSleepWatcher {
 public:
  using Handler = std::function<void(bool goingToSleep)>;

  // Follows logind on the system bus, or on the bus at busAddress when
  // given (a private bus in tests). None when the bus cannot be reached.
  static std::unique_ptr<SystemSleepWatcher> watch(Handler handler, const std::string& busAddress = {});

  virtual ~SystemSleepWatcher() = default;

 protected:
  SystemSleepWatcher() = default;
};

}  // namespace valmor
