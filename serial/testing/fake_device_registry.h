// A device registry whose devices a test adds and removes by hand.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "discovery/device_registry.h"

namespace valmor::serial_testing {

class FakeDeviceRegistry : public DeviceRegistry {
 public:
  // A serial stream device with these paths and TTY name.
  DeviceHandle add(const std::string& callout, const std::string& dialin, const std::string& tty) {
    auto device = std::make_shared<const Device>(std::map<std::string, std::string, std::less<>>{
        {std::string(kIOCalloutDevice), callout},
        {std::string(kIODialinDevice), dialin},
        {std::string(kIOTTYDevice), tty},
        {std::string(kIOSerialBSDClientType), std::string(kIOSerialStream)}});
    std::lock_guard lock(mutex_);
    devices_.push_back(device);
    return device;
  }

  DeviceIterator serialStreamDevices() override {
    std::lock_guard lock(mutex_);
    return DeviceIterator(devices_);
  }

  std::unique_ptr<DeviceSubscription> subscribe(Callback, Callback) override { return nullptr; }

 private:
  std::mutex mutex_;
  std::vector<DeviceHandle> devices_;  // Guarded by mutex_.
};

}  // namespace valmor::serial_testing
