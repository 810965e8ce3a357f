#include "valmor/discovery/device_registry_udev.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cstdio>
#include <fstream>
#include <regex>

#include "discovery/testing/hot_plug.h"
#include "platform/testing/pty.h"

namespace valmor::test {
namespace {

namespace fs = std::filesystem;

std::string readFile(const fs::path& path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return line;
}

// What /sys/class/tty says, read without udev: ttys bound to a device, with
// a device number, and (where the kernel reports it) a UART.
std::set<std::string> hardwareTtysInSysfs() {
  std::set<std::string> out;
  for (const auto& e : fs::directory_iterator("/sys/class/tty")) {
    const fs::path p = e.path();
    std::error_code ec;
    if (!fs::exists(p / "device", ec) || !fs::exists(p / "dev", ec)) continue;
    if (fs::exists(p / "type", ec) && readFile(p / "type") == "0") continue;
    out.insert(p.filename().string());
  }
  return out;
}

// The hot-plug fixture's main queue and registry go unused by the tests that
// only list.
class DeviceRegistryUdevTest : public HotPlugTest {};

TEST_F(DeviceRegistryUdevTest, ListsTheSerialPortsThatSysfsShows) {
  UdevDeviceRegistry registry;
  auto devices = collect(registry.serialStreamDevices());
  const auto listed = names(devices);

  std::printf("serial ports found by udev:");
  for (auto& d : devices) {
    std::printf(" %s (%s)", d->property(kIOTTYDevice)->c_str(),
                d->property(kIOCalloutDevice)->c_str());
  }
  std::printf("%s\n", devices.empty() ? " none (this machine has no real serial port)" : "");

  EXPECT_EQ(std::set<std::string>(listed.begin(), listed.end()), hardwareTtysInSysfs());
  EXPECT_EQ(std::set<std::string>(listed.begin(), listed.end()).size(), listed.size())
      << "a device is listed twice";

  const std::regex virtualTty("tty[0-9]*|console|ptmx|pts.*|tty|ttyprintk|vcs.*");
  for (const auto& name : listed) EXPECT_FALSE(std::regex_match(name, virtualTty)) << name;
}

TEST_F(DeviceRegistryUdevTest, PropertiesAgreeWithSysfsAndTheDeviceNodes) {
  UdevDeviceRegistry registry;
  auto devices = collect(registry.serialStreamDevices());
  if (devices.empty()) GTEST_SKIP() << "no serial port on this machine; plug in a USB adapter";

  for (const auto& d : devices) {
    const std::string name = *d->property(kIOTTYDevice);
    SCOPED_TRACE(name);
    const fs::path sys = fs::path("/sys/class/tty") / name;
    EXPECT_TRUE(fs::exists(sys / "device"));

    // The callout path is the node of this very device number.
    const std::string callout = d->property(kIOCalloutDevice).value_or("");
    struct stat st {};
    ASSERT_EQ(::stat(callout.c_str(), &st), 0) << callout;
    EXPECT_TRUE(S_ISCHR(st.st_mode));
    EXPECT_EQ(std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev)),
              readFile(sys / "dev"));

    // The dial-in path is the node itself or a by-id link to it.
    const std::string dialin = d->property(kIODialinDevice).value_or("");
    if (dialin != callout) {
      EXPECT_EQ(dialin.rfind("/dev/serial/by-id/", 0), 0u) << dialin;
      EXPECT_EQ(fs::canonical(dialin), fs::canonical(callout));
    }
    EXPECT_EQ(d->property(kIOTTYBaseName).value_or("") + d->property(kIOTTYSuffix).value_or(""),
              name);
    EXPECT_EQ(d->property(kIOSerialBSDClientType), std::string(kIOSerialStream));

    // USB adapters carry the ids of their USB device, found here by walking
    // up sysfs from the tty's device.
    std::optional<std::string> vendor;
    for (fs::path p = fs::canonical(sys / "device"); p != p.parent_path(); p = p.parent_path()) {
      if (fs::exists(p / "idVendor")) {
        vendor = readFile(p / "idVendor");
        EXPECT_EQ(d->property(kUSBProductID), readFile(p / "idProduct"));
        break;
      }
    }
    EXPECT_EQ(d->property(kUSBVendorID), vendor);

    std::error_code noDriver;
    const fs::path driver = fs::read_symlink(sys / "device" / "driver", noDriver);
    EXPECT_EQ(d->property(kDriverName),
              noDriver ? std::nullopt : std::optional(driver.filename().string()));
  }
}

// Ordered by base name, then by the suffix as a number.
TEST_F(DeviceRegistryUdevTest, OrderIsByBaseNameThenNumber) {
  UdevDeviceRegistry registry;
  auto devices = collect(registry.serialStreamDevices());
  for (size_t i = 1; i < devices.size(); ++i) {
    const auto baseA = *devices[i - 1]->property(kIOTTYBaseName);
    const auto baseB = *devices[i]->property(kIOTTYBaseName);
    EXPECT_LE(baseA, baseB);
    if (baseA == baseB) {
      EXPECT_LT(std::stoull("0" + *devices[i - 1]->property(kIOTTYSuffix)),
                std::stoull("0" + *devices[i]->property(kIOTTYSuffix)));
    }
  }
  if (devices.size() < 2) std::printf("fewer than two serial ports: order not exercised\n");
}

// Hot plug without unplugging: the kernel sends a synthetic remove and add
// for a port when they are written to its uevent file. Opt-in, since udevd
// (where one runs) acts on them, and the port may be a console in use.
TEST_F(DeviceRegistryUdevTest, SyntheticRemoveAndAddAreTerminatedAndPublished) {
  const char* tty = ::getenv("VALMOR_TEST_UEVENT_TTY");
  if (tty == nullptr || *tty == '\0') {
    GTEST_SKIP() << "set VALMOR_TEST_UEVENT_TTY to a serial port (ttyUSB0) whose "
                    "synthetic uevents may be sent; needs root";
  }
  UdevDeviceRegistry registry;
  auto subscription = registry.subscribe(recordPublished(), recordTerminated());
  ASSERT_NE(subscription, nullptr);
  const fs::path uevent = fs::path("/sys/class/tty") / tty / "uevent";
  std::ofstream(uevent) << "remove" << std::endl;
  ASSERT_TRUE(waitForEvents(1));
  std::ofstream(uevent) << "add" << std::endl;
  ASSERT_TRUE(waitForEvents(2));

  EXPECT_FALSE(events_[0].published);
  EXPECT_TRUE(events_[1].published);
  EXPECT_EQ(names(events_[0].devices), std::vector<std::string>{tty});
  EXPECT_EQ(names(events_[1].devices), std::vector<std::string>{tty});
  EXPECT_EQ(events_[0].devices[0]->properties(), events_[1].devices[0]->properties());
}

}  // namespace
}  // namespace valmor::test
