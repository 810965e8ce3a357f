// SerialPort beside plain system calls on the same kind of pseudo-terminal:
// receive throughput and CPU, read() calls per MiB, the round trip of a short
// message, and the CPU an idle open port costs. Prints figures; asserts
// nothing.
//
// Throughput: a writer thread pushes the same amount into the master; the
// plain loop reads the slave with blocking 1024-byte read()s, the port hands
// the same bytes to a delegate on the main queue. CPU is the whole process's
// (the writer's included, the same on both sides). Best of N rounds.
//
// Round trip: 16 bytes written to the slave and echoed by a thread on the
// master. Plain: write() then blocking read()s until the 16 come back. Port:
// sendData() on the main thread, the echo delivered through
// serialPortDidReceiveData on the main queue.
//
// read() calls are counted from /proc/self/io (syscr), which counts every
// read-like call of the process: only the reader makes any here.
#include <fcntl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <CLI/CLI.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_support.h"
#include "discovery/testing/fake_device_registry.h"
#include "platform/main_queue.h"
#include "platform/testing/pty.h"
#include "platform/testing/temp_dir.h"
#include "serial/device_io.h"
#include "serial/serial_port.h"
#include "serial/testing/fake_device_io.h"

using namespace valmor;
using namespace valmor::test;
using namespace std::chrono_literals;

namespace {

using Clock = std::chrono::steady_clock;

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// Read-like system calls made by this process so far.
long readCalls() {
  std::ifstream io("/proc/self/io");
  std::string key;
  long value = 0;
  while (io >> key >> value)
    if (key == "syscr:") return value;
  return -1;
}

struct Throughput {
  double seconds = 0;
  double cpu = 0;
  std::uint64_t bytes = 0;
  long reads = 0;
  double mbPerSecond() const { return static_cast<double>(bytes) / 1e6 / seconds; }
  double readsPerKiB() const { return static_cast<double>(reads) / (static_cast<double>(bytes) / 1024.0); }
};

std::thread startWriter(PtyPair& pty, std::uint64_t total) {
  return std::thread([&pty, total] {
    std::vector<std::uint8_t> block(64 * 1024, 0x55);
    for (std::uint64_t sent = 0; sent < total; sent += block.size())
      if (!pty.write(block)) return;
  });
}

Throughput plainLoop(std::uint64_t total) {
  PtyPair pty;
  UniqueFd slave = rawSlave(pty);
  Throughput f;
  const long reads0 = readCalls();
  const double cpu0 = cpuSeconds();
  const auto start = Clock::now();
  std::thread writer = startWriter(pty, total);
  std::uint8_t buf[1024];
  while (f.bytes < total) {
    const ssize_t n = ::read(slave.get(), buf, sizeof buf);
    if (n <= 0) break;
    f.bytes += static_cast<std::uint64_t>(n);
  }
  writer.join();
  f.seconds = seconds(Clock::now() - start);
  f.cpu = cpuSeconds() - cpu0;
  f.reads = readCalls() - reads0 - 1;  // less the look at /proc/self/io
  return f;
}

class Counting : public SerialPortDelegate {
 public:
  Counting() : SerialPortDelegate(kDidReceiveData) {}
  void serialPortDidReceiveData(SerialPort&, std::span<const std::uint8_t> data) override { bytes += data.size(); }
  std::uint64_t bytes = 0;
};

class Bench {
 public:
  Bench() {
    setMainQueue(queue_);
    setDeviceRegistryForTesting(registry_);
  }
  ~Bench() {
    queue_->shutDown();
    setDeviceRegistryForTesting(nullptr);
  }

  std::shared_ptr<SerialPort> portFor(const PtyPair& pty) {
    const std::string name = "port" + std::to_string(next_++);
    const std::string callout = dir_ / ("cu." + name);
    std::filesystem::create_symlink(pty.slavePath(), callout);
    registry_->addDevice(FakeDeviceRegistry::device(callout, name));
    return SerialPort::serialPortWithPath(callout);
  }

