// Makes races that only show under load show in a test: pins the whole
// process to one CPU and keeps that CPU busy with spinning threads, so that
// the scheduler interleaves the code under test with them at awkward
// points. Everything is undone when the object goes.
#pragma once

#include <sched.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace valmor::test {

class CpuLoad {
 public:
  explicit CpuLoad(int busyThreads = 2) {
    haveMask_ = ::sched_getaffinity(0, sizeof saved_, &saved_) == 0;
    int cpu = 0;
    while (haveMask_ && cpu < CPU_SETSIZE && !CPU_ISSET(cpu, &saved_)) ++cpu;
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(cpu, &one);
    // Threads started later inherit the mask, so the library's pool threads
    // (and the spinners below) run on this CPU too; threads that exist
    // already are moved one by one.
    pinAll(one);
    for (int i = 0; i < busyThreads; ++i)
      spinners_.emplace_back([this] {
        while (!stop_.load(std::memory_order_relaxed)) {
        }
      });
  }
  ~CpuLoad() {
    stop_ = true;
    for (auto& t : spinners_) t.join();
    if (haveMask_) pinAll(saved_);
  }
  CpuLoad(const CpuLoad&) = delete;
  CpuLoad& operator=(const CpuLoad&) = delete;

 private:
  // Every thread of the process, including the background pool's.
  static void pinAll(const cpu_set_t& mask) {
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator("/proc/self/task", ec)) {
      const pid_t tid = static_cast<pid_t>(std::stol(e.path().filename().string()));
      ::sched_setaffinity(tid, sizeof mask, &mask);
    }
    ::sched_setaffinity(0, sizeof mask, &mask);
  }

  cpu_set_t saved_{};
  bool haveMask_ = false;
  std::atomic<bool> stop_{false};
  std::vector<std::thread> spinners_;
};

}  // namespace valmor::test
