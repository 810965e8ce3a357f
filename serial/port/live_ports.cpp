#include "serial/port/live_ports.h"

namespace valmor {

LivePorts& LivePorts::shared() {
  static auto* live = new LivePorts;
  return *live;
}

std::shared_ptr<SerialPort> LivePorts::findLocked(std::string_view path) {
  for (auto& e : entries_) {
    if (e.path != path) continue;
    if (auto p = e.weak.lock()) return p;
  }
  return nullptr;
}

std::shared_ptr<SerialPort> LivePorts::find(std::string_view path) {
  // Declared before the lock: if this turns out to be the last reference to
  // a port dropped elsewhere meanwhile, the port must be destroyed (and
  // leave the registry) after the lock is released.
  std::shared_ptr<SerialPort> port;
  std::lock_guard lock(mutex_);
  port = findLocked(path);
  return port;
}

std::shared_ptr<SerialPort> LivePorts::findOrAdd(std::string_view path,
                                                 const std::function<std::shared_ptr<SerialPort>()>& make) {
  std::shared_ptr<SerialPort> port;
  std::lock_guard lock(mutex_);
  port = findLocked(path);
  if (port) return port;
  port = make();
  if (port) entries_.push_back({port.get(), std::string(path), port});
  return port;
}

void LivePorts::remove(const SerialPort* port) {
  std::lock_guard lock(mutex_);
  std::erase_if(entries_, [port](const Entry& e) { return e.port == port; });
}

}  // namespace valmor
