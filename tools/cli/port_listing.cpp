#include "tools/cli/port_listing.h"

#include "valmor/discovery/device_registry_udev.h"
#include "tools/cli/unit_finder.h"

namespace valmor {

PortListing listingOf(const SerialPort& port) {
  const DeviceHandle& device = port.device();
  auto get = [&](std::string_view key) { return DeviceRegistry::property(device, key); };
  PortListing l;
  l.path = port.path();
  l.name = port.name();
  l.dialinPath = get(kIODialinDevice);
  if (l.dialinPath && l.dialinPath->starts_with("/dev/serial/by-id/")) l.byId = l.dialinPath;
  l.driver = get(kDriverName);
  l.vendorId = get(kUSBVendorID);
  l.productId = get(kUSBProductID);
  l.serialNumber = get(kUSBSerialNumber);
  l.manufacturer = get(kUSBVendorName);
  l.product = get(kUSBProductName);
  l.unit = looksLikeUnit(l.path, get(kIOTTYDevice).value_or(""));
  return l;
}

std::string listingLine(const PortListing& l) {
  std::string line = l.path + "  " + (l.name.empty() ? "-" : l.name);
  auto add = [&](const char* word, const std::optional<std::string>& value) {
    if (value) line += std::string("  ") + word + " " + *value;
  };
  add("driver", l.driver);
  if (l.vendorId || l.productId) add("usb", l.vendorId.value_or("?") + ":" + l.productId.value_or("?"));
  add("serial", l.serialNumber);
  add("by-id", l.byId);
  if (l.unit) line += "  unit";
  return line;
}

nlohmann::json listingJson(const PortListing& l) {
  auto value = [](const std::optional<std::string>& v) { return v ? nlohmann::json(*v) : nlohmann::json(nullptr); };
  return {{"path", l.path},
          {"name", l.name},
          {"dialinPath", value(l.dialinPath)},
          {"byId", value(l.byId)},
          {"driver", value(l.driver)},
          {"vendorId", value(l.vendorId)},
          {"productId", value(l.productId)},
          {"serialNumber", value(l.serialNumber)},
          {"manufacturer", value(l.manufacturer)},
          {"product", value(l.product)},
          {"unit", l.unit}};
}

}  // namespace valmor
