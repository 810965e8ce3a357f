// The directory backend of the device registry: a directory whose entries
// cu.NAME are the serial devices. The simulated unit and the end-to-end tests
// publish pseudo-terminals this way (see VALMOR_DEVICE_DIR in
// device_registry.h).
//
// What counts as a device: an entry named "cu." followed by a non-empty NAME
// that is a character device node, or a symbolic link (possibly through
// further links) that resolves to one, such as a link to a pseudo-terminal
// slave /dev/pts/N. Everything else is ignored: other names, regular files,
// directories, sockets, and links that are dangling or lead to anything but a
// character device. An entry tty.NAME is never a device of its own; it only
// supplies the dial-in path of cu.NAME.
//
// Properties of the device cu.NAME:
//   IOCalloutDevice        DIR/cu.NAME
//   IODialinDevice         DIR/tty.NAME when that is itself a character device
//                          (or a link to one), else the callout path
//   IOTTYDevice            NAME
//   IOTTYBaseName          NAME without its trailing digits
//   IOTTYSuffix            only the trailing digits of NAME (may be empty)
//   IOSerialBSDClientType  "IOSerialStream"
// DIR is the directory as given to the constructor, without trailing slashes.
// Properties are read when the device is found and never change afterwards.
//
// Order: devices are listed sorted by NAME, comparing bytes.
//
// Hot plug: a subscription watches the directory with inotify. Any change in
// it makes the subscription read the directory again and compare with what it
// knew: entries that are new are published, entries that are gone are
// terminated, and an entry whose file was replaced (another inode, or a link
// now leading to another device) is terminated and then published again.
// What is reported is what the looks find, in order for each device: one
// that came and went between two looks (a busy machine may take a while to
// look) is not reported at all, never as gone before it was present. A
// terminated device carries the properties it was published with. The
// device file behind each entry is watched too: a link whose target vanishes
// while the link stays (a pseudo-terminal closed without removing its link)
// is terminated at once, and a device that later appears behind the same
// link, even under the same name and number, is published as a new one.
// The directory may be absent when subscribing, or be removed or moved away
// later (itself or any ancestor): its devices are then terminated, and
// published again once a directory is back at its path. Its ancestors are
// watched for that, and while it is absent the deepest existing one is also
// watched for creations; nothing is polled. A symbolic link among the
// ancestors is followed when watched, so pointing it elsewhere later goes
// unnoticed until the next change in the directory.
//
// Threading: every member may be called from any thread. Callbacks run on the
// main queue.
#pragma once

#include <memory>
#include <string>
#include <system_error>

#include "valmor/platform/export.h"
#include "valmor/discovery/device_registry.h"

namespace valmor {

class VALMOR_EXPORT DirectoryDeviceRegistry : public DeviceRegistry {
 public:
  // The registry of the directory dir (absolute, or relative to the working
  // directory at each use). The directory need not exist yet.
  explicit DirectoryDeviceRegistry(std::string dir);

  const std::string& directory() const { return dir_; }

  // Why the directory cannot be listed now: ENOENT when it is absent,
  // ENOTDIR when it (or a part of its path) is no directory, or what opening
  // it gave (EACCES); empty when it can be. The registry itself treats such
  // a directory as empty and waits for it; a program for which it can only
  // be a mistake (a one-off listing) can tell its user.
  std::error_code directoryError() const;

  // The devices in the directory now, sorted by NAME. An absent or unreadable
  // directory gives an empty walk.
  DeviceIterator serialStreamDevices() override;

  // Devices present when this is called are the baseline: they are not
  // published. Gives none only when inotify cannot be used (the reason is
  // logged). Destroying the subscription stops delivery at once when done on
  // the main thread; from another thread, a callback already running on the
  // main thread may still finish. The inotify descriptor is closed shortly
  // afterwards on the background pool.
  std::unique_ptr<DeviceSubscription> subscribe(Callback published, Callback terminated) override;

 private:
  std::string dir_;
};

}  // namespace valmor
