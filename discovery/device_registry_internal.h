// Pieces shared by the registry backends, not for use outside discovery/:
// building a serial stream device record, and watching a descriptor for
// hot-plug events on the background pool with delivery on the main queue.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "valmor/discovery/device_registry.h"

namespace valmor::discovery_internal {

using PropertyMap = std::map<std::string, std::string, std::less<>>;

// A TTY name split into its base and its trailing digits: "ttyUSB10" gives
// {"ttyUSB", "10"}, "modem" gives {"modem", ""}.
std::pair<std::string, std::string> splitTtyName(std::string_view name);

// A device with the properties every serial stream device has, plus extra.
DeviceHandle makeSerialStreamDevice(std::string calloutPath, std::string dialinPath,
                                    std::string ttyName, PropertyMap extra = {});

// What one batch of hot-plug events changed. Within a batch, terminated
// devices are delivered before published ones, so a device (one handle, one
// appearance) is in one list at most: one that appeared and went again
// within the batch is in neither. A path replaced by another device is the
// old handle in terminated and the new one in published.
struct DeviceChanges {
  std::vector<DeviceHandle> terminated;
  std::vector<DeviceHandle> published;
  bool empty() const { return terminated.empty() && published.empty(); }
};

// A descriptor that becomes readable when devices may have changed, and the
// logic that turns what it reads into changes.
//
// Threading: created on any thread, then used and destroyed on the watch's
// strand only (the watch checks its strand in debug and sanitizer builds).
class DeviceEventSource {
 public:
  virtual ~DeviceEventSource() = default;

  // The descriptor to wait on. The source owns it and closes it when
  // destroyed; it must be non-blocking and close-on-exec.
  virtual int fd() const = 0;

  // Called when fd() is readable. Consumes what can be read without
  // blocking and gives the changes, or none when the source has failed for
  // good (the watch then stops rather than wake again and again).
  virtual std::optional<DeviceChanges> readChanges() = 0;
};

// Starts waiting for source's descriptor on the background pool. Each
// non-empty batch of changes is posted to the main queue, where terminated
// and then published are called (a callback that is empty is skipped).
// Gives none, with the reason logged, if the descriptor cannot be watched.
//
// Destroying the subscription marks it dead at once (a posted batch is
// dropped when it finds it dead, so destroying on the main thread means no
// callback starts afterwards, even one already queued, even between the
// terminated and published calls of one batch) and then stops the wait and
// destroys the source on the pool, without waiting for that.
std::unique_ptr<DeviceSubscription> watchDeviceEvents(std::unique_ptr<DeviceEventSource> source,
                                                      DeviceRegistry::Callback published,
                                                      DeviceRegistry::Callback terminated);

}  // namespace valmor::discovery_internal
