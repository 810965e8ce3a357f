// The shared set-up of the serial port tests: the base fixture (main queue,
// fake registry, temporary directory), pseudo-terminal devices published as
// cu.NAME links in that directory, and a wait at the end for every port the
// test made to finish closing.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <asio/steady_timer.hpp>

#include "discovery/testing/fixture.h"
#include "platform/background.h"
#include "platform/testing/pty.h"
#include "serial/lines/device_io.h"
#include "valmor/serial/serial_port.h"
#include "serial/testing/recording_delegate.h"

namespace valmor::test {

// The port's own descriptors: those on its device and its read watch.
inline int portDescriptors(const std::string& slavePath) {
  return descriptorsOpenOn(slavePath) + descriptorsOpenOn("anon_inode:[eventpoll]");
}

class SerialPortTest : public Fixture {
 protected:
  void SetUp() override {
    Fixture::SetUp();
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
    setDeviceIoForTesting(nullptr);
    Fixture::TearDown();
  }

  // Publishes the pseudo-terminal as DIR/cu.NAME (and DIR/tty.NAME) and
  // gives its port.
  std::shared_ptr<SerialPort> makePort(const PtyPair& pty, const std::string& name = "pty0") {
    const std::string callout = dir_ / ("cu." + name);
    const std::string dialin = dir_ / ("tty." + name);
    std::filesystem::create_symlink(pty.slavePath(), callout);
    std::filesystem::create_symlink(pty.slavePath(), dialin);
    fakeRegistry_->addDevice(FakeDeviceRegistry::device(callout, name, dialin));
    slaves_.push_back(pty.slavePath());
    auto port = SerialPort::serialPortWithPath(callout);
    made_.push_back(port);
    return port;
  }

  // Opens port for delegate without running the main queue, so that nothing
  // has been delivered yet.
  void openQuietly(SerialPort& port, const std::shared_ptr<SerialPortDelegate>& delegate) {
    port.setDelegate(delegate);
    port.open();
    ASSERT_TRUE(port.isOpen());
  }

  // Sets the delegate, opens, and runs the main queue until it is opened.
  void openPort(SerialPort& port, const std::shared_ptr<RecordingDelegate>& delegate) {
    port.setDelegate(delegate);
    port.open();
    ASSERT_TRUE(pump([&] { return delegate->count("opened") + delegate->count("error") > 0; }));
    ASSERT_TRUE(port.isOpen()) << delegate->errors().front().description();
  }

  std::vector<std::weak_ptr<SerialPort>> made_;
  std::vector<std::string> slaves_;
  int epollBaseline_ = 0;
  static constexpr const char* kEpoll = "anon_inode:[eventpoll]";
};

}  // namespace valmor::test
