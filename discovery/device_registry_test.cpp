#include "valmor/discovery/device_registry.h"

#include <stdlib.h>

#include "valmor/discovery/device_registry_directory.h"
#include "valmor/discovery/device_registry_udev.h"
#include "discovery/testing/fake_device_registry.h"
#include "discovery/testing/hot_plug.h"
#include "platform/testing/pty.h"

namespace valmor {
namespace {

using namespace std::chrono_literals;
using test::collect;
using test::names;

// Restores the environment and the process registry after each test.
class DeviceRegistryFactoryTest : public test::HotPlugTest {
 protected:
  void SetUp() override {
    HotPlugTest::SetUp();
    if (const char* v = ::getenv("VALMOR_DEVICE_DIR")) saved_ = v;
  }
  void TearDown() override {
    if (saved_) {
      ::setenv("VALMOR_DEVICE_DIR", saved_->c_str(), 1);
    } else {
      ::unsetenv("VALMOR_DEVICE_DIR");
    }
    setDeviceRegistryForTesting(nullptr);
  }
  std::optional<std::string> saved_;
};

TEST_F(DeviceRegistryFactoryTest, DeviceDirectoryVariableChoosesTheDirectoryBackend) {
  test::TempDir dir;
  test::PtyPair pty;
  test::makeLink(pty.slavePath(), dir / "cu.sim");
  ::setenv("VALMOR_DEVICE_DIR", dir.path().c_str(), 1);
  setDeviceRegistryForTesting(nullptr);

  DeviceRegistry& registry = deviceRegistry();
  auto* directory = dynamic_cast<DirectoryDeviceRegistry*>(&registry);
  ASSERT_NE(directory, nullptr);
  EXPECT_EQ(directory->directory(), dir.path());
  EXPECT_EQ(names(collect(registry.serialStreamDevices())), std::vector<std::string>{"sim"});
  // Created once: later calls give the same registry.
  EXPECT_EQ(&deviceRegistry(), &registry);
}

TEST_F(DeviceRegistryFactoryTest, UnsetOrEmptyVariableChoosesUdev) {
  ::unsetenv("VALMOR_DEVICE_DIR");
  setDeviceRegistryForTesting(nullptr);
  EXPECT_NE(dynamic_cast<UdevDeviceRegistry*>(&deviceRegistry()), nullptr);

  ::setenv("VALMOR_DEVICE_DIR", "", 1);
  setDeviceRegistryForTesting(nullptr);
  EXPECT_NE(dynamic_cast<UdevDeviceRegistry*>(&deviceRegistry()), nullptr);
}

TEST_F(DeviceRegistryFactoryTest, InstalledRegistryWinsAndReplacedOnesStayUsable) {
  ::setenv("VALMOR_DEVICE_DIR", "/nonexistent-device-dir", 1);
  setDeviceRegistryForTesting(nullptr);
  DeviceRegistry& standard = deviceRegistry();

  auto fake = std::make_shared<test::FakeDeviceRegistry>();
  fake->setDevices({test::FakeDeviceRegistry::device("/dev/ttyUSB3")});
  setDeviceRegistryForTesting(fake);
  DeviceRegistry& installed = deviceRegistry();
  EXPECT_EQ(&installed, fake.get());
  EXPECT_EQ(names(collect(installed.serialStreamDevices())), std::vector<std::string>{"ttyUSB3"});

  // References given out earlier still work after replacement (ASan would
  // catch a registry freed too early).
  setDeviceRegistryForTesting(nullptr);
  fake.reset();
  EXPECT_EQ(installed.serialStreamDevices().next()->property(kIOTTYDevice), "ttyUSB3");
  EXPECT_EQ(standard.serialStreamDevices().next(), nullptr);
}

class FakeDeviceRegistryTest : public test::HotPlugTest {};

TEST_F(FakeDeviceRegistryTest, DeliversEventsOnTheMainQueueToLiveSubscriptionsOnly) {
  test::FakeDeviceRegistry fake;
  auto dev = test::FakeDeviceRegistry::device("/dev/ttyACM12");
  EXPECT_EQ(dev->property(kIOTTYBaseName), "ttyACM");
  EXPECT_EQ(dev->property(kIOTTYSuffix), "12");

  auto subscription = fake.subscribe(recordPublished(), recordTerminated());
  auto other = fake.subscribe(nullptr, nullptr);
  EXPECT_EQ(fake.subscriptionCount(), 2u);
  other.reset();
  EXPECT_EQ(fake.subscriptionCount(), 1u);

  fake.publish({dev});
  EXPECT_TRUE(events_.empty()) << "delivered inside publish()";
  fake.terminate({dev});
  ASSERT_TRUE(waitForEvents(2));
  EXPECT_TRUE(events_[0].published);
  EXPECT_FALSE(events_[1].published);
  EXPECT_TRUE(events_[0].onMainThread);

  fake.publish({dev});
  subscription.reset();
  pumpFor(50ms);
  EXPECT_EQ(events_.size(), 2u);

  fake.setSubscribeFails(true);
  EXPECT_EQ(fake.subscribe(nullptr, nullptr), nullptr);
}

}  // namespace
}  // namespace valmor
