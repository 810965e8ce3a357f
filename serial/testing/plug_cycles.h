// Plugging and unplugging a simulated unit under a SerialPortManager, over
// and over, with its port opened each time: the cycle of the manager's
// leak test and of its benchmark.
//
// One cycle: a new pseudo-terminal is published as DIR/cu.usbserial-CYCLE
// (as a USB adapter plugged in gets a new device node); once the manager
// has posted its connected notification, the listed port is opened; then
// the link is removed and the master closed (the adapter pulled out: the
// port's line hangs up), and the cycle ends once the disconnected
// notification has come and the port has closed.
//
// Threading: the main thread of the queue given.
#pragma once

#include <any>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "valmor/platform/main_queue.h"
#include "valmor/platform/notification_center.h"
#include "platform/testing/pty.h"
#include "platform/testing/wait.h"
#include "valmor/serial/serial_port_delegate.h"
#include "valmor/serial/serial_port_manager.h"

namespace valmor::test {

class PlugCycler {
 public:
  using Clock = std::chrono::steady_clock;

  PlugCycler(RunLoopMainQueue& queue, std::string dir, std::shared_ptr<SerialPortManager> manager)
      : queue_(queue), link_(std::move(dir) + "/cu.usbserial-CYCLE"), manager_(std::move(manager)),
        delegate_(std::make_shared<Counting>()) {
    auto& center = NotificationCenter::defaultCenter();
    tokens_.push_back(center.addObserver(std::string(kSerialPortWasConnectedNotification), manager_.get(),
                                         [this](const Notification& n) {
                                           connectedAt_ = Clock::now();
                                           connected += ports(n, kConnectedSerialPortsKey) == 1;
                                         }));
    tokens_.push_back(center.addObserver(std::string(kSerialPortWasDisconnectedNotification), manager_.get(),
                                         [this](const Notification& n) {
                                           disconnected += ports(n, kDisconnectedSerialPortsKey) == 1;
                                         }));
  }
  ~PlugCycler() {
    for (auto t : tokens_) NotificationCenter::defaultCenter().removeObserver(t);
  }
  PlugCycler(const PlugCycler&) = delete;
  PlugCycler& operator=(const PlugCycler&) = delete;

  // One cycle; false when a step did not come within 5 s. plugToNotification
  // is the time from publishing the link to the connected notification.
  bool cycle(Clock::duration* plugToNotification = nullptr) {
    PtyPair unit;
    if (!unit.valid()) return false;
    const int connectedBefore = connected, disconnectedBefore = disconnected;
    const int openedBefore = delegate_->opened, closedBefore = delegate_->closed;
    const auto plugged = Clock::now();
    std::error_code ec;
    std::filesystem::create_symlink(unit.slavePath(), link_, ec);
    if (ec || !pump([&] { return connected > connectedBefore; })) return false;
    if (plugToNotification) *plugToNotification = connectedAt_ - plugged;

    auto port = manager_->objectInAvailablePortsAtIndex(0);
    if (!port) return false;
    port->setDelegate(delegate_);
    port->open();
    if (!pump([&] { return delegate_->opened > openedBefore; })) return false;

    std::filesystem::remove(link_, ec);
    unit.closeMaster();
    return pump([&] {
      return disconnected > disconnectedBefore && delegate_->closed > closedBefore && !port->isOpen();
    });
  }

  // Notifications that reported exactly one port, and the port's delegate
  // calls.
  int connected = 0;
  int disconnected = 0;
  int opened() const { return delegate_->opened; }
  int closed() const { return delegate_->closed; }
  int removed() const { return delegate_->removed; }

 private:
  struct Counting : SerialPortDelegate {
    Counting() : SerialPortDelegate(kWasOpened | kWasClosed | kWasRemovedFromSystem) {}
    void serialPortWasOpened(SerialPort&) override { ++opened; }
    void serialPortWasClosed(SerialPort&) override { ++closed; }
    void serialPortWasRemovedFromSystem(SerialPort&) override { ++removed; }
    int opened = 0;
    int closed = 0;
    int removed = 0;
  };

  static std::size_t ports(const Notification& n, std::string_view key) {
    return std::any_cast<SerialPortManager::PortList>(n.userInfo.at(std::string(key))).size();
  }

  bool pump(const std::function<bool()>& done) { return pumpUntil(queue_, done); }

  RunLoopMainQueue& queue_;
  const std::string link_;
  std::shared_ptr<SerialPortManager> manager_;
  std::shared_ptr<Counting> delegate_;
  std::vector<NotificationCenter::Token> tokens_;
  Clock::time_point connectedAt_{};
};

}  // namespace valmor::test
