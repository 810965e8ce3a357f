// Opens a pseudo-terminal pair for tests: the slave stands in for a serial
// device, the master plays the device's far end. Both ends are close-on-exec.
#pragma once

#include <fcntl.h>
#include <stdlib.h>

#include <string>

#include "platform/unique_fd.h"

namespace valmor {

struct PtyEnds {
  UniqueFd master;        // empty when no pair could be opened
  std::string slavePath;  // /dev/pts/N; empty on failure
};

inline PtyEnds openPty() {
  PtyEnds ends;
  UniqueFd master(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
  char name[128] = {};
  if (!master || ::grantpt(master.get()) != 0 || ::unlockpt(master.get()) != 0 ||
      ::ptsname_r(master.get(), name, sizeof name) != 0)
    return ends;
  ends.master = std::move(master);
  ends.slavePath = name;
  return ends;
}

}  // namespace valmor
