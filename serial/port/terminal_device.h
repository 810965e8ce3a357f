// Whether a path names a serial line that the device registry may not list:
// a terminal device node, reached directly or through symbolic links, of a
// serial driver or a pseudo-terminal slave (/dev/ttyUSB0, /dev/pts/3, a
// socat or simulator link to one). Consoles, /dev/tty, /dev/ptmx and
// pseudo-terminal masters are not serial lines and do not count.
//
// The device is never opened: the node's major and minor numbers are looked
// up in the kernel's list of terminal drivers (/proc/tty/drivers), so asking
// has no effect on the line (opening some ports raises DTR).
//
// Threading: may be called from any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace valmor {

// The device's name below /dev ("ttyUSB0", "pts/3"), or the last component
// of its resolved path when it lives elsewhere; none when path does not name
// such a device.
std::optional<std::string> serialTerminalName(std::string_view path);

}  // namespace valmor
