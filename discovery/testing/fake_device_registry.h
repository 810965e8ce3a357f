// A device registry for tests of code that uses one: the test sets the
// devices listed and triggers publish and terminate events by hand. Install
// it with setDeviceRegistryForTesting(). Test-only (target
// discovery_testing); never linked into programs.
//
//   auto fake = std::make_shared<FakeDeviceRegistry>();
//   auto dev = FakeDeviceRegistry::device("/dev/ttyUSB0");
//   fake->setDevices({dev});
//   fake->publish({dev});   // posted to the main queue, like a real backend
//
// Threading: every member may be called from any thread. Events are posted
// to the main queue and delivered to the subscriptions alive when they run,
// in the order terminated then published for one call of each.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "valmor/discovery/device_registry.h"
#include "discovery/device_registry_internal.h"
#include "valmor/platform/main_queue.h"

namespace valmor::test {

class FakeDeviceRegistry : public DeviceRegistry {
 public:
  // A serial stream device with the usual properties for calloutPath; the
  // TTY name is the path's last component unless given.
  static DeviceHandle device(const std::string& calloutPath, std::string ttyName = {},
                             std::string dialinPath = {}) {
    if (ttyName.empty()) ttyName = calloutPath.substr(calloutPath.find_last_of('/') + 1);
    if (dialinPath.empty()) dialinPath = calloutPath;
    return discovery_internal::makeSerialStreamDevice(calloutPath, std::move(dialinPath),
                                                      std::move(ttyName));
  }

  // What serialStreamDevices() lists from now on.
  void setDevices(std::vector<DeviceHandle> devices) {
    std::lock_guard lock(mutex_);
    devices_ = std::move(devices);
  }

  // Appends one device to what serialStreamDevices() lists.
  void addDevice(DeviceHandle device) {
    std::lock_guard lock(mutex_);
    devices_.push_back(std::move(device));
  }

  // When true, subscribe() gives none, as a registry that cannot watch.
  void setSubscribeFails(bool fails) { subscribeFails_ = fails; }

  // Delivers a publish or terminate event with these devices to every
  // subscription, on the main queue. The listed devices are not changed.
  void publish(std::vector<DeviceHandle> devices) { post(std::move(devices), true); }
  void terminate(std::vector<DeviceHandle> devices) { post(std::move(devices), false); }

  // The number of subscriptions not yet destroyed.
  size_t subscriptionCount() const {
    std::lock_guard lock(mutex_);
    size_t n = 0;
    for (auto& s : subscribers_) n += s.lock() ? 1 : 0;
    return n;
  }

  DeviceIterator serialStreamDevices() override {
    std::lock_guard lock(mutex_);
    return DeviceIterator(devices_);
  }

  std::unique_ptr<DeviceSubscription> subscribe(Callback published, Callback terminated) override {
    if (subscribeFails_) return nullptr;
    auto subscriber = std::make_shared<Subscriber>();
    subscriber->published = std::move(published);
    subscriber->terminated = std::move(terminated);
    std::lock_guard lock(mutex_);
    std::erase_if(subscribers_, [](const auto& weak) { return weak.expired(); });
    subscribers_.push_back(subscriber);
    return std::make_unique<Subscription>(std::move(subscriber));
  }

 private:
  struct Subscriber {
    std::atomic<bool> alive{true};
    Callback published;
    Callback terminated;
  };

  class Subscription : public DeviceSubscription {
   public:
    explicit Subscription(std::shared_ptr<Subscriber> s) : subscriber_(std::move(s)) {}
    ~Subscription() override { subscriber_->alive = false; }

   private:
    std::shared_ptr<Subscriber> subscriber_;
  };

  void post(std::vector<DeviceHandle> devices, bool published) {
    std::vector<std::shared_ptr<Subscriber>> targets;
    {
      std::lock_guard lock(mutex_);
      for (auto& weak : subscribers_) {
        if (auto s = weak.lock()) targets.push_back(std::move(s));
      }
    }
    mainQueue().post([targets = std::move(targets), devices = std::move(devices), published] {
      for (auto& s : targets) {
        if (!s->alive) continue;
        auto& callback = published ? s->published : s->terminated;
        if (callback) callback(DeviceIterator(devices));
      }
    });
  }

  mutable std::mutex mutex_;
  std::vector<DeviceHandle> devices_;                  // Guarded by mutex_.
  std::vector<std::weak_ptr<Subscriber>> subscribers_;  // Guarded by mutex_.
  std::atomic<bool> subscribeFails_{false};
};

}  // namespace valmor::test
