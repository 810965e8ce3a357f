#include "valmor/serial/serial_port_manager.h"

#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <gmock/gmock.h>

#include <algorithm>
#include <any>
#include <iterator>
#include <map>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <thread>

#include "valmor/platform/notification_center.h"
#include "platform/testing/private_bus.h"
#include "serial/testing/plug_cycles.h"
#include "serial/testing/serial_port_fixture.h"

namespace valmor::test {
namespace {

using ::testing::ElementsAre;
using PortList = SerialPortManager::PortList;

std::vector<std::string> paths(const PortList& ports) {
  std::vector<std::string> out;
  for (const auto& p : ports) out.push_back(p->path());
  return out;
}

// Every notification the manager posts, with the list as it was then.
struct Posted {
  std::string name;
  PortList ports;
  std::vector<std::string> listedThen;
};

class NotificationLog {
 public:
  explicit NotificationLog(const std::shared_ptr<SerialPortManager>& manager) {
    auto& center = NotificationCenter::defaultCenter();
    for (auto [name, key] : {std::pair{kSerialPortWasConnectedNotification, kConnectedSerialPortsKey},
                             std::pair{kSerialPortWasDisconnectedNotification, kDisconnectedSerialPortsKey}}) {
      tokens_.push_back(center.addObserver(
          std::string(name), manager.get(), [this, manager = manager.get(), key](const Notification& n) {
            posted.push_back({n.name, std::any_cast<PortList>(n.userInfo.at(std::string(key))),
                              paths(manager->availablePorts())});
          }));
    }
  }
  ~NotificationLog() {
    for (auto t : tokens_) NotificationCenter::defaultCenter().removeObserver(t);
  }
  std::vector<Posted> posted;

