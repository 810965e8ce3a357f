// A serial port as valmor-cli lists it: one line of text, or a JSON object.
//
// Line: the callout path, the TTY name, then those of these that are known,
// each as a word and its value: driver, usb VID:PID, serial, by-id (the
// stable /dev/serial/by-id link udev made), and "unit" for a VALMOR unit:
//   /dev/ttyUSB0  ttyUSB0  driver ftdi_sio  usb 0403:6001  serial A10K  by-id /dev/serial/by-id/usb-…  unit
//
// JSON: {"path", "name", "dialinPath", "byId", "driver", "vendorId",
// "productId", "serialNumber", "manufacturer", "product", "unit"}; unknown
// values are null, "unit" is a boolean.
#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <string>

#include "valmor/discovery/device_registry.h"
#include "valmor/serial/serial_port.h"

namespace valmor {

struct PortListing {
  std::string path;
  std::string name;
  std::optional<std::string> dialinPath;
  std::optional<std::string> byId;
  std::optional<std::string> driver;
  std::optional<std::string> vendorId;
  std::optional<std::string> productId;
  std::optional<std::string> serialNumber;
  std::optional<std::string> manufacturer;
  std::optional<std::string> product;
  bool unit = false;
};

PortListing listingOf(const SerialPort& port);

std::string listingLine(const PortListing& listing);
nlohmann::json listingJson(const PortListing& listing);

}  // namespace valmor
