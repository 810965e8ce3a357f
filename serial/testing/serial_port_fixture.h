// The shared set-up of the serial port tests: a run loop installed as the
// main queue on the test's thread, a registry of pseudo-terminal devices
// published as cu.NAME links in a temporary directory, and a delegate that
// records what it is told.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <asio/steady_timer.hpp>

#include "platform/background.h"
#include "platform/main_queue.h"
#include "serial/device_io.h"
#include "serial/serial_port.h"
#include "discovery/fake_device_registry.h"
#include "serial/testing/pty.h"

namespace valmor::serial_testing {

using namespace std::chrono_literals;

struct DelegateEvent {
  std::string kind;  // "opened", "closed", "removed", "error", "data"
  std::vector<std::uint8_t> data;
  PosixError error;
  bool onMainThread = false;
};

class RecordingDelegate : public SerialPortDelegate {
 public:
  explicit RecordingDelegate(MethodSet implemented = kAllMethods) : SerialPortDelegate(implemented) {}

  // Runs inside each call, after it was recorded.
  std::function<void(SerialPort&, const std::string& kind)> hook;

  void serialPortWasRemovedFromSystem(SerialPort& p) override { record(p, "removed"); }
  void serialPortDidReceiveData(SerialPort& p, std::span<const std::uint8_t> data) override {
    record(p, "data", {data.begin(), data.end()});
  }
  void serialPortDidEncounterError(SerialPort& p, const PosixError& e) override { record(p, "error", {}, e); }
  void serialPortWasOpened(SerialPort& p) override { record(p, "opened"); }
  void serialPortWasClosed(SerialPort& p) override { record(p, "closed"); }

  std::vector<DelegateEvent> events() const {
    std::lock_guard lock(mutex_);
    return events_;
  }
  // The kinds of every call but data, in order.
  std::vector<std::string> kinds() const {
    std::vector<std::string> k;
    for (const auto& e : events())
      if (e.kind != "data") k.push_back(e.kind);
    return k;
  }
  int count(const std::string& kind) const {
    int n = 0;
    for (const auto& e : events()) n += e.kind == kind;
    return n;
  }
  std::string received() const {
    std::string all;
    for (const auto& e : events())
      if (e.kind == "data") all.append(e.data.begin(), e.data.end());
    return all;
  }
  std::vector<PosixError> errors() const {
    std::vector<PosixError> all;
    for (const auto& e : events())
      if (e.kind == "error") all.push_back(e.error);
    return all;
  }
  bool allOnMainThread() const {
    for (const auto& e : events())
      if (!e.onMainThread) return false;
    return true;
  }

 private:
  void record(SerialPort& port, const std::string& kind, std::vector<std::uint8_t> data = {},
              PosixError error = {}) {
    {
      std::lock_guard lock(mutex_);
      events_.push_back({kind, std::move(data), std::move(error), mainQueue().isCurrent()});
    }
    if (hook) hook(port, kind);
  }

  mutable std::mutex mutex_;
  std::vector<DelegateEvent> events_;  // Guarded by mutex_.
};

class SerialPortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    queue_ = std::make_shared<RunLoopMainQueue>();
    setMainQueue(queue_);
    registry_ = std::make_shared<FakeDeviceRegistry>();
    setDeviceRegistryForTesting(registry_);
    ASSERT_FALSE(dir_.path().empty());
    // The pool's reactor opens its own descriptors on first use; make sure
    // that has happened before a test counts descriptors.
    asio::steady_timer warmUp(backgroundContext());
    epollBaseline_ = descriptorsOpenOn(kEpoll);
  }

  void TearDown() override {
    for (auto& weak : made_)
      if (auto port = weak.lock()) port->close();
    // Ports the test dropped while open close in the background: wait for
    // every device descriptor and read watch to be gone, so that the next
    // test starts from a quiet process.
    EXPECT_TRUE(pump([&] {
      for (const auto& slave : slaves_)
        if (descriptorsOpenOn(slave) > 0) return false;
      return descriptorsOpenOn(kEpoll) <= epollBaseline_;
    })) << "a port of this test did not finish closing";
    queue_->shutDown();  // releases any background wait left on this queue
    setDeviceRegistryForTesting(nullptr);
    setDeviceIoForTesting(nullptr);
  }

  // Publishes the pseudo-terminal as DIR/cu.NAME (and DIR/tty.NAME) and
  // gives its port.
  std::shared_ptr<SerialPort> makePort(const PtyPair& pty, const std::string& name = "pty0") {
    const std::string callout = dir_ / ("cu." + name);
    const std::string dialin = dir_ / ("tty." + name);
    std::filesystem::create_symlink(pty.slavePath(), callout);
    std::filesystem::create_symlink(pty.slavePath(), dialin);
    registry_->addDevice(FakeDeviceRegistry::device(callout, name, dialin));
    slaves_.push_back(pty.slavePath());
    auto port = SerialPort::serialPortWithPath(callout);
    made_.push_back(port);
    return port;
  }

  // Sets the delegate, opens, and runs the main queue until it is opened.
  void openPort(SerialPort& port, const std::shared_ptr<RecordingDelegate>& delegate) {
    port.setDelegate(delegate);
    port.open();
    ASSERT_TRUE(pump([&] { return delegate->count("opened") + delegate->count("error") > 0; }));
    ASSERT_TRUE(port.isOpen()) << delegate->errors().front().description();
  }

  bool pump(const std::function<bool()>& done, std::chrono::milliseconds timeout = 5s) {
    return queue_->runUntil(done, timeout);
  }
  void pumpFor(std::chrono::milliseconds d) { queue_->runFor(d); }

  std::shared_ptr<RunLoopMainQueue> queue_;
  std::shared_ptr<FakeDeviceRegistry> registry_;
  TempDir dir_;
  std::vector<std::weak_ptr<SerialPort>> made_;
  std::vector<std::string> slaves_;
  int epollBaseline_ = 0;
  static constexpr const char* kEpoll = "anon_inode:[eventpoll]";
};

}  // namespace valmor::serial_testing
