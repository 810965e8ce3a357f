#include "tools/cli/unit_finder.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "valmor/discovery/device_registry_directory.h"
#include "platform/testing/temp_dir.h"

namespace valmor::test {
namespace {

TEST(UnitFinderTest, RecognisesUsbSerialAdaptersOnly) {
  struct Case {
    const char* callout;
    const char* name;
    bool unit;
  };
  const Case cases[] = {
      {"/dev/cu.usbserial-A1B2", "usbserial-A1B2", true},
      {"/tmp/d/cu.USBSerial-SIM0", "USBSerial-SIM0", true},
      {"/dev/ttyUSB0", "ttyUSB0", true},
      {"/dev/ttyUSB12", "ttyUSB12", true},
      {"/dev/ttyUSB", "ttyUSB", false},
      {"/dev/ttyUSBx", "ttyUSBx", false},
      {"/dev/ttyACM0", "ttyACM0", false},
      {"/dev/ttyS0", "ttyS0", false},
      {"/dev/cu.Bluetooth-Incoming-Port", "Bluetooth-Incoming-Port", false},
  };
  for (const Case& c : cases) EXPECT_EQ(looksLikeUnit(c.callout, c.name), c.unit) << c.callout;
}

TEST(UnitFinderTest, FindsTheFirstUnitOfADirectoryRegistry) {
  const TempDir tempDir("finder-test");
  ASSERT_FALSE(tempDir.path().empty());
  const std::string& dir = tempDir.path();
  DirectoryDeviceRegistry registry(dir);
  EXPECT_EQ(findUnitPath(registry), std::nullopt);

  // /dev/null is a character device, which is all the directory registry
  // asks of an entry.
  for (const char* name : {"cu.modem", "cu.usbserial-B", "cu.usbserial-A"}) {
    ASSERT_EQ(::symlink("/dev/null", (dir + "/" + name).c_str()), 0);
  }
  EXPECT_EQ(findUnitPath(registry), dir + "/cu.usbserial-A");
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace valmor::test