  void openWith(SerialPort& port, const std::shared_ptr<Counting>& delegate) {
    port.setDelegate(delegate);
    port.open();
    queue_->runPending();
  }

  void close(SerialPort& port) {
    port.close();
    queue_->runUntil([&] { return !port.isOpen(); }, 5s);
    while (port.isOpen()) std::this_thread::sleep_for(1ms);
  }

  Throughput throughPort(std::uint64_t total) {
    PtyPair pty;
    auto port = portFor(pty);
    auto delegate = std::make_shared<Counting>();
    openWith(*port, delegate);

    Throughput f;
    const long reads0 = readCalls();
    const double cpu0 = cpuSeconds();
    const auto start = Clock::now();
    std::thread writer = startWriter(pty, total);
    queue_->runUntil([&] { return delegate->bytes >= total; }, 300s);
    writer.join();
    f.seconds = seconds(Clock::now() - start);
    f.cpu = cpuSeconds() - cpu0;
    f.reads = readCalls() - reads0 - 1;
    f.bytes = delegate->bytes;
    close(*port);
    return f;
  }

  // Round trips of 16 bytes through the port; fills times.
  double portRoundTrips(int count, std::vector<double>& times) {
    PtyPair pty;
    auto port = portFor(pty);
    auto delegate = std::make_shared<Counting>();
    openWith(*port, delegate);
    std::thread echo = startEcho(pty, count);
    const std::string message(16, 'r');
    const double cpu0 = cpuSeconds();
    for (int i = 0; i < count; ++i) {
      const auto t0 = Clock::now();
      if (!port->sendData(message)) break;
      const std::uint64_t want = 16u * static_cast<std::uint64_t>(i + 1);
      queue_->runUntil([&] { return delegate->bytes >= want; }, 5s);
      times.push_back(seconds(Clock::now() - t0));
    }
    const double cpu = cpuSeconds() - cpu0;
    echo.join();
    close(*port);
    return cpu;
  }

  double idleCpuPerSecond(bool withPort) {
    PtyPair pty;
    std::shared_ptr<SerialPort> port;
    if (withPort) {
      port = portFor(pty);
      port->open();
      queue_->runFor(200ms);
    }
    const double cpu0 = cpuSeconds();
    queue_->runFor(3s);
    const double cpu = (cpuSeconds() - cpu0) / 3.0;
    if (port) close(*port);
    return cpu;
  }

  static std::thread startEcho(PtyPair& pty, int count) {
    return std::thread([&pty, count] {
      std::uint8_t buf[64];
      std::size_t due = 16u * static_cast<std::size_t>(count);
      while (due > 0) {
        const ssize_t n = ::read(pty.master(), buf, std::min(sizeof buf, due));
        if (n <= 0) return;
        if (!pty.write(std::span(buf, static_cast<std::size_t>(n)))) return;
        due -= static_cast<std::size_t>(n);
      }
    });
  }

 private:
  std::shared_ptr<RunLoopMainQueue> queue_ = std::make_shared<RunLoopMainQueue>();
  std::shared_ptr<FakeDeviceRegistry> registry_ = std::make_shared<FakeDeviceRegistry>();
  TempDir dir_;
  int next_ = 0;
};

double plainRoundTrips(int count, std::vector<double>& times) {
  PtyPair pty;
  UniqueFd slave = rawSlave(pty);
  std::thread echo = Bench::startEcho(pty, count);
  const std::string message(16, 'r');
  const double cpu0 = cpuSeconds();
  for (int i = 0; i < count; ++i) {
    const auto t0 = Clock::now();
    if (::write(slave.get(), message.data(), message.size()) != 16) break;
    std::size_t got = 0;
    char buf[16];
    while (got < 16) {
      const ssize_t n = ::read(slave.get(), buf, 16 - got);
      if (n <= 0) break;
      got += static_cast<std::size_t>(n);
    }
    times.push_back(seconds(Clock::now() - t0));
  }
  const double cpu = cpuSeconds() - cpu0;
  echo.join();
  return cpu;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Receive throughput, read() calls, round trip and idle CPU of SerialPort beside "
               "plain system calls on pseudo-terminals."};
  std::uint64_t mib = 64;
  int rounds = 7;
  int trips = 2000;
  app.add_option("--mib", mib, "MiB received per throughput run")->check(CLI::Range(1, 4096));
  app.add_option("--rounds", rounds, "throughput rounds; the best of each side counts")->check(CLI::Range(1, 100));
  app.add_option("--trips", trips, "round trips of 16 bytes")->check(CLI::Range(10, 1000000));
  CLI11_PARSE(app, argc, argv);
  const std::uint64_t total = mib << 20;

