// Pseudo-terminals standing in for serial devices in tests: the slave is the
// port's device, the master plays the device's far end (the unit). Both ends
// are close-on-exec. Also: counting this process's descriptors, and its
// resident memory, for tests that check nothing leaks.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <set>
#include <span>
#include <string>
#include <string_view>

#include "platform/unique_fd.h"

namespace valmor::test {

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

class PtyPair {
 public:
  PtyPair() {
    PtyEnds ends = openPty();
    master_ = std::move(ends.master);
    slavePath_ = std::move(ends.slavePath);
  }

  bool valid() const { return master_.valid() && !slavePath_.empty(); }
  int master() const { return master_.get(); }
  // /dev/pts/N; empty when no pair could be opened.
  const std::string& slavePath() const { return slavePath_; }

  // Writes everything to the master (the unit sending to the port).
  bool write(std::span<const std::uint8_t> bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = ::write(master_.get(), bytes.data() + done, bytes.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      done += static_cast<std::size_t>(n);
    }
    return true;
  }
  bool write(std::string_view text) {
    return write(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
  }

  // Reads from the master until count bytes have come or the time-out passes.
  std::string read(std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    std::string got;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (got.size() < count) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      pollfd p{master_.get(), POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
      char buf[4096];
      const ssize_t n = ::read(master_.get(), buf, std::min(sizeof buf, count - got.size()));
      if (n <= 0) break;
      got.append(buf, static_cast<std::size_t>(n));
    }
    return got;
  }

  // The unit goes away: the port's side of the line hangs up, and the slave
  // node disappears from /dev/pts.
  void closeMaster() { master_.reset(); }

 private:
  UniqueFd master_;
  std::string slavePath_;
};

// Descriptors of this process open on the given file (a path such as a
// pseudo-terminal's slave, or "anon_inode:[eventpoll]" for epoll instances).
inline int descriptorsOpenOn(const std::string& target) {
  int n = 0;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator("/proc/self/fd", ec)) {
    std::error_code readError;
    if (std::filesystem::read_symlink(e.path(), readError).native() == target) ++n;
  }
  return n;
}

// The descriptor numbers open in this process now.
inline std::set<int> openDescriptors() {
  std::set<int> fds;
  std::error_code ec;
  // Less the one that lists them, whose number changes from call to call.
  const std::filesystem::path listing = "/proc/" + std::to_string(::getpid()) + "/fd";
  for (const auto& e : std::filesystem::directory_iterator("/proc/self/fd", ec)) {
    std::error_code unreadable;
    if (std::filesystem::read_symlink(e.path(), unreadable) == listing) continue;
    fds.insert(std::stoi(e.path().filename().native()));
  }
  return fds;
}

// Resident memory of this process in bytes.
inline long residentBytes() {
  long size = 0, resident = 0;
  if (FILE* f = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(f, "%ld %ld", &size, &resident) != 2) resident = 0;
    std::fclose(f);
  }
  return resident * ::sysconf(_SC_PAGESIZE);
}

}  // namespace valmor::test
