#include "app/device_finder.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "app/unit_path.h"
#include "discovery/testing/fake_device_registry.h"

namespace valmor {
namespace {

using ::testing::ElementsAre;

TEST(UnitPathTest, UsbSerialAdaptersAreUnitsAndOtherSerialDevicesAreNot) {
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

TEST(UnitPathTest, TitleIsThePathWithoutEveryDevCu) {
  EXPECT_EQ(unitTitle("/dev/cu.usbserial-A1"), "usbserial-A1");
  EXPECT_EQ(unitTitle("/dev/ttyUSB0"), "/dev/ttyUSB0");
  EXPECT_EQ(unitTitle("/tmp/d/cu.usbserial-SIM0"), "/tmp/d/cu.usbserial-SIM0");
  EXPECT_EQ(unitTitle("/dev/cu.a/dev/cu.b"), "ab");
}

TEST(DeviceFinderTest, ListsEveryCalloutPathInRegistryOrder) {
  auto registry = std::make_shared<test::FakeDeviceRegistry>();
  registry->setDevices({test::FakeDeviceRegistry::device("/dev/ttyUSB1"),
                        std::make_shared<const Device>(
                            std::map<std::string, std::string, std::less<>>{
                                {std::string(kIOSerialBSDClientType), "IOSerialStream"}}),
                        test::FakeDeviceRegistry::device("/dev/ttyS0"),
                        test::FakeDeviceRegistry::device("/dev/ttyUSB0")});
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
}  // namespace valmor
