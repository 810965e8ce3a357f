// Test support: a SerialPortHandler on a pseudo-terminal unit found through a
// directory device registry in a fresh temporary directory, with a main queue
// the test pumps. Log lines of the handler are captured in log().
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "discovery/device_registry.h"
#include "discovery/device_registry_directory.h"
#include "link/serial_port_handler.h"
#include "link/testing/pty_device.h"
#include "platform/main_queue.h"

namespace valmor::test {

class HandlerFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    queue_ = std::make_shared<RunLoopMainQueue>();
    setMainQueue(queue_);
    std::string pattern = (std::filesystem::temp_directory_path() / "link-test-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    setDeviceRegistryForTesting(std::make_shared<DirectoryDeviceRegistry>(dir_));
    device_ = std::make_unique<PtyDevice>(dir_);
    ASSERT_TRUE(device_->ready());
    handler_ = SerialPortHandler::create(log_);
    handler_->onOpened = [this] { ++opened_; };
    handler_->onClosed = [this] { ++closed_; };
    handler_->onError = [this](const PosixError& error) { errors_.push_back(error); };
    handler_->onDataReceived = [this](const std::string& text) { delivered_.push_back(text); };
  }

  void TearDown() override {
    // Let an open port close properly before its device goes.
    if (handler_) {
      if (auto port = handler_->serialPort(); port && port->isOpen()) {
        port->close();
        pumpUntil([&] { return !port->isOpen(); });
      }
    }
    handler_.reset();
    device_.reset();
    queue_->runFor(std::chrono::milliseconds(20));
    setDeviceRegistryForTesting(nullptr);
    queue_->shutDown();
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }

  // Runs main-queue tasks until done() or the time-out; gives done().
  template <typename Done>
  bool pumpUntil(Done done, std::chrono::milliseconds timeout = std::chrono::milliseconds(3000)) {
    return queue_->runUntil([&] { return done(); }, timeout);
  }

  // Opens the handler's port on the device and waits for the greeting.
  void openAndGreet() {
    handler_->openPort(device_->path());
    ASSERT_TRUE(handler_->serialPort()) << log_.str();
    ASSERT_TRUE(pumpUntil([&] { return opened_ > 0 || !errors_.empty(); })) << log_.str();
    ASSERT_EQ(opened_, 1) << log_.str();
    ASSERT_TRUE(device_->waitForBytes(1, std::chrono::milliseconds(3000)));
  }

  std::string logText() const { return log_.str(); }
  void clearLog() { log_.str(""); }

  std::shared_ptr<RunLoopMainQueue> queue_;
  std::string dir_;
  std::unique_ptr<PtyDevice> device_;
  std::ostringstream log_;
  std::shared_ptr<SerialPortHandler> handler_;
  int opened_ = 0;
  int closed_ = 0;
  std::vector<PosixError> errors_;
  std::vector<std::string> delivered_;
};

}  // namespace valmor::test
