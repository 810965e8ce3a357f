#include "valmor/discovery/device_registry_udev.h"

#include <unistd.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "discovery/device_registry_internal.h"
#include "discovery/udev_ptr.h"
#include "platform/log.h"

namespace valmor {

using discovery_internal::DeviceChanges;
using discovery_internal::DeviceEventSource;
using discovery_internal::PropertyMap;

namespace {

struct Port {
  std::string syspath;
  DeviceHandle device;
};

std::string trimmed(const char* value) {
  std::string_view v = value;
  while (!v.empty() && (v.back() == '\n' || v.back() == ' ' || v.back() == '\t')) v.remove_suffix(1);
  return std::string(v);
}

bool isSerialPort(udev_device* dev) {
  const char* node = udev_device_get_devnode(dev);
  const char* syspath = udev_device_get_syspath(dev);
  const char* devpath = udev_device_get_devpath(dev);
  if (node == nullptr || syspath == nullptr || devpath == nullptr) return false;
  if (std::string_view(devpath).starts_with("/devices/virtual/")) return false;
  // Hardware ports link to the device they belong to; consoles, ptmx and
  // other software ttys do not.
  struct stat st {};
  if (::lstat((std::string(syspath) + "/device").c_str(), &st) != 0) return false;
  // Serial-core ports report the UART the kernel found; 0 is none (the 8250
  // driver registers ttyS0..ttyS31 whether or not the hardware is there).
  // Opening the port with TIOCGSERIAL would tell the same, but an open may
  // block on carrier or raise DTR, and this read does neither.
  if (const char* type = udev_device_get_sysattr_value(dev, "type")) {
    if (trimmed(type) == "0") return false;
  }
  return true;
}

void addUsbProperties(udev_device* dev, PropertyMap& properties) {
  // Borrowed: the parent belongs to dev.
  udev_device* usb = udev_device_get_parent_with_subsystem_devtype(dev, "usb", "usb_device");
  const char* bus = udev_device_get_property_value(dev, "ID_BUS");
  if (usb == nullptr && !(bus != nullptr && std::strcmp(bus, "usb") == 0)) return;
  auto put = [&](std::string_view key, const char* sysattr, const char* udevProperty) {
    const char* value = usb != nullptr ? udev_device_get_sysattr_value(usb, sysattr) : nullptr;
    if (value == nullptr || *value == '\0') value = udev_device_get_property_value(dev, udevProperty);
    if (value != nullptr && *value != '\0') properties.emplace(key, trimmed(value));
  };
  put(kUSBVendorID, "idVendor", "ID_VENDOR_ID");
  put(kUSBProductID, "idProduct", "ID_MODEL_ID");
  put(kUSBSerialNumber, "serial", "ID_SERIAL_SHORT");
  put(kUSBVendorName, "manufacturer", "ID_VENDOR_FROM_DATABASE");
  put(kUSBProductName, "product", "ID_MODEL_FROM_DATABASE");
}

DeviceHandle makeDevice(udev_device* dev) {
  std::string node = udev_device_get_devnode(dev);
  std::string dialin = node;
  for (udev_list_entry* e = udev_device_get_devlinks_list_entry(dev); e != nullptr;
       e = udev_list_entry_get_next(e)) {
    std::string_view link = udev_list_entry_get_name(e);
    if (link.starts_with("/dev/serial/by-id/")) {
      dialin = link;
      break;
    }
  }
  PropertyMap extra;
  addUsbProperties(dev, extra);
  // Borrowed: the parent belongs to dev.
  if (udev_device* parent = udev_device_get_parent(dev)) {
    if (const char* driver = udev_device_get_driver(parent); driver != nullptr && *driver != '\0')
      extra.emplace(kDriverName, driver);
  }
  return discovery_internal::makeSerialStreamDevice(std::move(node), std::move(dialin),
                                                    udev_device_get_sysname(dev), std::move(extra));
}

// Base name first, then the suffix as a number of any length.
bool ttyOrder(const DeviceHandle& a, const DeviceHandle& b) {
  auto [baseA, suffixA] = discovery_internal::splitTtyName(*a->property(kIOTTYDevice));
  auto [baseB, suffixB] = discovery_internal::splitTtyName(*b->property(kIOTTYDevice));
  if (baseA != baseB) return baseA < baseB;
  auto significant = [](const std::string& s) {
    return std::string_view(s).substr(std::min(s.find_first_not_of('0'), s.size()));
  };
  const auto numA = significant(suffixA);
  const auto numB = significant(suffixB);
  if (suffixA.empty() != suffixB.empty()) return suffixA.empty();
  if (numA.size() != numB.size()) return numA.size() < numB.size();
  if (numA != numB) return numA < numB;
  return suffixA < suffixB;
}

std::vector<Port> enumerateSerialPorts(udev* context) {
  std::vector<Port> ports;
  UdevEnumeratePtr enumerate(udev_enumerate_new(context));
  if (!enumerate) return ports;
  if (udev_enumerate_add_match_subsystem(enumerate.get(), "tty") < 0 ||
      udev_enumerate_scan_devices(enumerate.get()) < 0) {
    return ports;
  }
  for (udev_list_entry* e = udev_enumerate_get_list_entry(enumerate.get()); e != nullptr;
       e = udev_list_entry_get_next(e)) {
    UdevDevicePtr dev(udev_device_new_from_syspath(context, udev_list_entry_get_name(e)));
    if (!dev || !isSerialPort(dev.get())) continue;
    ports.push_back({udev_device_get_syspath(dev.get()), makeDevice(dev.get())});
  }
  std::sort(ports.begin(), ports.end(),
            [](const Port& a, const Port& b) { return ttyOrder(a.device, b.device); });
  return ports;
}

class UdevEventSource : public DeviceEventSource {
 public:
  static std::unique_ptr<UdevEventSource> create() {
    UdevPtr context(udev_new());
    if (!context) {
      logLine("Device registry: udev_new failed");
      return nullptr;
    }
    // Without a running udevd the "udev" source never delivers anything;
    // the kernel's own events then still report devices that come and go
    // (their nodes come from devtmpfs, and there are no udev links to miss).
    const bool udevdRunning = ::access("/run/udev/control", F_OK) == 0;
    UdevMonitorPtr monitor(
        udev_monitor_new_from_netlink(context.get(), udevdRunning ? "udev" : "kernel"));
    if (!monitor ||
        udev_monitor_filter_add_match_subsystem_devtype(monitor.get(), "tty", nullptr) < 0 ||
        udev_monitor_enable_receiving(monitor.get()) < 0) {
      logLine("Device registry: cannot create a udev monitor: " +
              std::string(std::strerror(errno)));
      return nullptr;
    }
    auto source = std::unique_ptr<UdevEventSource>(
        new UdevEventSource(std::move(context), std::move(monitor)));
    // Receiving first, then the baseline: an add in between is already
    // known when its event comes, and is not published twice.
    for (auto& port : enumerateSerialPorts(source->context_.get())) {
      source->known_.emplace(std::move(port.syspath), std::move(port.device));
    }
    return source;
  }

