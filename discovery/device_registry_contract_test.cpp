// What every registry backend promises, run against each of them: the
// directory backend over pseudo-terminals, and udev over this machine.
#include "valmor/discovery/device_registry.h"

#include <sys/stat.h>

#include <future>

#include "valmor/discovery/device_registry_directory.h"
#include "valmor/discovery/device_registry_udev.h"
#include "discovery/testing/hot_plug.h"
#include "platform/testing/pty.h"
#include "platform/testing/wait.h"

namespace valmor::test {
namespace {

using namespace std::chrono_literals;

// One backend, set up with whatever devices it can have here.
class Backend {
 public:
  virtual ~Backend() = default;
  virtual DeviceRegistry& registry() = 0;
};

class DirectoryBackend : public Backend {
 public:
  DirectoryBackend() : registry_(dir_.path()) {
    for (int i = 0; i < 3; ++i) {
      ptys_.push_back(PtyPair());
      makeLink(ptys_.back().slavePath(), dir_ / ("cu.pty" + std::to_string(i)));
    }
    makeLink(ptys_[0].slavePath(), dir_ / "tty.pty0");
  }
  DeviceRegistry& registry() override { return registry_; }

 private:
  TempDir dir_;
  std::vector<PtyPair> ptys_;
  DirectoryDeviceRegistry registry_;
};

class UdevBackend : public Backend {
 public:
  DeviceRegistry& registry() override { return registry_; }

 private:
  UdevDeviceRegistry registry_;
};

struct BackendCase {
  std::string name;
  std::function<std::unique_ptr<Backend>()> make;
};

class DeviceRegistryContractTest : public HotPlugTest,
                                   public ::testing::WithParamInterface<BackendCase> {
 protected:
  void SetUp() override {
    HotPlugTest::SetUp();
    backend_ = GetParam().make();
  }
  DeviceRegistry& registry() { return backend_->registry(); }

  std::unique_ptr<Backend> backend_;
};

TEST_P(DeviceRegistryContractTest, EveryDeviceIsAnOpenableSerialStream) {
  auto devices = collect(registry().serialStreamDevices());
  if (devices.empty()) std::printf("%s lists no device here\n", GetParam().name.c_str());
  std::set<std::string> callouts;
  for (const auto& d : devices) {
    ASSERT_NE(d, nullptr);
    const auto name = d->property(kIOTTYDevice);
    ASSERT_TRUE(name.has_value());
    SCOPED_TRACE(*name);
    EXPECT_EQ(d->property(kIOSerialBSDClientType), std::string(kIOSerialStream));
    const auto suffix = d->property(kIOTTYSuffix).value_or("x");
    EXPECT_EQ(suffix.find_first_not_of("0123456789"), std::string::npos);
    EXPECT_EQ(d->property(kIOTTYBaseName).value_or("") + suffix, *name);

    // Callout and dial-in paths both name the same character device.
    const auto callout = d->property(kIOCalloutDevice);
    const auto dialin = d->property(kIODialinDevice);
    ASSERT_TRUE(callout && dialin);
    struct stat a {};
    struct stat b {};
    ASSERT_EQ(::stat(callout->c_str(), &a), 0);
    ASSERT_EQ(::stat(dialin->c_str(), &b), 0);
    EXPECT_TRUE(S_ISCHR(a.st_mode));
    EXPECT_EQ(a.st_rdev, b.st_rdev);
    EXPECT_TRUE(callouts.insert(*callout).second) << "listed twice";

    EXPECT_EQ(DeviceRegistry::property(d, kIOCalloutDevice), callout);
    EXPECT_EQ(DeviceRegistry::property(d, "NoSuchKey"), std::nullopt);
  }
  EXPECT_EQ(DeviceRegistry::property(nullptr, kIOCalloutDevice), std::nullopt);
}

TEST_P(DeviceRegistryContractTest, ListingIsStableAndWorksOnAnyThread) {
  auto here = collect(registry().serialStreamDevices());
  auto there = std::async(std::launch::async, [&] {
                 return collect(registry().serialStreamDevices());
               }).get();
  ASSERT_EQ(here.size(), there.size());
  for (size_t i = 0; i < here.size(); ++i) {
    EXPECT_EQ(here[i]->properties(), there[i]->properties());
  }
  DeviceIterator it = registry().serialStreamDevices();
  for (size_t i = 0; i < here.size(); ++i) ASSERT_NE(it.next(), nullptr);
  EXPECT_EQ(it.next(), nullptr);
  EXPECT_EQ(it.next(), nullptr);
}

TEST_P(DeviceRegistryContractTest, SubscriptionPublishesNothingPresentAndReleasesItsDescriptors) {
  const auto before = descriptorsBeforeSubscribing();

  auto subscription = registry().subscribe(recordPublished(), recordTerminated());
  ASSERT_NE(subscription, nullptr) << "this backend can watch for changes here";
  // Whatever the subscription opened is closed in child processes.
  for (int fd : openDescriptors()) {
    if (before.count(fd) != 0) continue;
    const int flags = ::fcntl(fd, F_GETFD);
    if (flags < 0) continue;  // the directory listing's own descriptor
    EXPECT_TRUE(flags & FD_CLOEXEC) << "descriptor " << fd << " is inherited by children";
  }
  pumpFor(200ms);  // nothing comes
  EXPECT_TRUE(events_.empty()) << "devices present at subscription were published";

  subscription.reset();
  EXPECT_TRUE(waitUntil([&] { return openDescriptors() == before; }));
}

INSTANTIATE_TEST_SUITE_P(
    Backends, DeviceRegistryContractTest,
    ::testing::Values(
        BackendCase{"directory", [] { return std::make_unique<DirectoryBackend>(); }},
        BackendCase{"udev", [] { return std::make_unique<UdevBackend>(); }}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace valmor::test
