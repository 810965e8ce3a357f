// Lists the serial ports present, then follows hot plug: one line for each
// port plugged in or pulled out, until Ctrl+C, or for SECONDS when given.
//
//   list_ports [SECONDS]
//
// With VALMOR_DEVICE_DIR set, the ports are the entries cu.NAME of that
// directory (valmor-sim publishes itself there) instead of udev's.
#include <any>
#include <chrono>
#include <csignal>
#include <iostream>
#include <memory>
#include <string>

#include "valmor/platform/main_queue.h"
#include "valmor/platform/notification_center.h"
#include "valmor/serial/serial_port_manager.h"

using namespace valmor;
using namespace std::chrono_literals;

namespace {

volatile std::sig_atomic_t interrupted = 0;

// Prints "WHAT PATH (NAME)" for each port a manager notification carries.
void follow(std::string_view notification, std::string_view key, std::string what,
            const SerialPortManager& manager) {
  NotificationCenter::defaultCenter().addObserver(
      std::string(notification), &manager, [key, what](const Notification& n) {
        const auto& ports = std::any_cast<const SerialPortManager::PortList&>(n.userInfo.at(std::string(key)));
        for (const auto& port : ports) std::cout << what << ' ' << port->path() << " (" << port->name() << ')' << std::endl;
      });
}

}  // namespace

int main(int argc, char** argv) {
  // Delegate calls and hot-plug events run on this thread, in runFor().
  auto queue = std::make_shared<RunLoopMainQueue>();
  setMainQueue(queue);
  std::signal(SIGINT, [](int) { interrupted = 1; });

  auto manager = SerialPortManager::sharedSerialPortManager();
  for (const auto& port : manager->availablePorts()) {
    std::cout << "present " << port->path() << " (" << port->name() << ')' << std::endl;
  }
  follow(kSerialPortWasConnectedNotification, kConnectedSerialPortsKey, "connected", *manager);
  follow(kSerialPortWasDisconnectedNotification, kDisconnectedSerialPortsKey, "disconnected", *manager);

  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(argc > 1 ? std::stoi(argv[1]) : 0);
  while (!interrupted && (argc < 2 || std::chrono::steady_clock::now() < end)) queue->runFor(200ms);
  return 0;
}
