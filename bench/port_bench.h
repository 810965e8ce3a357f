// What the benchmarks that open SerialPorts share: a run-loop main queue
// and a hand-filled device registry set up for the process, ports on
// pseudo-terminals, a close that does not wait on a delegate, a writer that
// streams into a master, and round trips chained from inside the delegate.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_support.h"
#include "discovery/testing/fake_device_registry.h"
#include "platform/testing/pty.h"
#include "platform/testing/temp_dir.h"
#include "valmor/platform/main_queue.h"
#include "valmor/serial/serial_packet_descriptor.h"
#include "valmor/serial/serial_port.h"
#include "valmor/serial/serial_request.h"

namespace valmor::test {

// The process's main queue and device registry while it lives, and ports
// made on pseudo-terminals through that registry.
class PortBench {
 public:
  PortBench() {
    setMainQueue(queue_);
    setDeviceRegistryForTesting(registry_);
  }
  ~PortBench() {
    queue_->shutDown();
    setDeviceRegistryForTesting(nullptr);
  }
  PortBench(const PortBench&) = delete;
  PortBench& operator=(const PortBench&) = delete;

  RunLoopMainQueue& queue() { return *queue_; }

  // A port on pty's slave, listed under a name of its own.
  std::shared_ptr<SerialPort> portFor(const PtyPair& pty) {
    const std::string name = "port" + std::to_string(next_++);
    const std::string callout = dir_ / ("cu." + name);
    std::filesystem::create_symlink(pty.slavePath(), callout);
    registry_->addDevice(FakeDeviceRegistry::device(callout, name));
    return SerialPort::serialPortWithPath(callout);
  }

  void openWith(SerialPort& port, const std::shared_ptr<SerialPortDelegate>& delegate) {
    port.setDelegate(delegate);
    port.open();
    queue_->runPending();
  }

  // The close completes on the pool and may be told to no delegate: look
  // every millisecond.
  void close(SerialPort& port) {
    using namespace std::chrono_literals;
    port.close();
    for (const auto end = std::chrono::steady_clock::now() + 5s;
         port.isOpen() && std::chrono::steady_clock::now() < end;)
      queue_->runFor(1ms);
  }

 private:
  std::shared_ptr<RunLoopMainQueue> queue_ = std::make_shared<RunLoopMainQueue>();
  std::shared_ptr<FakeDeviceRegistry> registry_ = std::make_shared<FakeDeviceRegistry>();
  TempDir dir_;
  int next_ = 0;
};

// A thread that writes total bytes into pty's master, 64 KiB a write.
inline std::thread startWriter(PtyPair& pty, std::uint64_t total) {
  return std::thread([&pty, total] {
    std::vector<std::uint8_t> block(64 * 1024, 0x55);
    for (std::uint64_t sent = 0; sent < total; sent += block.size())
      if (!pty.write(block)) return;
  });
}

// Round trips made by the delegate itself on the library's threads: a
// complete echo (or, with requests, a reply) ends a trip and the next one
// is sent from inside that call, until a block is done; then the main loop
// is woken.
class Chain : public SerialPortDelegate {
 public:
  using Clock = std::chrono::steady_clock;

  Chain() : SerialPortDelegate(kDidReceiveResponseToRequest | kDidReceiveData) {}

  // Runs trips first .. first + count - 1 on port, as data or as requests;
  // the main loop sleeps meanwhile.
  void run(SerialPort& port, RunLoopMainQueue& queue, bool requests, int first, int count,
           std::vector<double>& micros) {
    using namespace std::chrono_literals;
    const std::size_t before = micros.size();
    {
      std::lock_guard lock(mutex_);
      requests_ = requests;
      micros_ = &micros;
      next_ = first;
      end_ = first + count;
      done_ = false;
      start(port);
    }
    if (!queue.runUntil([&] { return done_.load(); }, 30s)) {
      // A lost echo: the rest of the block counts as failed.
      std::lock_guard lock(mutex_);
      done_ = true;
      while (micros.size() - before < static_cast<std::size_t>(count)) micros.push_back(-1);
    }
  }

  void serialPortDidReceiveData(SerialPort& port, std::span<const std::uint8_t> data) override {
    std::lock_guard lock(mutex_);
    if (done_ || requests_) return;
    got_ += data.size();
    if (got_ >= 16) tripDone(port);
  }
  void serialPortDidReceiveResponseToRequest(SerialPort& port, std::span<const std::uint8_t>,
                                             const std::shared_ptr<SerialRequest>&) override {
    std::lock_guard lock(mutex_);
    if (!done_ && requests_) tripDone(port);
  }

 private:
  void tripDone(SerialPort& port) {
    micros_->push_back(microsSince(start_));
    if (++next_ == end_) {
      done_ = true;
      mainQueue().post([] {});
      return;
    }
    start(port);
  }
  void start(SerialPort& port) {
    got_ = 0;
    const Bytes out = payload(next_);
    start_ = Clock::now();
    const bool sent =
        requests_ ? port.sendRequest(SerialRequest::requestWithDataToSend(
                        out, {}, 0, SerialPacketDescriptor::initWithPacketData(out, {})))
                  : port.sendData(out);
    if (!sent) micros_->push_back(-1);
  }

  std::mutex mutex_;
  bool requests_ = false;
  std::vector<double>* micros_ = nullptr;
  int next_ = 0;
  int end_ = 0;
  std::size_t got_ = 0;
  Clock::time_point start_;
  std::atomic<bool> done_{false};
};

}  // namespace valmor::test
