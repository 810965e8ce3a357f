#include "valmor/serial/serial_port_manager.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <string>
#include <utility>

#include "platform/log.h"
#include "valmor/platform/notification_center.h"
#include "platform/system_sleep.h"
#include "serial/port/serial_port_impl.h"

namespace valmor {

namespace {

constexpr std::string_view kAvailablePorts = "availablePorts";
constexpr std::chrono::milliseconds kExitCloseWait{3000};

bool containsEqual(const SerialPortManager::PortList& list, const SerialPort& port) {
  return std::any_of(list.begin(), list.end(), [&](const auto& p) { return *p == port; });
}

bool strictlyAscending(const std::vector<std::size_t>& indexes) {
  return std::adjacent_find(indexes.begin(), indexes.end(),
                            [](std::size_t a, std::size_t b) { return a >= b; }) == indexes.end();
}

void post(const SerialPortManager& manager, std::string_view name, std::string_view key,
          SerialPortManager::PortList ports) {
  Notification n;
  n.name = std::string(name);
  n.sender = &manager;
  n.userInfo.emplace(std::string(key), std::move(ports));
  NotificationCenter::defaultCenter().post(n);
}

// Waits until none of the ports is open any more, or the deadline passes.
// A close completes on the background pool, which announces isOpen there.
void waitForCloses(const SerialPortManager::PortList& ports,
                   std::chrono::steady_clock::time_point deadline) {
  struct Shared {
    std::mutex mutex;
    std::condition_variable changed;
  };
  auto shared = std::make_shared<Shared>();
  std::vector<std::pair<std::shared_ptr<SerialPort>, Observable::Token>> watched;
  for (const auto& port : ports) {
    watched.emplace_back(port, port->addObserver("isOpen", [shared](const PropertyChange&) {
      std::lock_guard lock(shared->mutex);
      shared->changed.notify_all();
    }));
  }
  {
    std::unique_lock lock(shared->mutex);
    shared->changed.wait_until(lock, deadline, [&] {
      return std::none_of(ports.begin(), ports.end(), [](const auto& p) { return p->isOpen(); });
    });
  }
  for (auto& [port, token] : watched) port->removeObserver(token);
}

// The shared manager, for the exit handler. Set once, never cleared.
std::shared_ptr<SerialPortManager>* gShared = nullptr;

void cleanUpAtExit() {
  if (gShared && *gShared) (*gShared)->cleanUpAllPorts(kExitCloseWait);
}

}  // namespace

SerialPortManager::SerialPortManager(PrivateTag) {}

SerialPortManager::~SerialPortManager() = default;

std::shared_ptr<SerialPortManager> SerialPortManager::sharedSerialPortManager() {
  // Created once, on whichever thread asks first; never destroyed, since the
  // exit handler still uses it while static destructors run.
  static std::shared_ptr<SerialPortManager>* shared = [] {
    auto* holder = new std::shared_ptr<SerialPortManager>(std::make_shared<SerialPortManager>(PrivateTag{}));
    (*holder)->retrieveAvailablePortsAndRegisterForChangeNotifications();
    gShared = holder;
    (*holder)->registerForNotifications();
    return holder;
  }();
  return *shared;
}

std::shared_ptr<SerialPortManager> SerialPortManager::createForTesting() {
  auto manager = std::make_shared<SerialPortManager>(PrivateTag{});
  manager->retrieveAvailablePortsAndRegisterForChangeNotifications();
  return manager;
}

void SerialPortManager::retrieveAvailablePortsAndRegisterForChangeNotifications() {
  DeviceRegistry& registry = deviceRegistry();
  // Subscribing before listing misses nothing: a device that appears in
  // between is both listed and published, and the publish then adds nothing.
  std::weak_ptr<SerialPortManager> weak = weak_from_this();
  subscription_ = registry.subscribe(
      [weak](DeviceIterator devices) {
        if (auto self = weak.lock()) self->serialPortsWerePublished(std::move(devices));
      },
      [weak](DeviceIterator devices) {
        if (auto self = weak.lock()) self->serialPortsWereTerminated(std::move(devices));
      });
  if (!subscription_) {
    logLine("SerialPortManager cannot follow the device registry's changes; the list of ports will not change");
  }

  PortList found;
  DeviceIterator devices = registry.serialStreamDevices();
  while (DeviceHandle device = devices.next()) {
    auto port = SerialPort::serialPortWithDevice(device);
    if (port && !containsEqual(found, *port)) found.push_back(std::move(port));
  }
  std::lock_guard lock(mutex_);
  availablePorts_ = std::move(found);
}

void SerialPortManager::registerForNotifications() {
  if (std::atexit(cleanUpAtExit) != 0) {
    logLine("SerialPort was unable to register its termination handler for serial port cleanup: " +
            std::to_string(errno));
  }
}

// ---- The list ----

SerialPortManager::PortList SerialPortManager::availablePorts() const {
  std::lock_guard lock(mutex_);
  return availablePorts_;
}

void SerialPortManager::setAvailablePorts(PortList ports) {
  PortList old;
  {
    std::lock_guard lock(mutex_);
    old = std::exchange(availablePorts_, std::move(ports));
  }
  didChange(kAvailablePorts);
  // The ports replaced are released here, after the announcement, outside
  // the lock: a port's destructor may take a while.
}

std::size_t SerialPortManager::countOfAvailablePorts() const {
  std::lock_guard lock(mutex_);
  return availablePorts_.size();
}

std::shared_ptr<SerialPort> SerialPortManager::objectInAvailablePortsAtIndex(std::size_t index) const {
  std::lock_guard lock(mutex_);
  return index < availablePorts_.size() ? availablePorts_[index] : nullptr;
}

void SerialPortManager::insertAvailablePortsAtIndexes(PortList ports, std::vector<std::size_t> indexes) {
  std::unique_lock lock(mutex_);
  insertLocked(lock, std::move(ports), std::move(indexes));
}

void SerialPortManager::insertObjectInAvailablePortsAtIndex(std::shared_ptr<SerialPort> port, std::size_t index) {
  insertAvailablePortsAtIndexes({std::move(port)}, {index});
}

void SerialPortManager::removeAvailablePortsAtIndexes(std::vector<std::size_t> indexes) {
  std::unique_lock lock(mutex_);
  removeLocked(lock, std::move(indexes));
}

void SerialPortManager::removeObjectFromAvailablePortsAtIndex(std::size_t index) {
  removeAvailablePortsAtIndexes({index});
}

void SerialPortManager::insertLocked(std::unique_lock<std::mutex>& lock, PortList ports,
                                     std::vector<std::size_t> indexes) {
  // Ascending indexes into the resulting list: each one is at most the
  // length reached by the insertions before it.
  const bool valid = ports.size() == indexes.size() && strictlyAscending(indexes) &&
                     std::none_of(ports.begin(), ports.end(), [](const auto& p) { return !p; }) &&
                     (indexes.empty() || indexes.back() < availablePorts_.size() + indexes.size());
  if (!valid) {
    lock.unlock();
    logLine("SerialPortManager: insertion into availablePorts refused (indexes out of range or not ascending)");
    return;
  }
  if (ports.empty()) return;
  for (std::size_t i = 0; i < ports.size(); ++i) {
    availablePorts_.insert(availablePorts_.begin() + static_cast<std::ptrdiff_t>(indexes[i]), std::move(ports[i]));
  }
  lock.unlock();
  didInsert(kAvailablePorts, std::move(indexes));
}

void SerialPortManager::removeLocked(std::unique_lock<std::mutex>& lock, std::vector<std::size_t> indexes) {
  if (!strictlyAscending(indexes) || (!indexes.empty() && indexes.back() >= availablePorts_.size())) {
    lock.unlock();
    logLine("SerialPortManager: removal from availablePorts refused (indexes out of range or not ascending)");
    return;
  }
  if (indexes.empty()) return;
  PortList removed;  // released after the announcement, outside the lock
  for (auto it = indexes.rbegin(); it != indexes.rend(); ++it) {
    const auto at = availablePorts_.begin() + static_cast<std::ptrdiff_t>(*it);
    removed.push_back(std::move(*at));
    availablePorts_.erase(at);
  }
  lock.unlock();
  didRemove(kAvailablePorts, std::move(indexes));
}

SerialPortManager::PortList SerialPortManager::portsToReopenAfterSleep() const {
  std::lock_guard lock(mutex_);
  return portsToReopenAfterSleep_;
}

// ---- Events ----

void SerialPortManager::serialPortsWerePublished(DeviceIterator devices) {
  PortList added;
  {
    const PortList listed = availablePorts();
    while (DeviceHandle device = devices.next()) {
      auto port = SerialPort::serialPortWithDevice(device);
      if (!port || containsEqual(listed, *port) || containsEqual(added, *port)) continue;
      added.push_back(std::move(port));
    }
  }
  if (!added.empty()) {
    std::unique_lock lock(mutex_);
    std::vector<std::size_t> indexes(added.size());
    for (std::size_t i = 0; i < indexes.size(); ++i) indexes[i] = availablePorts_.size() + i;
    insertLocked(lock, added, std::move(indexes));
  }
  post(*this, kSerialPortWasConnectedNotification, kConnectedSerialPortsKey, std::move(added));
}

void SerialPortManager::serialPortsWereTerminated(DeviceIterator devices) {
  PortList removed;
  while (DeviceHandle device = devices.next()) {
    if (auto port = SerialPort::serialPortWithDevice(device)) removed.push_back(std::move(port));
  }
  // Each port is cleaned up (its delegate told, its close begun) before it
  // leaves the list, so that an observer of the list or of the notification
  // finds it closing.
  // A port whose line hung up has told its delegate already.
  for (const auto& port : removed) implOf(*port).deviceWasRemoved();
  {
    std::unique_lock lock(mutex_);
    std::vector<std::size_t> indexes;
    for (std::size_t i = 0; i < availablePorts_.size(); ++i) {
      if (containsEqual(removed, *availablePorts_[i])) indexes.push_back(i);
    }
    removeLocked(lock, std::move(indexes));
  }
  post(*this, kSerialPortWasDisconnectedNotification, kDisconnectedSerialPortsKey, std::move(removed));
}

void SerialPortManager::systemWillSleep() {
  for (const auto& port : availablePorts()) {
    if (port->isOpen() && port->close()) {
      std::lock_guard lock(mutex_);
      portsToReopenAfterSleep_.push_back(port);
    }
  }
}

void SerialPortManager::systemDidWake() {
  const PortList remembered = portsToReopenAfterSleep();
  for (const auto& port : remembered) {
    port->open();
    std::lock_guard lock(mutex_);
    std::erase_if(portsToReopenAfterSleep_, [&](const auto& p) { return *p == *port; });
  }
}

bool SerialPortManager::followSystemSleep(const std::string& busAddress) {
  std::weak_ptr<SerialPortManager> weak = weak_from_this();
  auto watcher = SystemSleepWatcher::watch(
      [weak](bool goingToSleep) {
        auto self = weak.lock();
        if (!self) return;
        if (goingToSleep) {
          self->systemWillSleep();
        } else {
          self->systemDidWake();
        }
      },
      busAddress);
  const bool following = watcher != nullptr;
  std::unique_ptr<SystemSleepWatcher> replaced;
  {
    std::lock_guard lock(mutex_);
    replaced = std::exchange(sleepWatcher_, std::move(watcher));
  }
  return following;  // the watcher replaced is stopped here, outside the lock
}

void SerialPortManager::cleanUpAllPorts(std::chrono::milliseconds closeWait) {
  const auto deadline = std::chrono::steady_clock::now() + closeWait;
  const PortList ports = availablePorts();
  for (const auto& port : ports) port->cleanupAfterSystemRemoval();
  setAvailablePorts({});
  waitForCloses(ports, deadline);
}

}  // namespace valmor
