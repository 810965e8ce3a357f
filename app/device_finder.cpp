#include "app/device_finder.h"

namespace valmor {

std::int32_t DeviceFinder::findSerialServices(std::string_view serialType,
                                              DeviceIterator& devices) {
  if (serialType.empty()) return kDeviceFinderFailure;
  std::vector<DeviceHandle> matching;
  DeviceIterator all = deviceRegistry().serialStreamDevices();
  while (DeviceHandle device = all.next()) {
    if (DeviceRegistry::property(device, kIOSerialBSDClientType) == serialType) {
      matching.push_back(std::move(device));
    }
  }
  devices = DeviceIterator(std::move(matching));
  return kDeviceFinderSuccess;
}

std::vector<std::string> DeviceFinder::calloutDevicePaths(DeviceIterator devices) {
  std::vector<std::string> paths;
  while (DeviceHandle device = devices.next()) {
    if (auto path = DeviceRegistry::property(device, kIOCalloutDevice); path && !path->empty()) {
      paths.push_back(std::move(*path));
    }
  }
  return paths;
}

}  // namespace valmor
