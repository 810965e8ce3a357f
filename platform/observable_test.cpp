#include "valmor/platform/observable.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "valmor/platform/notification_center.h"
#include "valmor/platform/posix_error.h"

namespace valmor {
namespace {

class Thing : public Observable {
 public:
  Thing() {
    declareDependency("isOpen", "fileDescriptor");
    declareDependency("itemsCopy", "items");
  }
  void setFd(int fd) {
    fd_ = fd;
    didChange("fileDescriptor");
  }
  void insert(std::vector<size_t> i) { didInsert("items", std::move(i)); }
  void remove(std::vector<size_t> i) { didRemove("items", std::move(i)); }
  int fd_ = -1;
};

TEST(ObservableTest, DerivedPropertyIsAnnouncedAfterItsSource) {
  Thing t;
  std::vector<std::string> heard;
  t.addObserver("fileDescriptor", [&](const PropertyChange& c) { heard.push_back(c.property); });
  t.addObserver("isOpen", [&](const PropertyChange& c) { heard.push_back(c.property); });
  t.setFd(3);
  EXPECT_EQ(heard, (std::vector<std::string>{"fileDescriptor", "isOpen"}));
}

// A list derived from another (a copy of it) hears the same kinds and indexes.
TEST(ObservableTest, ListChangesCarryKindAndIndexes) {
  Thing t;
  std::vector<PropertyChange> heard;
  t.addObserver("items", [&](const PropertyChange& c) { heard.push_back(c); });
  t.addObserver("itemsCopy", [&](const PropertyChange& c) { heard.push_back(c); });
  t.insert({2, 3});
  t.remove({0});
  ASSERT_EQ(heard.size(), 4u);
  for (const std::size_t i : {0u, 1u}) {
    EXPECT_EQ(heard[i].kind, PropertyChange::Kind::Insertion);
    EXPECT_EQ(heard[i].indexes, (std::vector<size_t>{2, 3}));
    EXPECT_EQ(heard[i + 2].kind, PropertyChange::Kind::Removal);
    EXPECT_EQ(heard[i + 2].indexes, (std::vector<size_t>{0}));
  }
  EXPECT_EQ(heard[1].property, "itemsCopy");
}

TEST(ObservableTest, ObserverMayRemoveItselfWhileCalled) {
  Thing t;
  int calls = 0;
  Observable::Token token = 0;
  token = t.addObserver("fileDescriptor", [&](const PropertyChange&) {
    ++calls;
    t.removeObserver(token);
  });
  t.setFd(1);
  t.setFd(2);
  EXPECT_EQ(calls, 1);
}

// Regression: removeObserver() returned while the observer's callback was
// still running on another thread, so the caller could destroy what the
// callback was using.
TEST(ObservableTest, RemoveObserverWaitsForACallbackRunningElsewhere) {
  Thing t;
  std::atomic<bool> inside{false};
  std::atomic<bool> finished{false};
  const Observable::Token token = t.addObserver("fileDescriptor", [&](const PropertyChange&) {
    inside = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    finished = true;
  });
  std::thread announcer([&] { t.setFd(1); });
  while (!inside) std::this_thread::yield();
  t.removeObserver(token);
  EXPECT_TRUE(finished) << "removeObserver returned while the callback was running";
  announcer.join();
}

TEST(NotificationCenterTest, MatchesByNameAndSender) {
  NotificationCenter& nc = NotificationCenter::defaultCenter();
  int a = 0, b = 0;
  int senderA = 0, senderB = 0;
  std::vector<int> got;
  auto t1 = nc.addObserver("Ping", &senderA, [&](const Notification& n) {
    got.push_back(std::any_cast<int>(n.userInfo.at("Value")));
    ++a;
  });
  auto t2 = nc.addObserver("", nullptr, [&](const Notification&) { ++b; });
  nc.post({"Ping", &senderA, {{"Value", 7}}});
  nc.post({"Ping", &senderB, {{"Value", 8}}});
  nc.post({"Pong", &senderA, {}});
  nc.removeObserver(t1);
  nc.removeObserver(t2);
  nc.post({"Ping", &senderA, {{"Value", 9}}});
  EXPECT_EQ(a, 1);
  EXPECT_EQ(b, 3);
  EXPECT_EQ(got, std::vector<int>{7});
}

TEST(PosixErrorTest, DescriptionHoldsCodeTextAndPath) {
  PosixError e = PosixError::fromErrno(ENOENT, "/dev/cu.gone");
  EXPECT_EQ(e.value(), ENOENT);
  EXPECT_EQ(e.message(), "No such file or directory");
  EXPECT_EQ(e.description(), "/dev/cu.gone: No such file or directory (errno 2)");
  EXPECT_TRUE(isDeviceGone(EIO));
  EXPECT_TRUE(isDeviceGone(PosixError::fromErrno(ENXIO, "").code));
  EXPECT_FALSE(isDeviceGone(EAGAIN));
}

}  // namespace
}  // namespace valmor
