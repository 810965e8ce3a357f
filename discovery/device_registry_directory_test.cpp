#include "valmor/discovery/device_registry_directory.h"

#include <sys/sysmacros.h>

#include <cstdio>
#include <filesystem>

#include "discovery/testing/hot_plug.h"
#include "platform/testing/pty.h"
#include "platform/testing/wait.h"

namespace valmor::test {
namespace {

using namespace std::chrono_literals;
using Properties = std::map<std::string, std::string, std::less<>>;

class DeviceRegistryDirectoryTest : public HotPlugTest {
 protected:
  DirectoryDeviceRegistry registry_{dir_.path()};
};

TEST_F(DeviceRegistryDirectoryTest, ListsCuEntriesSortedByNameWithTheirProperties) {
  PtyPair a;
  PtyPair b;
  makeLink(b.slavePath(), dir_ / "cu.usbserial-B2");
  makeLink(a.slavePath(), dir_ / "cu.alpha10");
  makeLink(a.slavePath(), dir_ / "tty.alpha10");

  auto devices = collect(registry_.serialStreamDevices());
  ASSERT_EQ(names(devices), (std::vector<std::string>{"alpha10", "usbserial-B2"}));
  EXPECT_EQ(devices[0]->properties(), (Properties{
                                          {"IOCalloutDevice", dir_ / "cu.alpha10"},
                                          {"IODialinDevice", dir_ / "tty.alpha10"},
                                          {"IOTTYDevice", "alpha10"},
                                          {"IOTTYBaseName", "alpha"},
                                          {"IOTTYSuffix", "10"},
                                          {"IOSerialBSDClientType", "IOSerialStream"},
                                      }));
  // Without tty.NAME the dial-in path is the callout path.
  EXPECT_EQ(devices[1]->properties(), (Properties{
                                          {"IOCalloutDevice", dir_ / "cu.usbserial-B2"},
                                          {"IODialinDevice", dir_ / "cu.usbserial-B2"},
                                          {"IOTTYDevice", "usbserial-B2"},
                                          {"IOTTYBaseName", "usbserial-B"},
                                          {"IOTTYSuffix", "2"},
                                          {"IOSerialBSDClientType", "IOSerialStream"},
                                      }));
}

TEST_F(DeviceRegistryDirectoryTest, IgnoresEntriesThatAreNotCalloutDevices) {
  PtyPair pty;
  makeLink(pty.slavePath(), dir_ / "cu.good");
  makeLink(pty.slavePath(), dir_ / "tty.only");     // dial-in name without cu.
  makeLink(pty.slavePath(), dir_ / "other");        // not cu.
  makeLink(pty.slavePath(), dir_ / "cu.");          // empty NAME
  makeLink(dir_ / "nowhere", dir_ / "cu.dangling");
  makeLink("/", dir_ / "cu.linktodir");
  std::filesystem::create_directory(dir_ / "cu.dir");
  std::fclose(std::fopen((dir_ / "cu.file").c_str(), "w"));
  makeLink(dir_ / "cu.file", dir_ / "cu.linktofile");
  // A dial-in entry that is no device does not count as the dial-in path.
  std::fclose(std::fopen((dir_ / "tty.good").c_str(), "w"));

  auto devices = collect(registry_.serialStreamDevices());
  ASSERT_EQ(names(devices), std::vector<std::string>{"good"});
  EXPECT_EQ(devices[0]->property(kIODialinDevice), dir_ / "cu.good");
}

TEST_F(DeviceRegistryDirectoryTest, CountsDeviceNodesAndLinksThroughLinks) {
  PtyPair pty;
  makeLink(pty.slavePath(), dir_ / "hop");
  makeLink(dir_ / "hop", dir_ / "cu.twohops");
  struct stat st {};
  ASSERT_EQ(::stat(pty.slavePath().c_str(), &st), 0);
  const bool madeNode = ::mknod((dir_ / "cu.node0").c_str(), S_IFCHR | 0600, st.st_rdev) == 0;

  auto devices = collect(registry_.serialStreamDevices());
  if (madeNode) {
    EXPECT_EQ(names(devices), (std::vector<std::string>{"node0", "twohops"}));
  } else {
    std::printf("mknod not permitted here; only the link through a link is checked\n");
    EXPECT_EQ(names(devices), std::vector<std::string>{"twohops"});
  }
}

TEST_F(DeviceRegistryDirectoryTest, AbsentDirectoryListsNothing) {
  DirectoryDeviceRegistry absent(dir_ / "missing/deeper");
  EXPECT_EQ(absent.serialStreamDevices().next(), nullptr);
  // A trailing slash is not doubled in the paths.
  PtyPair pty;
  makeLink(pty.slavePath(), dir_ / "cu.x");
  DirectoryDeviceRegistry slashed(dir_.path() + "//");
  auto devices = collect(slashed.serialStreamDevices());
  ASSERT_EQ(devices.size(), 1u);
  EXPECT_EQ(devices[0]->property(kIOCalloutDevice), dir_ / "cu.x");
}

TEST_F(DeviceRegistryDirectoryTest, EntryCreatedThenRemovedIsPublishedThenTerminatedOnTheMainThread) {
  PtyPair pty;
  auto subscription = registry_.subscribe(recordPublished(), recordTerminated());
  ASSERT_NE(subscription, nullptr);

  makeLink(pty.slavePath(), dir_ / "tty.unit0");
  makeLink(pty.slavePath(), dir_ / "cu.unit0");
  ASSERT_TRUE(waitForEvents(1));
  // The dial-in link goes first; the terminated device still carries the
  // properties it was published with.
  ASSERT_EQ(::unlink((dir_ / "tty.unit0").c_str()), 0);
  ASSERT_EQ(::unlink((dir_ / "cu.unit0").c_str()), 0);
  ASSERT_TRUE(waitForEvents(2));
  pumpFor(200ms);  // nothing more comes

  ASSERT_EQ(events_.size(), 2u);
  EXPECT_TRUE(events_[0].published);
  EXPECT_FALSE(events_[1].published);
  for (const Event& e : events_) {
    EXPECT_TRUE(e.onMainThread);
    ASSERT_EQ(names(e.devices), std::vector<std::string>{"unit0"});
    EXPECT_EQ(e.devices[0]->property(kIODialinDevice), dir_ / "tty.unit0");
  }
  EXPECT_EQ(events_[0].devices[0]->properties(), events_[1].devices[0]->properties());
}

TEST_F(DeviceRegistryDirectoryTest, DevicesPresentWhenSubscribingAreNotPublished) {
  PtyPair pty;
  makeLink(pty.slavePath(), dir_ / "cu.before");
  auto subscription = registry_.subscribe(recordPublished(), recordTerminated());
  makeLink(pty.slavePath(), dir_ / "cu.after");
  ASSERT_TRUE(waitForEvents(1));
  ASSERT_EQ(::unlink((dir_ / "cu.before").c_str()), 0);
  ASSERT_TRUE(waitForEvents(2));
  pumpFor(100ms);  // nothing more comes

  ASSERT_EQ(events_.size(), 2u);
  EXPECT_TRUE(events_[0].published);
  EXPECT_EQ(names(events_[0].devices), std::vector<std::string>{"after"});
  EXPECT_FALSE(events_[1].published);
  EXPECT_EQ(names(events_[1].devices), std::vector<std::string>{"before"});
}

TEST_F(DeviceRegistryDirectoryTest, ChangesToOtherEntriesGiveNoEvents) {
  PtyPair pty;
  auto subscription = registry_.subscribe(recordPublished(), recordTerminated());
  makeLink(pty.slavePath(), dir_ / "tty.x");
  makeLink(pty.slavePath(), dir_ / "other");
  makeLink(dir_ / "nowhere", dir_ / "cu.dangling");
  std::fclose(std::fopen((dir_ / "cu.file").c_str(), "w"));
  ASSERT_EQ(::unlink((dir_ / "other").c_str()), 0);

  // The watch still works afterwards; whatever the changes above gave would
  // have come before this entry's event, or with it.
  makeLink(pty.slavePath(), dir_ / "cu.x");
  ASSERT_TRUE(waitForEvents(1));
  EXPECT_TRUE(events_[0].published);
  EXPECT_EQ(names(events_[0].devices), std::vector<std::string>{"x"});
}

TEST_F(DeviceRegistryDirectoryTest, ManyEntriesAtOnceAreEachReportedOnce) {
  PtyPair pty;
  auto subscription = registry_.subscribe(recordPublished(), recordTerminated());
  constexpr int kCount = 40;
  for (int i = 0; i < kCount; ++i) makeLink(pty.slavePath(), dir_ / ("cu.p" + std::to_string(i)));
  std::multiset<std::string> published;
  ASSERT_TRUE(queue_->runUntil(
      [&] {
        published.clear();
        for (auto& e : events_)
          for (auto& n : names(e.devices)) published.insert(n);
        return published.size() >= kCount;
      },
      10s));
  for (int i = 0; i < kCount; ++i) ::unlink((dir_ / ("cu.p" + std::to_string(i))).c_str());
  const size_t publishEvents = events_.size();
  std::multiset<std::string> terminated;
  ASSERT_TRUE(queue_->runUntil(
      [&] {
        terminated.clear();
        for (size_t i = publishEvents; i < events_.size(); ++i)
          for (auto& n : names(events_[i].devices)) terminated.insert(n);
        return terminated.size() >= kCount;
      },
      10s));
  pumpFor(100ms);  // nothing more comes

  std::multiset<std::string> expected;
  for (int i = 0; i < kCount; ++i) expected.insert("p" + std::to_string(i));
  EXPECT_EQ(published, expected);
  EXPECT_EQ(terminated, expected);
  for (size_t i = 0; i < events_.size(); ++i) EXPECT_EQ(events_[i].published, i < publishEvents);
}

// A link replaced in one step by one to another device is a different
// device: the old one is terminated before the new one is published.
TEST_F(DeviceRegistryDirectoryTest, ReplacedEntryIsTerminatedThenPublishedAgain) {
  PtyPair first;
  PtyPair second;
  makeLink(first.slavePath(), dir_ / "cu.port");
  auto subscription = registry_.subscribe(recordPublished(), recordTerminated());
  makeLink(second.slavePath(), dir_ / "new");
  ASSERT_EQ(::rename((dir_ / "new").c_str(), (dir_ / "cu.port").c_str()), 0);
  ASSERT_TRUE(waitForEvents(2));
  pumpFor(100ms);  // nothing more comes

  ASSERT_EQ(events_.size(), 2u);
  EXPECT_FALSE(events_[0].published);
  EXPECT_TRUE(events_[1].published);
  EXPECT_EQ(names(events_[0].devices), std::vector<std::string>{"port"});
  EXPECT_EQ(names(events_[1].devices), std::vector<std::string>{"port"});
}

// A pseudo-terminal closed without its link being removed is a device that
// has gone, noticed at once; a new pseudo-terminal that takes the same
// number is a new device behind the old link.
TEST_F(DeviceRegistryDirectoryTest, LinkWhoseDeviceVanishesIsTerminatedAtOnce) {
  auto first = std::make_unique<PtyPair>();
  const std::string slave = first->slavePath();
  makeLink(slave, dir_ / "cu.unit");
  auto subscription = registry_.subscribe(recordPublished(), recordTerminated());
  first->closeMaster();
  ASSERT_TRUE(waitForEvents(1)) << "the vanished device was not noticed";
  EXPECT_FALSE(events_[0].published);
  EXPECT_EQ(names(events_[0].devices), std::vector<std::string>{"unit"});

  // The lowest free number is taken, which is most likely the one freed.
  auto second = std::make_unique<PtyPair>();
  if (second->slavePath() != slave) GTEST_SKIP() << "the pseudo-terminal got another number";
  ASSERT_TRUE(waitForEvents(2)) << "the device behind the old link was not published";
  EXPECT_TRUE(events_[1].published);
  EXPECT_EQ(names(events_[1].devices), std::vector<std::string>{"unit"});

  // Gone and back under the same number before anyone looks: still a
  // different device.
  second->closeMaster();
  PtyPair third;
  if (third.slavePath() != slave) GTEST_SKIP() << "the pseudo-terminal got another number";
  ASSERT_TRUE(waitForEvents(4));
  EXPECT_FALSE(events_[2].published);
  EXPECT_TRUE(events_[3].published);
}

TEST_F(DeviceRegistryDirectoryTest, DestroyedSubscriptionDeliversNothingAndClosesItsDescriptor) {
  const auto before = descriptorsBeforeSubscribing();
  PtyPair pty;
  auto subscription = registry_.subscribe(recordPublished(), recordTerminated());
  makeLink(pty.slavePath(), dir_ / "cu.late");
  // The event waits on the main queue; the subscription goes before it runs.
  ASSERT_TRUE(waitUntil([&] { return queue_->queuedTaskCount() > 0; })) << "no event was posted";
  subscription.reset();
  queue_->runPending();
  EXPECT_TRUE(events_.empty());

  pty.closeMaster();
  EXPECT_TRUE(waitUntil([&] { return openDescriptors() == before; })) << "the inotify descriptor was not closed";
  queue_->runPending();
  EXPECT_TRUE(events_.empty());
}

// A callback that destroys its own subscription stops the rest of the batch.
TEST_F(DeviceRegistryDirectoryTest, SubscriptionDestroyedInsideACallbackStopsTheBatch) {
  PtyPair first;
  PtyPair second;
  makeLink(first.slavePath(), dir_ / "cu.port");
  std::unique_ptr<DeviceSubscription> subscription;
  int published = 0;
  int terminated = 0;
  subscription = registry_.subscribe([&](DeviceIterator) { ++published; },
                                     [&](DeviceIterator) {
                                       ++terminated;
                                       subscription.reset();
                                     });
  makeLink(second.slavePath(), dir_ / "new");
  ASSERT_EQ(::rename((dir_ / "new").c_str(), (dir_ / "cu.port").c_str()), 0);
  ASSERT_TRUE(queue_->runUntil([&] { return terminated > 0; }, 10s));
  makeLink(second.slavePath(), dir_ / "cu.more");
  pumpFor(300ms);  // nothing more comes
  EXPECT_EQ(terminated, 1);
  EXPECT_EQ(published, 0);
}

TEST_F(DeviceRegistryDirectoryTest, DirectoryAbsentAtFirstThenCreatedRemovedAndBack) {
  const std::string parent = dir_ / "a";
  const std::string devices = dir_ / "a/b/devices";
  DirectoryDeviceRegistry registry(devices);
  auto subscription = registry.subscribe(recordPublished(), recordTerminated());
  ASSERT_NE(subscription, nullptr);

  // Whatever the absent directory gave would come before this event.
  PtyPair pty;
  std::filesystem::create_directories(devices);
  makeLink(pty.slavePath(), devices + "/cu.sim0");
  ASSERT_TRUE(waitForEvents(1));
  EXPECT_TRUE(events_[0].published);
  EXPECT_EQ(names(events_[0].devices), std::vector<std::string>{"sim0"});

  // Moved away with its entries: they are gone from the path watched.
  ASSERT_EQ(::rename(parent.c_str(), (dir_ / "elsewhere").c_str()), 0);
  ASSERT_TRUE(waitForEvents(2));
  EXPECT_FALSE(events_[1].published);
  EXPECT_EQ(names(events_[1].devices), std::vector<std::string>{"sim0"});

  // Changes in the old directory, now elsewhere, are not this registry's:
  // an event of theirs would come before the next one.
  makeLink(pty.slavePath(), dir_ / "elsewhere/b/devices/cu.stray");
  std::filesystem::create_directories(devices);
  makeLink(pty.slavePath(), devices + "/cu.sim1");
  ASSERT_TRUE(waitForEvents(3));
  EXPECT_EQ(names(events_[2].devices), std::vector<std::string>{"sim1"});

  std::filesystem::remove_all(parent);
  ASSERT_TRUE(waitForEvents(4));
  EXPECT_FALSE(events_[3].published);
  EXPECT_EQ(names(events_[3].devices), std::vector<std::string>{"sim1"});
  pumpFor(100ms);  // nothing more comes
  EXPECT_EQ(events_.size(), 4u);
}

// The CPU the registry uses while it waits.
class DeviceRegistryDirectoryTimingTest : public DeviceRegistryDirectoryTest {};

// While the directory is absent nothing is polled: the process stays idle.
TEST_F(DeviceRegistryDirectoryTimingTest, AbsentDirectoryCostsNoCpu) {
  DirectoryDeviceRegistry registry(dir_ / "never/there");
  auto subscription = registry.subscribe(recordPublished(), recordTerminated());
  ASSERT_NE(subscription, nullptr);
  const std::clock_t start = std::clock();
  pumpFor(500ms);
  const double cpuSeconds = double(std::clock() - start) / CLOCKS_PER_SEC;
  // Pumping the queue itself wakes every 10 ms at most; anything that spins
  // would use most of the half second.
  EXPECT_LT(cpuSeconds, 0.2);
  EXPECT_TRUE(events_.empty());
}

}  // namespace
}  // namespace valmor::test
