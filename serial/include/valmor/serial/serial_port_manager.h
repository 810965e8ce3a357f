// SerialPortManager: the process-wide list of the serial ports present,
// kept current as devices are plugged in and pulled out.
//
//   auto manager = SerialPortManager::sharedSerialPortManager();
//   for (const auto& port : manager->availablePorts()) ...
//   NotificationCenter::defaultCenter().addObserver(
//       std::string(kSerialPortWasConnectedNotification), manager.get(),
//       [](const Notification& n) {
//         auto ports = std::any_cast<SerialPortManager::PortList>(
//             n.userInfo.at(std::string(kConnectedSerialPortsKey)));
//       });
//
// The first call of sharedSerialPortManager() creates the manager: it
// subscribes to the device registry's hot-plug events, then lists the serial
// stream devices present (their ports make the first availablePorts, without
// a notification), and registers an exit handler. From then on:
//
//  - A publish event appends the ports of the devices not listed yet, in one
//    edit at the end of availablePorts (observers hear one insertion with
//    its indexes), then posts SerialPortWasConnectedNotification with the
//    ports added under ConnectedSerialPortsKey: also when none was added.
//  - A terminate event takes the port of every device it reports (the live
//    port of that path if anybody holds one, so that very object is the one
//    cleaned up), cleans each up (its delegate hears
//    serialPortWasRemovedFromSystem, and then its close begins),
//    then removes the listed ones from availablePorts in one edit, then
//    posts SerialPortWasDisconnectedNotification with all of them under
//    DisconnectedSerialPortsKey: also when none was listed.
//  - At normal process exit (std::exit, or returning from main) every listed
//    port is cleaned up the same way and the list is emptied; the handler
//    waits up to 3 s for their closes to complete, so that each device gets
//    its attributes back before the process goes.
//
// Ports are equal when their paths are; every membership test uses that.
// A registry that cannot watch for changes still gives the first list; the
// list then never changes (logged once).
//
// Sleep and wake: systemWillSleep() closes every listed port that is open
// and remembers it; systemDidWake() opens the remembered ports again, in the
// order they were closed, and forgets them whether or not they opened
// (failures reach each port's delegate). The manager calls them when the
// program asks it to followSystemSleep(); otherwise only when some other
// code does.
//
// Observable properties: "availablePorts" (insertions and removals with
// their indexes; a change of the whole list from setAvailablePorts()).
//
// Threading: sharedSerialPortManager() may be called from any thread, once
// or many times. Hot-plug events, their list edits, observer calls and
// notifications run on the main queue; the notification observers run inside
// the event, on the main thread. Readers may be called from any thread and
// give copies. The list edits and the sleep and wake handlers may be called
// from any thread, but the manager expects them on the main thread: the
// cleanup of a removed port makes the delegate's removal call there at once
// (on another thread it waits for the main thread; on a thread of the pool
// it waits for nothing, and the close follows the call). The exit handler
// runs on the thread that ends the process; called elsewhere than on the
// main thread, it relies on the main thread still running its queue (or
// having shut it down) to deliver the removal calls.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "valmor/platform/export.h"
#include "valmor/discovery/device_registry.h"
#include "valmor/platform/observable.h"
#include "valmor/serial/serial_port.h"

namespace valmor {

// Follows the system's sleep and wake for followSystemSleep(); internal.
class SystemSleepWatcher;

// Notification names and their one user-info key each; the value is a
// SerialPortManager::PortList. The sender is the manager.
inline constexpr std::string_view kSerialPortWasConnectedNotification = "SerialPortWasConnectedNotification";
inline constexpr std::string_view kConnectedSerialPortsKey = "ConnectedSerialPortsKey";
inline constexpr std::string_view kSerialPortWasDisconnectedNotification = "SerialPortWasDisconnectedNotification";
inline constexpr std::string_view kDisconnectedSerialPortsKey = "DisconnectedSerialPortsKey";

class VALMOR_EXPORT SerialPortManager : public Observable, public std::enable_shared_from_this<SerialPortManager> {
  struct PrivateTag {};

 public:
  using PortList = std::vector<std::shared_ptr<SerialPort>>;

  // The process's manager, created by the first call (see above). Never
  // destroyed while the process runs.
  static std::shared_ptr<SerialPortManager> sharedSerialPortManager();

  // A manager of its own over the process's registry as it is now: scans and
  // subscribes like the shared one, but registers no exit handler. It stops
  // following the registry when it is destroyed.
  static std::shared_ptr<SerialPortManager> createForTesting();

  SerialPortManager() = delete;
  explicit SerialPortManager(PrivateTag);
  ~SerialPortManager() override;

  // ---- The list ----

  // The ports present now, in the order found. A copy: later edits do not
  // change it.
  PortList availablePorts() const;
  // Replaces the whole list; observers hear a change of the whole value.
  void setAvailablePorts(PortList ports);

  // Indexed access. Indexes out of range, lists of different lengths and
  // indexes not strictly ascending are refused: logged, nothing changed,
  // nothing announced.
  std::size_t countOfAvailablePorts() const;
  // Empty when index is out of range.
  std::shared_ptr<SerialPort> objectInAvailablePortsAtIndex(std::size_t index) const;
  // Puts ports[i] at indexes[i] of the resulting list (indexes ascending).
  void insertAvailablePortsAtIndexes(PortList ports, std::vector<std::size_t> indexes);
  void insertObjectInAvailablePortsAtIndex(std::shared_ptr<SerialPort> port, std::size_t index);
  void removeAvailablePortsAtIndexes(std::vector<std::size_t> indexes);
  void removeObjectFromAvailablePortsAtIndex(std::size_t index);

  // Ports closed by systemWillSleep() and not yet reopened.
  PortList portsToReopenAfterSleep() const;

  // ---- Events ----

  // One registry event each (see above). Called by the manager's own
  // subscription; public so that a program can feed events of its own.
  void serialPortsWerePublished(DeviceIterator devices);
  void serialPortsWereTerminated(DeviceIterator devices);

  void systemWillSleep();
  void systemDidWake();

  // Calls systemWillSleep() and systemDidWake() on the main queue as the
  // system goes to sleep and wakes (platform/system_sleep.h: logind on the
  // system bus, or on busAddress when given), delaying the sleep until the
  // ports have been told to close. False, with a log line, when there is no
  // bus; the manager works on without. A second call replaces the first.
  bool followSystemSleep(const std::string& busAddress = {});

  // What the exit handler does: cleans up every listed port, in order,
  // empties the list, and waits up to closeWait for the closes to complete.
  void cleanUpAllPorts(std::chrono::milliseconds closeWait);

 private:
  void retrieveAvailablePortsAndRegisterForChangeNotifications();
  void registerForNotifications();
  // Announces outside the lock; ports kept alive by the caller.
  void insertLocked(std::unique_lock<std::mutex>& lock, PortList ports, std::vector<std::size_t> indexes);
  void removeLocked(std::unique_lock<std::mutex>& lock, std::vector<std::size_t> indexes);

  mutable std::mutex mutex_;
  PortList availablePorts_;           // Guarded by mutex_.
  PortList portsToReopenAfterSleep_;  // Guarded by mutex_.
  std::unique_ptr<DeviceSubscription> subscription_;  // set once at creation
  std::unique_ptr<SystemSleepWatcher> sleepWatcher_;  // Guarded by mutex_.
};

}  // namespace valmor
