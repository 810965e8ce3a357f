#include "platform/thread_checks.h"

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/background.h"
#include "platform/log.h"
#include "platform/serial_queue.h"

namespace valmor {

void threadCheckFailed(const char* rule, const char* file, int line) {
  logLine(std::string("Thread check failed at ") + file + ":" + std::to_string(line) + ": " + rule);
  std::fflush(stderr);
  std::abort();
}

bool mayWaitForMainThread() { return !isBackgroundThread() && !SerialQueue::isInsideAnyTask(); }

}  // namespace valmor
