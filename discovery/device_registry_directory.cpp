#include "discovery/device_registry_directory.h"

namespace valmor {

DirectoryDeviceRegistry::DirectoryDeviceRegistry(std::string dir) : dir_(std::move(dir)) {}

DeviceIterator DirectoryDeviceRegistry::serialStreamDevices() { return {}; }

std::unique_ptr<DeviceSubscription> DirectoryDeviceRegistry::subscribe(Callback, Callback) {
  return nullptr;
}

}  // namespace valmor
