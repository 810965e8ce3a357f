// Test support: a SerialPortHandler on a pseudo-terminal unit found through a
// directory device registry in a fresh temporary directory, with a main queue
// the test pumps. Log lines of the handler are captured in log().
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "discovery/testing/fixture.h"
#include "link/serial_port_handler.h"
#include "link/testing/pty_device.h"

namespace valmor::test {

// A log stream that keeps, for every line, the time its first character was
// written. The handler prints a write's log line just before the write, so
// these times bound from below when each write began.
class TimedLog : public std::streambuf {
 public:
  using Clock = std::chrono::steady_clock;
  struct Line {
    Clock::time_point start;
    std::string text;  // without its line feed
  };

  const std::string& str() const { return text_; }
  const std::vector<Line>& lines() const { return lines_; }
  void clear() {
    text_.clear();
    lines_.clear();
    atLineStart_ = true;
  }

 protected:
  int_type overflow(int_type c) override {
    if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
    const char ch = traits_type::to_char_type(c);
    if (atLineStart_) {
      lines_.push_back({Clock::now(), {}});
      atLineStart_ = false;
    }
    if (ch == '\n') {
      atLineStart_ = true;
    } else {
      lines_.back().text += ch;
    }
    text_ += ch;
    return c;
  }

 private:
  std::string text_;
  std::vector<Line> lines_;
  bool atLineStart_ = true;
};

class HandlerFixture : public Fixture {
 protected:
  void SetUp() override {
    Fixture::SetUp();
    useDirectoryRegistry();
    device_ = std::make_unique<PtyDevice>(dir_.path());
    ASSERT_TRUE(device_->ready());
    handler_ = SerialPortHandler::create(log_);
    handler_->onOpened = [this] { ++opened_; };
    handler_->onClosed = [this] { ++closed_; };
    handler_->onError = [this](const PosixError& error) { errors_.push_back(error); };
    handler_->onOpenFailed = [this](const PosixError& error) { openFailures_.push_back(error); };
    handler_->onDataReceived = [this](const std::string& text) { delivered_.push_back(text); };
  }

  void TearDown() override {
    // Let an open port close properly, its close reported, before its
    // device goes.
    if (handler_) {
      if (auto port = handler_->serialPort(); port && port->isOpen()) {
        const int closed = closed_;
        port->close();
        pump([&] { return !port->isOpen() && closed_ > closed; });
      }
    }
    handler_.reset();
    device_.reset();
    Fixture::TearDown();
  }

  // Opens the handler's port on the device and waits for the greeting.
  void openAndGreet() {
    handler_->openPort(device_->path());
    ASSERT_TRUE(handler_->serialPort()) << logText();
    ASSERT_TRUE(pump([&] { return opened_ > 0 || !errors_.empty(); })) << logText();
    ASSERT_EQ(opened_, 1) << logText();
    ASSERT_TRUE(device_->waitForBytes(1, std::chrono::milliseconds(3000)));
  }

  std::string logText() const { return logBuffer_.str(); }
  void clearLog() { logBuffer_.clear(); }

  std::unique_ptr<PtyDevice> device_;
  TimedLog logBuffer_;
  std::ostream log_{&logBuffer_};
  std::shared_ptr<SerialPortHandler> handler_;
  int opened_ = 0;
  int closed_ = 0;
  std::vector<PosixError> errors_;
  std::vector<PosixError> openFailures_;
  std::vector<std::string> delivered_;
};

}  // namespace valmor::test
