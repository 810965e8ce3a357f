#include "valmor/platform/observable.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/testing/wait.h"

namespace valmor::test {
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
  std::atomic<bool> removed{false};
  std::atomic<bool> finished{false};
  const Observable::Token token = t.addObserver("fileDescriptor", [&](const PropertyChange&) {
    inside = true;
    // A long call: it ends once removeObserver() has returned, which a
    // faulty one does at once, or else after half a second, while a sound
    // removeObserver() waits for it.
    waitUntil([&] { return removed.load(); }, std::chrono::milliseconds(500));
    finished = true;
  });
  std::thread announcer([&] { t.setFd(1); });
  ASSERT_TRUE(waitUntil([&] { return inside.load(); }));
  t.removeObserver(token);
  const bool finishedFirst = finished;
  removed = true;
  announcer.join();
  EXPECT_TRUE(finishedFirst) << "removeObserver returned while the callback was running";
}

}  // namespace
}  // namespace valmor::test
