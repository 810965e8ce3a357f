#include "tools/cli/stop_signals.h"

#include <signal.h>

#include <atomic>
#include <cstdlib>
#include <thread>

#include "valmor/platform/main_queue.h"

namespace valmor {

namespace {
std::atomic<int> gSignal{0};
}  // namespace

void installStopSignals() {
  sigset_t set;
  sigemptyset(&set);
  for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&set, s);
  if (pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0) return;
  std::thread([set] {
    for (;;) {
      int signal = 0;
      if (sigwait(&set, &signal) != 0) continue;
      int none = 0;
      if (!gSignal.compare_exchange_strong(none, signal)) std::_Exit(128 + signal);
      mainQueue().post([] {});  // wakes the loop, which then sees the request
    }
  }).detach();
}

bool stopRequested() { return gSignal.load() != 0; }
int stopSignal() { return gSignal.load(); }

}  // namespace valmor