 private:
  std::vector<NotificationCenter::Token> tokens_;
};

class SerialPortManagerTest : public SerialPortTest {
 protected:
  // Publishes the pseudo-terminal as DIR/cu.NAME, as a device plugged in.
  std::string plug(const PtyPair& pty, const std::string& name) {
    const std::string link = dir_ / ("cu." + name);
    std::filesystem::create_symlink(pty.slavePath(), link);
    slaves_.push_back(pty.slavePath());
    return link;
  }
  // The list's changes, as the observer of availablePorts hears them.
  Observable::Token recordChanges(SerialPortManager& manager, std::vector<PropertyChange>& into) {
    return manager.addObserver("availablePorts", [&into](const PropertyChange& c) { into.push_back(c); });
  }
};

TEST_F(SerialPortManagerTest, DevicesPresentAtStartAreListedInOrderWithoutNotification) {
  PtyPair a, b;
  const std::string linkB = plug(b, "b"), linkA = plug(a, "a");
  useDirectoryRegistry();
  auto manager = SerialPortManager::createForTesting();
  NotificationLog log(manager);
  EXPECT_THAT(paths(manager->availablePorts()), ElementsAre(linkA, linkB));
  EXPECT_EQ(manager->countOfAvailablePorts(), 2u);
  EXPECT_EQ(manager->objectInAvailablePortsAtIndex(1)->path(), linkB);
  EXPECT_FALSE(manager->objectInAvailablePortsAtIndex(2));
  pumpFor(100ms);  // nothing comes
  EXPECT_TRUE(log.posted.empty());
}

TEST_F(SerialPortManagerTest, PlugGivesOneInsertionThenOneConnectedNotification) {
  PtyPair a, b;
  plug(a, "a");
  useDirectoryRegistry();
  auto manager = SerialPortManager::createForTesting();
  NotificationLog log(manager);
  std::vector<PropertyChange> changes;
  recordChanges(*manager, changes);

  const std::string linkB = plug(b, "b");
  ASSERT_TRUE(pump([&] { return !log.posted.empty(); }));
  pumpFor(100ms);  // nothing more comes
  ASSERT_EQ(log.posted.size(), 1u);
  EXPECT_EQ(log.posted[0].name, "SerialPortWasConnectedNotification");
  EXPECT_THAT(paths(log.posted[0].ports), ElementsAre(linkB));
  EXPECT_EQ(log.posted[0].listedThen.size(), 2u);  // inserted before the post
  ASSERT_EQ(changes.size(), 1u);
  EXPECT_EQ(changes[0].kind, PropertyChange::Kind::Insertion);
  EXPECT_THAT(changes[0].indexes, ElementsAre(1u));
  EXPECT_EQ(manager->objectInAvailablePortsAtIndex(1), log.posted[0].ports[0]);
}

// The port of a removed device is cleaned up before it leaves the list: its
// delegate has heard of the removal and the port takes no more bytes; only
// then is the notification posted, with the very object its user holds.
TEST_F(SerialPortManagerTest, UnplugCleansUpBeforeTheListChangeAndNotifiesLast) {
  PtyPair a, b;
  const std::string linkA = plug(a, "a");
  plug(b, "b");
  useDirectoryRegistry();
  auto manager = SerialPortManager::createForTesting();
  NotificationLog log(manager);
  auto port = SerialPort::serialPortWithPath(linkA);
  ASSERT_EQ(manager->objectInAvailablePortsAtIndex(0), port);
  auto delegate = std::make_shared<RecordingDelegate>();
  openPort(*port, delegate);

  std::vector<std::string> atRemoval;
  manager->addObserver("availablePorts", [&](const PropertyChange& c) {
    EXPECT_EQ(c.kind, PropertyChange::Kind::Removal);
    EXPECT_THAT(c.indexes, ElementsAre(0u));
    atRemoval = delegate->kinds();
    atRemoval.push_back(port->sendData("x") ? "accepts bytes" : "takes no bytes");
    atRemoval.push_back(log.posted.empty() ? "not yet notified" : "notified");
  });
  std::filesystem::remove(linkA);
  ASSERT_TRUE(pump([&] { return !log.posted.empty(); }));
  EXPECT_THAT(atRemoval, ElementsAre("opened", "removed", "takes no bytes", "not yet notified"));
  ASSERT_EQ(log.posted.size(), 1u);
  EXPECT_EQ(log.posted[0].name, "SerialPortWasDisconnectedNotification");
  ASSERT_EQ(log.posted[0].ports.size(), 1u);
  EXPECT_EQ(log.posted[0].ports[0], port);
  EXPECT_THAT(log.posted[0].listedThen, ElementsAre(dir_ / "cu.b"));
  ASSERT_TRUE(pump([&] { return delegate->count("closed") == 1; }));
  EXPECT_FALSE(port->isOpen());
  EXPECT_EQ(delegate->count("removed"), 1);
}

// Every event posts, even when it changes nothing: a publish of a device
// already listed gives an empty connected list, and a terminate of a device
// never listed still cleans up and reports its port.
TEST_F(SerialPortManagerTest, EveryEventPostsEvenWhenTheListDoesNotChange) {
  const auto listed = FakeDeviceRegistry::device("/dev/fake-listed");
  const auto unlisted = FakeDeviceRegistry::device("/dev/fake-unlisted");
  fakeRegistry_->setDevices({listed});
  auto manager = SerialPortManager::createForTesting();
  NotificationLog log(manager);
  std::vector<PropertyChange> changes;
  recordChanges(*manager, changes);
  auto unlistedPort = SerialPort::serialPortWithDevice(unlisted);
  auto delegate = std::make_shared<RecordingDelegate>();
  unlistedPort->setDelegate(delegate);

  fakeRegistry_->publish({listed, listed});
  fakeRegistry_->terminate({unlisted});
  ASSERT_TRUE(pump([&] { return log.posted.size() == 2; }));
  EXPECT_EQ(log.posted[0].name, "SerialPortWasConnectedNotification");
  EXPECT_TRUE(log.posted[0].ports.empty());
  EXPECT_EQ(log.posted[1].name, "SerialPortWasDisconnectedNotification");
  ASSERT_EQ(log.posted[1].ports.size(), 1u);
  EXPECT_EQ(log.posted[1].ports[0], unlistedPort);
  EXPECT_EQ(delegate->count("removed"), 1);
  EXPECT_TRUE(changes.empty());
  EXPECT_THAT(paths(manager->availablePorts()), ElementsAre("/dev/fake-listed"));
}

TEST_F(SerialPortManagerTest, IndexedEditsAnnounceTheirIndexesAndRefuseBadOnes) {
  auto manager = SerialPortManager::createForTesting();
  std::vector<PropertyChange> changes;
  recordChanges(*manager, changes);
  PortList ports;
  for (const char* path : {"/dev/fake0", "/dev/fake1", "/dev/fake2", "/dev/fake3"})
    ports.push_back(SerialPort::serialPortWithDevice(FakeDeviceRegistry::device(path)));

  manager->insertAvailablePortsAtIndexes({ports[0], ports[2]}, {0, 1});
  manager->insertObjectInAvailablePortsAtIndex(ports[1], 1);
  manager->insertAvailablePortsAtIndexes({ports[3]}, {5});     // past the end: refused
  manager->insertAvailablePortsAtIndexes(ports, {0, 1});       // lengths differ: refused
  manager->removeAvailablePortsAtIndexes({2, 0});              // not ascending: refused
  EXPECT_THAT(paths(manager->availablePorts()), ElementsAre("/dev/fake0", "/dev/fake1", "/dev/fake2"));
  manager->removeAvailablePortsAtIndexes({0, 2});
  manager->removeObjectFromAvailablePortsAtIndex(3);           // out of range: refused
  EXPECT_THAT(paths(manager->availablePorts()), ElementsAre("/dev/fake1"));
  manager->setAvailablePorts({ports[3]});
  EXPECT_THAT(paths(manager->availablePorts()), ElementsAre("/dev/fake3"));

  using K = PropertyChange::Kind;
  ASSERT_EQ(changes.size(), 4u);
  EXPECT_EQ(changes[0].kind, K::Insertion);
  EXPECT_THAT(changes[0].indexes, ElementsAre(0u, 1u));
  EXPECT_THAT(changes[1].indexes, ElementsAre(1u));
  EXPECT_EQ(changes[2].kind, K::Removal);
  EXPECT_THAT(changes[2].indexes, ElementsAre(0u, 2u));
  EXPECT_EQ(changes[3].kind, K::Setting);
}

TEST_F(SerialPortManagerTest, SleepClosesAndRemembersTheOpenPortsAndWakeReopensThemInOrder) {
  PtyPair p0, p1, p2, p3;
  auto port0 = makePort(p0, "p0"), port1 = makePort(p1, "p1"), port2 = makePort(p2, "p2"),
       port3 = makePort(p3, "p3");
  auto manager = SerialPortManager::createForTesting();
  ASSERT_EQ(manager->countOfAvailablePorts(), 4u);
  auto delegate = std::make_shared<RecordingDelegate>();
  for (auto* port : {&port3, &port2, &port0}) openPort(**port, delegate);

  manager->systemDidWake();  // nothing remembered: nothing happens
  EXPECT_TRUE(port0->isOpen());
  manager->systemWillSleep();
  EXPECT_THAT(paths(manager->portsToReopenAfterSleep()),
              ElementsAre(port0->path(), port2->path(), port3->path()));
  ASSERT_TRUE(pump([&] { return !port0->isOpen() && !port2->isOpen() && !port3->isOpen(); }));
  EXPECT_FALSE(port1->isOpen());

  // port3's device went away during sleep: its reopen fails, and it is
  // forgotten all the same.
  std::filesystem::remove(port3->path());
  std::vector<std::string> opened;
  for (auto* port : {&port0, &port1, &port2, &port3}) {
    (*port)->addObserver("isOpen", [&opened, p = port->get()](const PropertyChange&) {
      if (p->isOpen()) opened.push_back(p->name());
    });
  }
  const int errorsBefore = delegate->count("error");
  manager->systemDidWake();
  EXPECT_TRUE(manager->portsToReopenAfterSleep().empty());
  EXPECT_THAT(opened, ElementsAre("p0", "p2"));
  ASSERT_TRUE(pump([&] { return delegate->count("error") == errorsBefore + 1; }));
  EXPECT_EQ(delegate->errors().back().path, port3->path());
  EXPECT_FALSE(port1->isOpen());
}

// Following the system: logind's PrepareForSleep (on a private bus here)
// closes the open ports before sleep and reopens them after wake.
TEST_F(SerialPortManagerTest, FollowsSystemSleepThroughLogind) {
  PrivateBus bus;
  if (bus.address().empty()) GTEST_SKIP() << "no dbus-daemon to run a private bus (install dbus-daemon)";
  FakeLogind logind(bus.address());
  ASSERT_TRUE(logind.ready());
  PtyPair pty;
  auto port = makePort(pty, "unit");
  auto manager = SerialPortManager::createForTesting();
  auto delegate = std::make_shared<RecordingDelegate>();
  openPort(*port, delegate);
  ASSERT_TRUE(manager->followSystemSleep(bus.address()));

  ASSERT_TRUE(logind.prepareForSleep(true));
  ASSERT_TRUE(pump([&] { return !port->isOpen(); }));
  EXPECT_THAT(paths(manager->portsToReopenAfterSleep()), ElementsAre(port->path()));
  ASSERT_TRUE(logind.prepareForSleep(false));
  ASSERT_TRUE(pump([&] { return port->isOpen(); }));
  EXPECT_TRUE(manager->portsToReopenAfterSleep().empty());
}

TEST_F(SerialPortManagerTest, SharedInstanceIsCreatedOnceFromAnyThread) {
  const auto before = fakeRegistry_->subscriptionCount();
  std::vector<std::future<std::shared_ptr<SerialPortManager>>> asked;
  for (int i = 0; i < 4; ++i)
    asked.push_back(std::async(std::launch::async, [] { return SerialPortManager::sharedSerialPortManager(); }));
  const auto shared = SerialPortManager::sharedSerialPortManager();
  for (auto& f : asked) EXPECT_EQ(f.get(), shared);
  EXPECT_EQ(fakeRegistry_->subscriptionCount(), before + 1);
}

// At exit every listed port is cleaned up and its device gets back the
// attributes it had. The port is opened in a child process (which runs this
// test again up to the statement, and is handed the parent's terminal
// through the environment); the parent checks the terminal after the child
// has exited.
TEST_F(SerialPortManagerTest, AtExitEveryListedPortIsCleanedUpAndItsDeviceRestored) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  constexpr const char* kInherited = "VALMOR_MANAGER_EXIT_TEST_TTY";
  PtyPair pty;
  const bool child = std::getenv(kInherited) != nullptr;
  const std::string slave = child ? std::getenv(kInherited) : pty.slavePath();
  termios before{};
  if (!child) {
    ASSERT_EQ(::tcgetattr(pty.master(), &before), 0);
    ::setenv(kInherited, slave.c_str(), 1);
  }
  EXPECT_EXIT(
      {
        std::filesystem::create_symlink(slave, dir_ / "cu.unit");
        useDirectoryRegistry();
        auto port = SerialPortManager::sharedSerialPortManager()->objectInAvailablePortsAtIndex(0);
        struct Printing : RecordingDelegate {
          void serialPortWasRemovedFromSystem(SerialPort& p) override { std::fprintf(stderr, "removed %s\n", p.name().c_str()); }
        };
        auto delegate = std::make_shared<Printing>();
        if (port) openPort(*port, delegate);
        std::exit(port && port->isOpen() ? 0 : 3);
      },
      ::testing::ExitedWithCode(0), "removed unit");
  ::unsetenv(kInherited);
  termios after{};
  ASSERT_EQ(::tcgetattr(pty.master(), &after), 0);
  EXPECT_EQ(after.c_lflag, before.c_lflag);
  EXPECT_EQ(after.c_iflag, before.c_iflag);
  EXPECT_EQ(after.c_cflag, before.c_cflag);
  EXPECT_EQ(::cfgetospeed(&after), ::cfgetospeed(&before));
}

// A unit plugged in and pulled out again and again, its port opened each
// time: every cycle is seen once, and nothing accumulates: no descriptor,
// no memory. (No work left running between cycles: the timing test below.)
TEST_F(SerialPortManagerTest, PlugUnplugCyclesAreEachSeenOnceAndLeaveNothingBehind) {
  constexpr int kCycles = 1000;
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
  // A sanitizer's own bookkeeping grows with every allocation, so resident
  // memory tells nothing there.
  constexpr bool kMemoryTells = false;
#else
  constexpr bool kMemoryTells = true;
#endif
  constexpr int kWarmUp = 20;
  useDirectoryRegistry();
  auto manager = SerialPortManager::createForTesting();
  PlugCycler cycler(*queue_, dir_.path(), manager);
  for (int i = 0; i < kWarmUp; ++i) ASSERT_TRUE(cycler.cycle()) << "warm-up cycle " << i;
  const auto descriptors = openDescriptors();
  const long resident = residentBytes();

  for (int i = kWarmUp; i < kCycles; ++i) ASSERT_TRUE(cycler.cycle()) << "cycle " << i;
  EXPECT_EQ(cycler.connected, kCycles);
  EXPECT_EQ(cycler.disconnected, kCycles);
  EXPECT_EQ(cycler.opened(), kCycles);
  EXPECT_EQ(cycler.closed(), kCycles);
  EXPECT_EQ(cycler.removed(), kCycles) << "a removal reported by both the hang-up and the registry";
  EXPECT_EQ(manager->countOfAvailablePorts(), 0u);
  // (Descriptors an earlier step left closing on the pool may take a moment.)
  // What each one refers to is read at once: a descriptor seen here may be
  // closed a moment later.
  std::string leaked;
  pump([&] {
    leaked.clear();
    const auto now = openDescriptors();
    std::vector<int> added;
    std::set_difference(now.begin(), now.end(), descriptors.begin(), descriptors.end(), std::back_inserter(added));
    for (const int fd : added) {
      std::error_code ignored;
      leaked += " " + std::to_string(fd) + " (" +
                std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(fd), ignored).string() + ")";
    }
    return leaked.empty();
  }, 2s);
  EXPECT_TRUE(leaked.empty()) << "descriptors leaked:" << leaked;
  if (kMemoryTells) {
    EXPECT_LT(residentBytes() - resident, 4L << 20) << "resident memory grew";
  }
}

