#include "app/unit_list.h"

#include "app/device_finder.h"
#include "app/unit_path.h"
#include "valmor/discovery/device_registry_udev.h"

namespace valmor {

namespace {

std::string property(const DeviceHandle& device, std::string_view key) {
  return DeviceRegistry::property(device, key).value_or(std::string());
}

}  // namespace

Unit unitFromDevice(const DeviceHandle& device) {
  Unit unit;
  unit.path = property(device, kIOCalloutDevice);
  unit.title = unitName(unit.path);
  const std::string maker = property(device, kUSBVendorName);
  const std::string product = property(device, kUSBProductName);
  const std::string serial = property(device, kUSBSerialNumber);

  std::string adapter = product;
  if (!serial.empty()) adapter += (adapter.empty() ? "serial " : ", serial ") + serial;
  if (!adapter.empty()) unit.title += " \u2014 " + adapter;

  unit.tooltip = unit.path;
  for (const auto& [caption, value] :
       {std::pair{"Maker: ", maker}, {"Product: ", product}, {"Serial number: ", serial}}) {
    if (!value.empty()) unit.tooltip += "\n" + std::string(caption) + value;
  }
  return unit;
}

std::vector<Unit> findUnits() {
  std::vector<Unit> units;
  DeviceIterator devices;
  if (DeviceFinder::findSerialServices(kIOSerialStream, devices) != kDeviceFinderSuccess) {
    return units;
  }
  while (DeviceHandle device = devices.next()) {
    Unit unit = unitFromDevice(device);
    if (!unit.path.empty() && isUnitPath(unit.path)) units.push_back(std::move(unit));
  }
  return units;
}

}  // namespace valmor