  Bench bench;
  std::printf("receive throughput, %llu MiB per run, best of %d\n", static_cast<unsigned long long>(mib), rounds);
  std::printf("%-6s %-12s %10s %10s %10s %12s\n", "round", "reader", "MB/s", "CPU s", "seconds", "read/KiB");
  Throughput bestPlain, bestPort;
  for (int r = 0; r < rounds; ++r) {
    const Throughput plain = plainLoop(total);
    const Throughput port = bench.throughPort(total);
    std::printf("%-6d %-12s %10.1f %10.3f %10.3f %12.3f\n", r, "read loop", plain.mbPerSecond(), plain.cpu,
                plain.seconds, plain.readsPerKiB());
    std::printf("%-6d %-12s %10.1f %10.3f %10.3f %12.3f%s\n", r, "SerialPort", port.mbPerSecond(), port.cpu,
                port.seconds, port.readsPerKiB(), port.bytes == total ? "" : "  (incomplete)");
    if (r == 0 || plain.seconds < bestPlain.seconds) bestPlain = plain;
    if (r == 0 || port.seconds < bestPort.seconds) bestPort = port;
  }
  std::printf("best runs: throughput %.2fx the read loop's (target >= 1.0), CPU %.2fx (target <= 1.2); "
              "%.3f read() per KiB through the port (target <= 1.1)\n",
              bestPort.mbPerSecond() / bestPlain.mbPerSecond(), bestPort.cpu / bestPlain.cpu,
              bestPort.readsPerKiB());

  std::vector<double> plainTimes, portTimes;
  const double plainCpu = plainRoundTrips(trips, plainTimes);
  const double portCpu = bench.portRoundTrips(trips, portTimes);
  auto us = [](double s) { return s * 1e6; };
  std::printf("round trip of 16 bytes, %d trips: read loop median %.1f us, p99 %.1f us, CPU %.1f us a trip\n",
              trips, us(percentile(plainTimes, 0.5)), us(percentile(plainTimes, 0.99)), us(plainCpu / trips));
  std::printf("round trip of 16 bytes, %d trips: SerialPort median %.1f us, p99 %.1f us, CPU %.1f us a trip\n",
              trips, us(percentile(portTimes, 0.5)), us(percentile(portTimes, 0.99)), us(portCpu / trips));
  std::printf("round trip: median %.2fx the read loop's (target <= 1.2), CPU %.2fx (target <= 2)\n",
              percentile(portTimes, 0.5) / percentile(plainTimes, 0.5), portCpu / plainCpu);

  const double none = bench.idleCpuPerSecond(false);
  const double pty = bench.idleCpuPerSecond(true);
  auto io = std::make_shared<FakeDeviceIo>();  // modem lines, so the lines are watched
  io->canWait = true;                          // in the kernel, as a UART or USB adapter lets them be
  setDeviceIoForTesting(io);
  const double withLines = bench.idleCpuPerSecond(true);
  setDeviceIoForTesting(nullptr);
  std::printf("idle CPU per second: no port %.5f s, open port without modem lines %.5f s, "
              "with modem lines (waiting) %.5f s\n",
              none, pty, withLines);
  return 0;
}
