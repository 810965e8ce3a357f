// Finding the VALMOR unit among the serial devices of a device registry.
//
// A unit is a USB-serial adapter: on macOS its callout path is
// /dev/cu.usbserial-..., on Linux the device is ttyUSB<n>. So a device counts
// when its callout path, lower-cased, contains "usbserial", or when its TTY
// name is "ttyUSB" followed by digits.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "valmor/discovery/device_registry.h"

namespace valmor {

bool looksLikeUnit(std::string_view calloutPath, std::string_view ttyName);

// The callout path of the first device in the registry's order that looks
// like a unit, or none.
std::optional<std::string> findUnitPath(DeviceRegistry& registry);

// The port a command talks to: the path the user named, else the first unit
// of the registry, or none.
std::optional<std::string> portToUse(const std::optional<std::string>& named, DeviceRegistry& registry);

}  // namespace valmor
