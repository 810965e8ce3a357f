// A D-Bus of the test's own (dbus-daemon with the session configuration,
// listening in a temporary directory) and a stand-in for logind on it: it
// owns org.freedesktop.login1, hands out "delay" inhibitor locks (the read
// end of each lock's pipe stays here, so the test sees when a lock is let
// go) and emits PrepareForSleep when the test says. For the tests of sleep
// and wake; skip them where dbus-daemon is missing.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/testing/temp_dir.h"
#include "platform/unique_fd.h"

extern char** environ;

namespace valmor::test {

class PrivateBus {
 public:
  PrivateBus() {
    if (dir_.path().empty() || ::access("/usr/bin/dbus-daemon", X_OK) != 0) return;
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    const std::string listen = "--address=unix:path=" + dir_ / "bus";
    const char* argv[] = {"/usr/bin/dbus-daemon", "--session", "--nofork", "--print-address", listen.c_str(),
                          nullptr};
    const int spawned = posix_spawn(&pid_, argv[0], &actions, nullptr, const_cast<char**>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    UniqueFd read(out[0]);
    if (spawned != 0) {
      pid_ = -1;
      return;
    }
    // The daemon prints its address once it listens.
    std::string line;
    pollfd p{read.get(), POLLIN, 0};
    while (line.find('\n') == std::string::npos && ::poll(&p, 1, 5000) > 0) {
      char buffer[256];
      const ssize_t n = ::read(read.get(), buffer, sizeof buffer);
      if (n <= 0) break;
      line.append(buffer, static_cast<std::size_t>(n));
    }
    if (const auto end = line.find('\n'); end != std::string::npos) address_ = line.substr(0, end);
  }
  ~PrivateBus() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  PrivateBus(const PrivateBus&) = delete;
  PrivateBus& operator=(const PrivateBus&) = delete;

  // Empty when the bus could not be started.
  const std::string& address() const { return address_; }

 private:
  TempDir dir_{"valmor-bus"};
  pid_t pid_ = -1;
  std::string address_;
};

class FakeLogind {
 public:
  explicit FakeLogind(const std::string& address) {
    sd_bus* bus = nullptr;
    if (sd_bus_new(&bus) < 0) return;
    bus_ = bus;
    if (sd_bus_set_address(bus_, address.c_str()) < 0 || sd_bus_set_bus_client(bus_, 1) < 0 ||
        sd_bus_start(bus_) < 0 || sd_bus_request_name(bus_, "org.freedesktop.login1", 0) < 0 ||
        sd_bus_add_object_vtable(bus_, nullptr, "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                                 kVtable, this) < 0) {
      return;
    }
    ready_ = true;
    thread_ = std::thread([this] {
      while (!stop_) {
        std::lock_guard lock(busMutex_);
        while (sd_bus_process(bus_, nullptr) > 0) {
        }
        sd_bus_wait(bus_, 10'000);  // 10 ms, so that a stop is seen soon
      }
    });
  }
  ~FakeLogind() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (bus_) sd_bus_flush_close_unref(bus_);
  }
  FakeLogind(const FakeLogind&) = delete;
  FakeLogind& operator=(const FakeLogind&) = delete;

  bool ready() const { return ready_; }

  bool prepareForSleep(bool start) {
    std::lock_guard lock(busMutex_);
    return sd_bus_emit_signal(bus_, "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                              "PrepareForSleep", "b", static_cast<int>(start)) >= 0 &&
           sd_bus_flush(bus_) >= 0;
  }

  // Locks handed out, and how many of them are still held (their pipe's
  // write end open somewhere).
  int locksGiven() const {
    std::lock_guard lock(locksMutex_);
    return static_cast<int>(locks_.size());
  }
  int locksHeld() const {
    std::lock_guard lock(locksMutex_);
    int held = 0;
    for (const auto& fd : locks_) {
      pollfd p{fd.get(), POLLIN, 0};
      held += ::poll(&p, 1, 0) == 0;  // a let-go lock reads end of file
    }
    return held;
  }

 private:
  static int inhibit(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* self = static_cast<FakeLogind*>(userdata);
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) return -errno;
    {
      std::lock_guard lock(self->locksMutex_);
      self->locks_.emplace_back(ends[0]);
    }
    const int r = sd_bus_reply_method_return(m, "h", ends[1]);  // the reply carries a copy
    ::close(ends[1]);
    return r;
  }

  static constexpr sd_bus_vtable kVtable[] = {
      SD_BUS_VTABLE_START(0),
      SD_BUS_METHOD("Inhibit", "ssss", "h", &FakeLogind::inhibit, SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_SIGNAL("PrepareForSleep", "b", 0),
      SD_BUS_VTABLE_END};

  sd_bus* bus_ = nullptr;
  bool ready_ = false;
  std::atomic<bool> stop_{false};
  std::mutex busMutex_;
  mutable std::mutex locksMutex_;
  std::vector<UniqueFd> locks_;  // read ends. Guarded by locksMutex_.
  std::thread thread_;
};

}  // namespace valmor::test
