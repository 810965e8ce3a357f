// Which serial devices are VALMOR units. A unit is a USB-serial adapter:
// macOS calls its device /dev/cu.usbserial-..., Linux /dev/ttyUSB<n>. So a
// callout path is a unit's when, lower-cased, it contains "usbserial", or
// when its last component is ttyUSB<n> (or cu.ttyUSB<n>, as the directory
// registry names a published ttyUSB device).
#pragma once

#include <string>
#include <string_view>

namespace valmor {

bool isUnitPath(std::string_view calloutPath);

// The title of the unit in the device popup: the path with every "/dev/cu."
// removed (case-sensitive), so that a macOS unit reads usbserial-A1.
std::string unitTitle(std::string_view calloutPath);

}  // namespace valmor
