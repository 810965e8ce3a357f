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

// The device name of a unit: its path without the device folder, and without
// the "cu." that macOS-style names begin with: /dev/ttyUSB0 gives ttyUSB0,
// /dev/cu.usbserial-A1 and DIR/cu.usbserial-A1 give usbserial-A1.
std::string unitName(std::string_view calloutPath);

}  // namespace valmor
