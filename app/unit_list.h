// The VALMOR units present, as the window lists them: each unit's callout
// path, the title of its item in the unit popup, and the item's tooltip.
//
// The title is the unit's device name, its path without the device folder
// (and without the "cu." of a macOS-style name): ttyUSB0, usbserial-SIM0.
// Where the registry knows the adapter's product and serial number they
// follow it, so that two adapters can be told apart:
//   "ttyUSB0 \u2014 FT232R USB UART, serial A10K3M8P"
// The tooltip is the full path, and below it the maker, product and serial
// number that the registry knows.
//
// Threading: any thread; the window calls it on the GUI thread.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "valmor/discovery/device_registry.h"

namespace valmor {

struct Unit {
  std::string path;  // IOCalloutDevice
  std::string title;
  std::string tooltip;

  bool operator==(const Unit&) const = default;
};

// The popup entry of one registry device.
Unit unitFromDevice(const DeviceHandle& device);

// The units among the process registry's serial devices (unit_path.h), in
// registry order. Devices without a callout path are left out; a registry
// that cannot be read lists none.
std::vector<Unit> findUnits();

}  // namespace valmor
