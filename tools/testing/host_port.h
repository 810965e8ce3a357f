// The host's side of the line for tests that talk to the simulated unit
// with plain descriptors: the device opened, made raw and set to a rate
// (even parity, as the app asks) with the serial library's line settings.
#pragma once

#include <fcntl.h>

#include <cstdint>
#include <string>

#include "platform/unique_fd.h"
#include "serial/line_settings.h"

namespace valmor::test {

inline bool setHostRate(int fd, std::uint64_t rate) {
  LineSettings settings;
  settings.baudRate = rate;
  settings.allowsNonStandardBaudRates = true;
  settings.parity = kParityEven;
  return !applyLineSettings(fd, settings);
}

// Blocking descriptor; empty when the open or the settings failed.
inline UniqueFd openHostPort(const std::string& path, std::uint64_t rate = 42105) {
  UniqueFd fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
  if (fd && !setHostRate(fd.get(), rate)) fd.reset();
  return fd;
}

}  // namespace valmor::test
