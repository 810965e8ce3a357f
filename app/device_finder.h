// DeviceFinder: the callout paths of the serial devices on this machine, as
// the device registry lists them (valmor/discovery/device_registry.h). It does not
// pick out the VALMOR units; the window does that (unit_path.h). It logs
// nothing and keeps no state.
//
//   DeviceIterator devices;
//   std::vector<std::string> paths;
//   if (DeviceFinder::findSerialServices(kIOSerialStream, devices) == kDeviceFinderSuccess)
//     paths = DeviceFinder::calloutDevicePaths(std::move(devices));
//
// Threading: any thread; the window calls it on the GUI thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "valmor/discovery/device_registry.h"

namespace valmor {

inline constexpr std::int32_t kDeviceFinderSuccess = 0;
inline constexpr std::int32_t kDeviceFinderFailure = 5;

class DeviceFinder {
 public:
  DeviceFinder() = delete;

  // Sets `devices` to the process registry's serial devices whose
  // IOSerialBSDClientType is `serialType`, in registry order, and gives
  // kDeviceFinderSuccess; gives kDeviceFinderFailure, leaving `devices`
  // alone, when `serialType` is empty. A registry that cannot be read lists
  // nothing.
  static std::int32_t findSerialServices(std::string_view serialType, DeviceIterator& devices);

  // The IOCalloutDevice path of each device, in the order given. A device
  // without one is skipped: only paths that can be opened are of use.
  static std::vector<std::string> calloutDevicePaths(DeviceIterator devices);
};

}  // namespace valmor
