#include "tools/cli/port_commands.h"

#include <any>
#include <chrono>

#include "valmor/platform/notification_center.h"
#include "valmor/serial/serial_port_manager.h"
#include "tools/cli/cli_common.h"
#include "tools/cli/messages.h"
#include "tools/cli/port_listing.h"

namespace valmor {

int listPorts(const ListJob& job, std::ostream& out, std::ostream& err) {
  if (auto unusable = registryUnusable(deviceRegistry())) return failure(err, *unusable);
  auto json = nlohmann::json::array();
  int shown = 0;
  for (const auto& port : SerialPortManager::sharedSerialPortManager()->availablePorts()) {
    const PortListing listing = listingOf(*port);
    if (job.unitsOnly && !listing.unit) continue;
    ++shown;
    if (job.json) {
      json.push_back(listingJson(listing));
    } else {
      out << listingLine(listing) << '\n';
    }
  }
  if (job.json) out << json.dump(2) << '\n';
  out << std::flush;
  if (!out) return failure(err, "cannot write to standard output");
  if (shown == 0 && !job.json) {
    err << "valmor-cli: no " << (job.unitsOnly ? "VALMOR unit" : "serial port") << " found in "
        << whereDevicesAreLooked(deviceRegistry()) << '\n';
  }
  return kExitOk;
}

int watchPorts(bool json, RunLoopMainQueue& queue, std::ostream& out, std::ostream& err) {
  // Watching a directory that is not there would wait for ever for nothing.
  if (auto unusable = registryUnusable(deviceRegistry())) return failure(err, *unusable);
  auto manager = SerialPortManager::sharedSerialPortManager();
  auto& center = NotificationCenter::defaultCenter();
  auto report = [&](const char* event, const char* key) {
    return [&out, json, event, key](const Notification& n) {
      for (const auto& port : std::any_cast<SerialPortManager::PortList>(n.userInfo.at(key))) {
        const PortListing listing = listingOf(*port);
        if (json) {
          nlohmann::json line = listingJson(listing);
          line["event"] = event;
          out << line.dump() << '\n';
        } else {
          out << event << "  " << listingLine(listing) << '\n';
        }
      }
      out << std::flush;
    };
  };
  const auto connected = center.addObserver(std::string(kSerialPortWasConnectedNotification), manager.get(),
                                            report("connected", kConnectedSerialPortsKey.data()));
  const auto disconnected = center.addObserver(std::string(kSerialPortWasDisconnectedNotification), manager.get(),
                                               report("disconnected", kDisconnectedSerialPortsKey.data()));
  err << "valmor-cli: watching " << whereDevicesAreLooked(deviceRegistry())
      << " for serial ports plugged in or pulled out (Ctrl+C ends)\n"
      << std::flush;
  while (!stopRequested() && out) queue.runUntil([&] { return stopRequested() || !out; }, std::chrono::hours(1));
  center.removeObserver(connected);
  center.removeObserver(disconnected);
  return out ? kExitOk : kExitFailure;
}

}  // namespace valmor
