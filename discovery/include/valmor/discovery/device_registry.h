// The device registry: which serial devices this machine has, their
// properties, and when one is plugged in or pulled out.
//
// A registry lists serial stream devices. Each is a DeviceHandle: a shared,
// immutable record of the device's properties as read when it was found
// (copying a handle is retaining it; dropping it is releasing it). Properties
// are strings read by key; the keys below are the ones the serial library
// relies on.
//
// Backends: udev (the default, the machine's real serial ports) and a
// directory (when VALMOR_DEVICE_DIR names one: each entry cu.NAME in it is a
// device, which is how the simulated unit and the end-to-end tests publish
// pseudo-terminals). Tests may install a registry of their own.
//
// Threading: queries may be made on any thread. Hot-plug callbacks are
// delivered on the main queue.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "valmor/platform/export.h"

namespace valmor {

// Property keys.
inline constexpr std::string_view kIOCalloutDevice = "IOCalloutDevice";   // path to open
inline constexpr std::string_view kIODialinDevice = "IODialinDevice";     // a second path of it
inline constexpr std::string_view kIOTTYDevice = "IOTTYDevice";           // kernel name, ttyUSB0
inline constexpr std::string_view kIOTTYBaseName = "IOTTYBaseName";       // ttyUSB
inline constexpr std::string_view kIOTTYSuffix = "IOTTYSuffix";           // 0
inline constexpr std::string_view kIOSerialBSDClientType = "IOSerialBSDClientType";
inline constexpr std::string_view kIOSerialStream = "IOSerialStream";     // its only value here

class VALMOR_EXPORT Device {
 public:
  explicit Device(std::map<std::string, std::string, std::less<>> properties)
      : properties_(std::move(properties)) {}

  // The property's value, or none when the device does not have it.
  std::optional<std::string> property(std::string_view key) const {
    auto it = properties_.find(key);
    if (it == properties_.end()) return std::nullopt;
    return it->second;
  }
  const std::map<std::string, std::string, std::less<>>& properties() const { return properties_; }

 private:
  std::map<std::string, std::string, std::less<>> properties_;
};

using DeviceHandle = std::shared_ptr<const Device>;

// Yields devices one at a time; next() gives an empty handle at the end.
class VALMOR_EXPORT DeviceIterator {
 public:
  DeviceIterator() = default;
  explicit DeviceIterator(std::vector<DeviceHandle> devices) : devices_(std::move(devices)) {}
  DeviceHandle next() { return pos_ < devices_.size() ? devices_[pos_++] : nullptr; }

 private:
  std::vector<DeviceHandle> devices_;
  size_t pos_ = 0;
};

// Keeps a hot-plug registration alive; destroying it unregisters. After
// destruction no further callback of that registration starts.
class VALMOR_EXPORT DeviceSubscription {
 public:
  virtual ~DeviceSubscription() = default;
};

class VALMOR_EXPORT DeviceRegistry {
 public:
  // Receives the devices one hot-plug event concerns, on the main queue.
  using Callback = std::function<void(DeviceIterator)>;

  virtual ~DeviceRegistry() = default;

  // Every serial stream device present now, in the registry's order. A
  // registry that cannot be read gives an empty walk.
  virtual DeviceIterator serialStreamDevices() = 0;

  // Calls published with the devices that appear and terminated with those
  // that go, each on the main queue, for as long as the subscription lives.
  // Gives none when the registry cannot watch for changes.
  //
  // Devices present when subscribe() is called are not published: subscribe
  // first, then list with serialStreamDevices(), and nothing is missed (a
  // device that appears in between may be both listed and published). A
  // terminated device carries the properties it was published or present
  // with. Callbacks are never called inside subscribe(). Destroyed on the
  // main thread, a subscription calls nothing afterwards, not even an event
  // already queued.
  virtual std::unique_ptr<DeviceSubscription> subscribe(Callback published,
                                                        Callback terminated) = 0;

  // The property of a device, or none. Works on a device that has gone.
  static std::optional<std::string> property(const DeviceHandle& device, std::string_view key) {
    return device ? device->property(key) : std::nullopt;
  }
};

// The process's registry: the one installed for testing if any, otherwise a
// directory registry when VALMOR_DEVICE_DIR is set and non-empty, otherwise
// udev. Created on first use.
VALMOR_EXPORT DeviceRegistry& deviceRegistry();

// Installs a registry for the whole process (an empty pointer goes back to
// the default, which is then chosen again from the environment at next use).
// Handles from the registry replaced stay valid, and so do references that
// deviceRegistry() gave out earlier: replaced registries are kept alive.
VALMOR_EXPORT void setDeviceRegistryForTesting(std::shared_ptr<DeviceRegistry> registry);

}  // namespace valmor
