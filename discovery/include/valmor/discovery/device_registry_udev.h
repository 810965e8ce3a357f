// The udev backend of the device registry: the machine's real serial ports.
//
// What counts as a serial port: a device of the "tty" subsystem with a device
// node that is bound to hardware, that is, its sysfs directory has a "device"
// link to a parent device (ttyUSB, ttyACM, ttyS, ttyAMA and the like).
// Virtual consoles (tty0..63), /dev/tty, /dev/console, ptmx and other devices
// under /devices/virtual have no such link, and pseudo-terminal slaves are not
// in sysfs at all, so none of them is listed. Serial-core ports for which the
// kernel found no UART (the spare ttyS1..ttyS31 of the 8250 driver) have the
// sysfs attribute "type" reading 0 and are left out; reading that attribute
// never opens the device, so it cannot hang or toggle modem lines. A port
// without the attribute is listed.
//
// Properties of a port:
//   IOCalloutDevice        the device node, /dev/ttyUSB0
//   IODialinDevice         its /dev/serial/by-id/ link when udev made one,
//                          else the device node
//   IOTTYDevice            the kernel name, ttyUSB0
//   IOTTYBaseName          the kernel name without its trailing digits, ttyUSB
//   IOTTYSuffix            only the trailing digits, 0
//   IOSerialBSDClientType  "IOSerialStream"
//   DriverName             the kernel driver of the port's device, ftdi_sio
//                          (when it has one)
// and, for USB adapters, those of the following that are known (from the USB
// device's sysfs attributes, else from udev's database):
//   USBVendorID, USBProductID   four lower-case hex digits, "0403"
//   USBSerialNumber, USBVendorName, USBProductName
//
// Order: by base name, then by suffix as a number (ttyS2 before ttyS10).
//
// Hot plug: a udev monitor on the tty subsystem: events as processed by
// udevd, or the kernel's own events when udevd is not running (containers). An added serial port is published; a removed one is terminated
// with the properties it was published (or found at subscription) with.
// Devices this subscription never knew are not reported as removed. When
// events were lost (the socket's buffer overflowed) the subscription compares
// a fresh enumeration with what it knew instead.
//
// Threading: every member may be called from any thread. Each call uses a
// udev context of its own, since libudev objects are not thread-safe.
// Callbacks run on the main queue.
#pragma once

#include <memory>
#include <string_view>

#include "valmor/platform/export.h"
#include "valmor/discovery/device_registry.h"

namespace valmor {

inline constexpr std::string_view kDriverName = "DriverName";
// Property keys of USB adapters.
inline constexpr std::string_view kUSBVendorID = "USBVendorID";
inline constexpr std::string_view kUSBProductID = "USBProductID";
inline constexpr std::string_view kUSBSerialNumber = "USBSerialNumber";
inline constexpr std::string_view kUSBVendorName = "USBVendorName";
inline constexpr std::string_view kUSBProductName = "USBProductName";

class VALMOR_EXPORT UdevDeviceRegistry : public DeviceRegistry {
 public:
  UdevDeviceRegistry() = default;

  // The serial ports present now. Gives an empty walk if udev cannot be used.
  DeviceIterator serialStreamDevices() override;

  // Ports present when this is called are the baseline and are not
  // published. Gives none when no udev monitor can be created (logged).
  // Destruction behaves as for DirectoryDeviceRegistry::subscribe.
  std::unique_ptr<DeviceSubscription> subscribe(Callback published, Callback terminated) override;
};

}  // namespace valmor
