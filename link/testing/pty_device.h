// Test support: a pseudo-terminal that stands in for the VALMOR unit. The
// slave side is published as DIR/cu.NAME for the directory device registry,
// so a SerialPort opens it like any unit; the master side is the unit. A
// background thread reads the master and keeps every chunk with the time its
// read returned, so that pauses between writes can be measured.
//
// Threading: every member may be called from the test's thread while the
// reader runs.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/testing/pty.h"
#include "platform/unique_fd.h"

namespace valmor::test {

class PtyDevice {
 public:
  using Clock = std::chrono::steady_clock;
  struct Chunk {
    Clock::time_point at;
    std::string bytes;
  };

  explicit PtyDevice(const std::string& dir, const std::string& name = "usbserial-TEST")
      : path_(dir + "/cu." + name) {
    PtyEnds ends = openPty();
    if (!ends.master) return;
    master_ = std::move(ends.master);
    const std::string& slave = ends.slavePath;
    // Attributes set on the master apply to the slave: raw, as a unit's line.
    termios attributes{};
    ::tcgetattr(master_.get(), &attributes);
    ::cfmakeraw(&attributes);
    ::tcsetattr(master_.get(), TCSANOW, &attributes);
    slavePath_ = slave;
    if (::symlink(slave.c_str(), path_.c_str()) != 0) return;
    reader_ = std::thread([this] { readLoop(); });
  }

  ~PtyDevice() {
    pullOut();
  }

  PtyDevice(const PtyDevice&) = delete;
  PtyDevice& operator=(const PtyDevice&) = delete;

  bool ready() const { return reader_.joinable(); }
  const std::string& path() const { return path_; }
  const std::string& slavePath() const { return slavePath_; }
  int masterFd() const { return master_.get(); }

  // The unit sends bytes to the port.
  bool write(std::string_view bytes) {
    return ::write(master_.get(), bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  }

  std::vector<Chunk> chunks() const {
    std::lock_guard lock(mutex_);
    return chunks_;
  }

  std::string received() const {
    std::lock_guard lock(mutex_);
    std::string all;
    for (const Chunk& chunk : chunks_) all += chunk.bytes;
    return all;
  }

  void clearReceived() {
    std::lock_guard lock(mutex_);
    chunks_.clear();
    count_ = 0;
  }

  // Waits until at least `count` bytes have been received; false on time-out.
  bool waitForBytes(std::size_t count, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, timeout, [&] { return count_ >= count; });
  }

  // The device is pulled out: the link goes and the master closes, so that
  // the port sees a hang-up.
  void pullOut() {
    stop_ = true;
    if (reader_.joinable()) reader_.join();
    ::unlink(path_.c_str());
    master_.reset();
  }

 private:
  void readLoop() {
    while (!stop_) {
      pollfd p{master_.get(), POLLIN, 0};
      if (::poll(&p, 1, 10) <= 0) continue;
      char buffer[4096];
      const ssize_t n = ::read(master_.get(), buffer, sizeof buffer);
      const auto at = Clock::now();
      if (n <= 0) {
        // EIO while no process has the slave open: look again shortly.
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        continue;
      }
      std::lock_guard lock(mutex_);
      chunks_.push_back({at, std::string(buffer, static_cast<std::size_t>(n))});
      count_ += static_cast<std::size_t>(n);
      cv_.notify_all();
    }
  }

  std::string path_;
  std::string slavePath_;
  UniqueFd master_;
  std::atomic<bool> stop_{false};
  std::thread reader_;
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<Chunk> chunks_;  // Guarded by mutex_.
  std::size_t count_ = 0;      // Guarded by mutex_.
};

}  // namespace valmor::test
