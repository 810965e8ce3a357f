// Helpers for tests of hot plug: publishing a pseudo-terminal in a directory,
// walking a device iterator, and recording the events a subscription gets.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include <asio/steady_timer.hpp>
#include <gtest/gtest.h>

#include "valmor/discovery/device_registry.h"
#include "discovery/testing/fixture.h"
#include "platform/background.h"
#include "platform/testing/pty.h"

namespace valmor::test {

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

// One hot-plug event as a subscriber saw it.
struct Event {
  bool published;
  std::vector<DeviceHandle> devices;
  bool onMainThread;
};

// A fixture whose callbacks record every event in events_.
class HotPlugTest : public Fixture {
 protected:
  DeviceRegistry::Callback recordPublished() { return record(true); }
  DeviceRegistry::Callback recordTerminated() { return record(false); }

  // Pumps the main queue until n events have come, or a generous time-out.
  bool waitForEvents(size_t n) { return pump([&] { return events_.size() >= n; }, 10s); }

  // The descriptors open before a subscription is made, for a test that
  // checks it leaves none behind. The pool's reactor opens descriptors of
  // its own on first use, for good: that is done first.
  static std::set<int> descriptorsBeforeSubscribing() {
    asio::steady_timer warmUp(backgroundContext());
    return openDescriptors();
  }

  std::vector<Event> events_;

 private:
  DeviceRegistry::Callback record(bool published) {
    return [this, published](DeviceIterator it) {
      events_.push_back({published, collect(std::move(it)), queue_->isCurrent()});
    };
  }
};

}  // namespace valmor::test