// The CPU the manager uses while nothing happens.
class SerialPortManagerTimingTest : public SerialPortManagerTest {};

// Idle between cycles: the manager waits for events, it does not poll.
TEST_F(SerialPortManagerTimingTest, IdleBetweenPlugCyclesCostsNoCpu) {
  useDirectoryRegistry();
  auto manager = SerialPortManager::createForTesting();
  PlugCycler cycler(*queue_, dir_.path(), manager);
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(cycler.cycle()) << "warm-up cycle " << i;
  const auto descriptors = openDescriptors();
  for (int i = 0; i < 20; ++i) ASSERT_TRUE(cycler.cycle()) << "cycle " << i;
  // The last close ends on the pool once its descriptor is gone.
  EXPECT_TRUE(pump([&] {
    const auto now = openDescriptors();
    return std::includes(descriptors.begin(), descriptors.end(), now.begin(), now.end());
  }, 2s));
  auto cpu = [] {
    timespec ts{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec);
  };
  const auto cpuBefore = cpu();
  pumpFor(500ms);  // the idle while measured
  EXPECT_LT(cpu() - cpuBefore, 25ms) << "busy while nothing happens";
}

// Regression: a batch of the directory registry that looked several times
// reported every device gone before every new one, so a device new in one
// look and gone in the next was reported gone, then connected, and stayed
// listed for good.
TEST_F(SerialPortManagerTest, QuickPlugsAndUnplugsOfManyNamesLeaveTheListAsTheDirectory) {
  constexpr int kNames = 2000;
  constexpr int kPresentAtOnce = 4;
  useDirectoryRegistry();
  auto manager = SerialPortManager::createForTesting();
  NotificationLog log(manager);
  PtyPair pty;
  auto link = [&](int i) { return dir_ / ("cu.usbserial-" + std::to_string(i)); };
  for (int i = 0; i < kNames + kPresentAtOnce; ++i) {
    if (i < kNames) std::filesystem::create_symlink(pty.slavePath(), link(i));
    if (i >= kPresentAtOnce) std::filesystem::remove(link(i - kPresentAtOnce));
  }
  // Once a last device has come and gone, every earlier change has been seen.
  const std::string last = plug(pty, "last");
  ASSERT_TRUE(pump([&] { return paths(manager->availablePorts()) == std::vector<std::string>{last}; }, 10s))
      << ::testing::PrintToString(paths(manager->availablePorts()));
  std::filesystem::remove(last);
  ASSERT_TRUE(pump([&] { return manager->countOfAvailablePorts() == 0; }, 10s))
      << ::testing::PrintToString(paths(manager->availablePorts()));

  std::map<std::string, std::string> events;  // per path: c (connected), d (disconnected)
  for (const auto& posted : log.posted)
    for (const auto& port : posted.ports)
      events[port->path()] += posted.name == kSerialPortWasConnectedNotification ? 'c' : 'd';
  for (const auto& [path, seen] : events) {
    std::string alternating;
    for (std::size_t i = 0; i < seen.size(); ++i) alternating += i % 2 == 0 ? 'c' : 'd';
    EXPECT_TRUE(seen == alternating && seen.back() == 'd') << path << ": " << seen;
  }
}

}  // namespace
}  // namespace valmor::test
