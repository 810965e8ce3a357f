#include "app/device_finder.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "app/unit_list.h"
#include "app/unit_path.h"
#include "discovery/testing/fake_device_registry.h"

namespace valmor::test {
namespace {

using ::testing::ElementsAre;

TEST(DeviceFinderTest, UsbSerialAdaptersAreUnitsAndOtherSerialDevicesAreNot) {
  const struct {
    const char* path;
    bool unit;
  } cases[] = {
      {"/dev/cu.usbserial-A1", true},  {"/dev/cu.USBSerial-A1", true},
      {"/tmp/d/cu.usbSERIAL7", true},  {"/dev/ttyUSB0", true},
      {"/dev/ttyUSB12", true},         {"/tmp/d/cu.ttyUSB3", true},
      {"/dev/ttyUSB", false},          {"/dev/ttyUSB0x", false},
      {"/dev/ttyS0", false},           {"/dev/ttyACM0", false},
      {"/dev/cu.Bluetooth-Modem", false}, {"/dev/ttyUSB0/ttyS1", false},
  };
  for (const auto& c : cases) EXPECT_EQ(isUnitPath(c.path), c.unit) << c.path;
}

TEST(DeviceFinderTest, PopupShowsTheDeviceNameAndTheAdapterTheRegistryKnows) {
  const struct {
    const char* path;
    std::map<std::string, std::string, std::less<>> usb;
    const char* title;
    const char* tooltip;
  } cases[] = {
      {"/dev/ttyUSB0",
       {{"USBVendorName", "FTDI"}, {"USBProductName", "FT232R USB UART"},
        {"USBSerialNumber", "A10K3M8P"}},
       "ttyUSB0 \u2014 FT232R USB UART, serial A10K3M8P",
       "/dev/ttyUSB0\nMaker: FTDI\nProduct: FT232R USB UART\nSerial number: A10K3M8P"},
      {"/dev/ttyUSB1", {{"USBSerialNumber", "0001"}}, "ttyUSB1 \u2014 serial 0001",
       "/dev/ttyUSB1\nSerial number: 0001"},
      {"/dev/cu.usbserial-A1", {}, "usbserial-A1", "/dev/cu.usbserial-A1"},
      {"/tmp/d/cu.usbserial-SIM0", {}, "usbserial-SIM0", "/tmp/d/cu.usbserial-SIM0"},
      {"/tmp/d/cu.", {}, "cu.", "/tmp/d/cu."},
  };
  for (const auto& c : cases) {
    auto properties = FakeDeviceRegistry::device(c.path)->properties();
    properties.insert(c.usb.begin(), c.usb.end());
    const Unit unit = unitFromDevice(std::make_shared<const Device>(properties));
    EXPECT_EQ(unit.path, c.path);
    EXPECT_EQ(unit.title, c.title);
    EXPECT_EQ(unit.tooltip, c.tooltip);
  }
}

TEST(DeviceFinderTest, ListsEveryCalloutPathInRegistryOrder) {
  auto registry = std::make_shared<FakeDeviceRegistry>();
  registry->setDevices({FakeDeviceRegistry::device("/dev/ttyUSB1"),
                        std::make_shared<const Device>(
                            std::map<std::string, std::string, std::less<>>{
                                {std::string(kIOSerialBSDClientType), "IOSerialStream"}}),
                        FakeDeviceRegistry::device("/dev/ttyS0"),
                        FakeDeviceRegistry::device("/dev/ttyUSB0")});
  setDeviceRegistryForTesting(registry);

  DeviceIterator devices;
  ASSERT_EQ(DeviceFinder::findSerialServices(kIOSerialStream, devices), kDeviceFinderSuccess);
  // The device without a callout path is skipped; nothing is filtered or
  // sorted.
  EXPECT_THAT(DeviceFinder::calloutDevicePaths(std::move(devices)),
              ElementsAre("/dev/ttyUSB1", "/dev/ttyS0", "/dev/ttyUSB0"));

  DeviceIterator untouched;
  EXPECT_EQ(DeviceFinder::findSerialServices("", untouched), kDeviceFinderFailure);
  EXPECT_EQ(untouched.next(), nullptr);
  setDeviceRegistryForTesting(nullptr);
}

}  // namespace
}  // namespace valmor::test