  // Owned by the monitor; non-blocking and close-on-exec as libudev opens it.
  int fd() const override { return udev_monitor_get_fd(monitor_.get()); }

  std::optional<DeviceChanges> readChanges() override {
    DeviceChanges changes;
    bool overrun = false;
    bool failed = false;
    bool received = false;
    // Bounded so that a flood of events cannot hold a pool thread; what is
    // left wakes the watch again.
    for (int i = 0; i < 512; ++i) {
      errno = 0;
      UdevDevicePtr dev(udev_monitor_receive_device(monitor_.get()));
      if (!dev) {
        if (errno == ENOBUFS) {
          overrun = true;
          continue;
        }
        failed = errno != 0 && errno != EAGAIN && errno != EWOULDBLOCK;
        break;
      }
      received = true;
      apply(dev.get(), changes);
    }
    // The socket's buffer overflowed and events were lost: compare with a
    // fresh enumeration instead.
    if (overrun) resynchronise(changes);
    // A descriptor that keeps waking with nothing but errors would keep a
    // pool thread busy for good; give up on it after a while.
    consecutiveFailures_ = failed && !received && !overrun ? consecutiveFailures_ + 1 : 0;
    if (consecutiveFailures_ >= 100) {
      logLine("Device registry: udev monitor keeps failing (" + std::string(std::strerror(errno)) +
              "); hot plug is no longer followed");
      return std::nullopt;
    }
    return changes;
  }

 private:
  UdevEventSource(UdevPtr context, UdevMonitorPtr monitor)
      : context_(std::move(context)), monitor_(std::move(monitor)) {}

  void apply(udev_device* dev, DeviceChanges& changes) {
    const char* action = udev_device_get_action(dev);
    const char* syspath = udev_device_get_syspath(dev);
    if (action == nullptr || syspath == nullptr) return;
    if (std::strcmp(action, "add") == 0) {
      if (known_.count(syspath) != 0 || !isSerialPort(dev)) return;
      auto device = makeDevice(dev);
      known_.emplace(syspath, device);
      changes.published.push_back(std::move(device));
    } else if (std::strcmp(action, "remove") == 0) {
      auto it = known_.find(syspath);
      if (it == known_.end()) return;
      forget(it->second, changes);
      known_.erase(it);
    }
  }

  // A device that goes in the batch that published it is simply not
  // published: terminated is delivered before published, so reporting both
  // would leave it looking present.
  static void forget(const DeviceHandle& device, DeviceChanges& changes) {
    auto it = std::find(changes.published.begin(), changes.published.end(), device);
    if (it != changes.published.end()) {
      changes.published.erase(it);
    } else {
      changes.terminated.push_back(device);
    }
  }

  void resynchronise(DeviceChanges& changes) {
    std::map<std::string, DeviceHandle, std::less<>> now;
    for (auto& port : enumerateSerialPorts(context_.get())) {
      now.emplace(std::move(port.syspath), std::move(port.device));
    }
    for (auto it = known_.begin(); it != known_.end();) {
      if (now.count(it->first) == 0) {
        forget(it->second, changes);
        it = known_.erase(it);
      } else {
        ++it;
      }
    }
    for (auto& [syspath, device] : now) {
      if (known_.emplace(syspath, device).second) changes.published.push_back(device);
    }
  }

  UdevPtr context_;
  UdevMonitorPtr monitor_;
  std::map<std::string, DeviceHandle, std::less<>> known_;  // by syspath
  int consecutiveFailures_ = 0;
};

}  // namespace

DeviceIterator UdevDeviceRegistry::serialStreamDevices() {
  std::vector<DeviceHandle> devices;
  UdevPtr context(udev_new());
  if (!context) return DeviceIterator();
  for (auto& port : enumerateSerialPorts(context.get())) devices.push_back(std::move(port.device));
  return DeviceIterator(std::move(devices));
}

std::unique_ptr<DeviceSubscription> UdevDeviceRegistry::subscribe(Callback published,
                                                                   Callback terminated) {
  auto source = UdevEventSource::create();
  if (!source) return nullptr;
  return discovery_internal::watchDeviceEvents(std::move(source), std::move(published),
                                               std::move(terminated));
}

}  // namespace valmor
