// Helpers for the discovery tests: pseudo-terminals standing in for serial
// devices, a temporary directory, a main queue pumped by the test, and a
// recorder of hot-plug events. Test-only.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "discovery/device_registry.h"
#include "platform/main_queue.h"
#include "platform/testing/pty.h"
#include "platform/testing/temp_dir.h"
#include "platform/unique_fd.h"

namespace valmor::testing {

using namespace std::chrono_literals;

// A pseudo-terminal pair; the slave path is the device a test publishes.
struct Pty {
  UniqueFd master;
  std::string slavePath;

  static Pty open() {
    PtyEnds ends = openPty();
    if (!ends.master) ADD_FAILURE() << "cannot open a pseudo-terminal";
    return Pty{std::move(ends.master), std::move(ends.slavePath)};
  }
};

// A fresh directory under the system's temporary directory, removed with
// everything in it at the end.
class TempDir : public ::valmor::TempDir {
 public:
  TempDir() : ::valmor::TempDir("discovery") {
    if (path().empty()) ADD_FAILURE() << "mkdtemp failed";
  }
};

inline void makeLink(const std::string& target, const std::string& link) {
  ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0) << link << ": " << std::strerror(errno);
}

inline std::vector<DeviceHandle> collect(DeviceIterator it) {
  std::vector<DeviceHandle> out;
  while (auto d = it.next()) out.push_back(std::move(d));
  return out;
}

inline std::vector<std::string> names(const std::vector<DeviceHandle>& devices) {
  std::vector<std::string> out;
  for (auto& d : devices) out.push_back(d->property(kIOTTYDevice).value_or("?"));
  return out;
}

// The descriptors open in this process now.
inline std::set<int> openDescriptors() {
  std::set<int> fds;
  for (const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) {
    fds.insert(std::stoi(e.path().filename().string()));
  }
  return fds;
}

// One hot-plug event as a subscriber saw it.
struct Event {
  bool published;
  std::vector<DeviceHandle> devices;
  bool onMainThread;
};

// Installs a fresh main queue, owned by the test's thread, for each test.
class MainQueueTest : public ::testing::Test {
 protected:
  void SetUp() override {
    queue_ = std::make_shared<RunLoopMainQueue>();
    setMainQueue(queue_);
    // Pool threads are never joined, and one may still be returning from a
    // post to this queue when the process exits; the queue must not be
    // destroyed under it by static destructors.
    static auto* keptAlive = new std::vector<std::shared_ptr<RunLoopMainQueue>>;
    keptAlive->push_back(queue_);
  }

  DeviceRegistry::Callback recordPublished() { return record(true); }
  DeviceRegistry::Callback recordTerminated() { return record(false); }

  // Pumps the main queue until n events have come, or a generous time-out.
  bool waitForEvents(size_t n) {
    return queue_->runUntil([&] { return events_.size() >= n; }, 10s);
  }
  // Pumps the main queue for a while, for events that must not come.
  void pumpFor(std::chrono::milliseconds d) { queue_->runFor(d); }

  std::shared_ptr<RunLoopMainQueue> queue_;
  std::vector<Event> events_;

 private:
  DeviceRegistry::Callback record(bool published) {
    return [this, published](DeviceIterator it) {
      events_.push_back({published, collect(std::move(it)), queue_->isCurrent()});
    };
  }
};

}  // namespace valmor::testing
