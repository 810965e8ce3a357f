// The texts valmor-cli tells its user when something is in the way, worded
// so that the user knows what to do next. Each is one line, without the
// "valmor-cli: " that leads every error line.
#pragma once

#include <optional>
#include <string>

#include "valmor/discovery/device_registry.h"
#include "valmor/platform/posix_error.h"

namespace valmor {

// Where serial devices come from: "udev" or "DIR (VALMOR_DEVICE_DIR)".
std::string whereDevicesAreLooked(DeviceRegistry& registry);

// Why the registry cannot be looked at, or none: VALMOR_DEVICE_DIR names a
// directory that is absent, no directory, or unreadable.
std::optional<std::string> registryUnusable(DeviceRegistry& registry);

// No VALMOR unit among the registry's devices; says where it looked (or,
// when the registry cannot be looked at, why).
std::string noUnitFound(DeviceRegistry& registry);

// path gives no port: it does not exist, or is no serial device.
std::string notASerialDevice(const std::string& path);

// Opening `what` (a text such as "the unit at PATH" or "PATH") failed with
// error: a lock held by another process, refused permission (which names
// the dialout group), a device that has gone, or the system's own text.
std::string openFailure(const std::string& what, const PosixError& error);

}  // namespace valmor
