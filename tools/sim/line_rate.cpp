#include "tools/sim/line_rate.h"

// The kernel's struct termios2 and TCGETS2; they collide with glibc's
// <termios.h>, which this file therefore does not include.
#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace valmor {

std::optional<std::uint32_t> readLineRate(int fd) {
  termios2 attributes{};
  if (::ioctl(fd, TCGETS2, &attributes) < 0) return std::nullopt;
  return attributes.c_ospeed;
}

}  // namespace valmor
