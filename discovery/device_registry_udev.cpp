#include "discovery/device_registry_udev.h"

namespace valmor {

DeviceIterator UdevDeviceRegistry::serialStreamDevices() { return {}; }

std::unique_ptr<DeviceSubscription> UdevDeviceRegistry::subscribe(Callback, Callback) {
  return nullptr;
}

}  // namespace valmor
