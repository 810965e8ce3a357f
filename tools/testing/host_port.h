// The host's side of the line for tests that talk to the simulated unit
// with plain descriptors: the device opened, made raw and set to a rate
// (even parity, as the app asks) with the serial library's line settings;
// reading an answer and writing bytes.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/unique_fd.h"
#include "serial/lines/terminal_attributes.h"

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

// Reads from fd until `until` is in what was read, or the time is up.
inline std::string readUntil(int fd, std::string_view until, std::chrono::milliseconds timeout) {
  std::string got;
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (got.find(until) == std::string::npos) {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    pollfd p{fd, POLLIN, 0};
    if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
    char buffer[512];
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    got.append(buffer, static_cast<std::size_t>(n));
  }
  return got;
}

inline bool writeAll(int fd, const std::string& bytes) {
  return ::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
}

}  // namespace valmor::test
