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
// serialPortDidReceiveData on the main queue. The two take turns in blocks of
// 100, after a warm-up of 100 each.
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
#include "valmor/platform/main_queue.h"
#include "platform/testing/pty.h"
#include "platform/testing/temp_dir.h"
#include "serial/lines/device_io.h"
#include "valmor/serial/serial_port.h"
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

  // Round trips of 16 bytes, sendData() on the main thread and the echo
  // delivered through serialPortDidReceiveData, taking turns with the plain
  // loop: the read loop's, then the port's.
  std::vector<RoundTrips> roundTrips(int count) {
    PlainLoop plainLoop;
    PtyPair pty;
    auto serial = portFor(pty);
    auto delegate = std::make_shared<Counting>();
    openWith(*serial, delegate);
    Echo echo(pty);
    auto portTrip = [&](int i) {
      const Bytes out = payload(i);
      const auto start = Clock::now();
      const std::uint64_t want = delegate->bytes + out.size();
      if (!serial->sendData(out)) return -1.0;
      if (!queue_->runUntil([&] { return delegate->bytes >= want; }, 5s)) return -1.0;
      return microsSince(start);
    };
    auto trips = takeTurns(count, {[&](int i) { return plainLoop.roundTrip(i); }, portTrip});
    close(*serial);
    return trips;
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

 private:
  std::shared_ptr<RunLoopMainQueue> queue_ = std::make_shared<RunLoopMainQueue>();
  std::shared_ptr<FakeDeviceRegistry> registry_ = std::make_shared<FakeDeviceRegistry>();
  TempDir dir_;
  int next_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Receive throughput, read() calls, round trip and idle CPU of SerialPort beside "
               "plain system calls on pseudo-terminals."};
  std::uint64_t mib = 64;
  int rounds = 7;
  int tripCount = 2000;
  app.add_option("--mib", mib, "MiB received per throughput run")->check(CLI::Range(1, 4096));
  app.add_option("--rounds", rounds, "throughput rounds; the best of each side counts")->check(CLI::Range(1, 100));
  app.add_option("--trips", tripCount, "round trips of 16 bytes")->check(CLI::Range(10, 1000000));
  CLI11_PARSE(app, argc, argv);
  const std::uint64_t total = mib << 20;

  Bench bench;
  std::printf("receive throughput, %llu MiB per run, best of %d\n", static_cast<unsigned long long>(mib), rounds);
  std::printf("%-6s %-12s %10s %10s %10s %12s\n", "round", "reader", "MB/s", "CPU s", "seconds", "read/KiB");
  Throughput bestPlain, bestPort;
  // Each round's port beside the same round's read loop: on a shared machine
  // the load drifts between rounds more than between the two halves of one.
  std::vector<double> throughputRatios, cpuRatios;
  for (int r = 0; r < rounds; ++r) {
    const Throughput plain = plainLoop(total);
    const Throughput port = bench.throughPort(total);
    std::printf("%-6d %-12s %10.1f %10.3f %10.3f %12.3f\n", r, "read loop", plain.mbPerSecond(), plain.cpu,
                plain.seconds, plain.readsPerKiB());
    std::printf("%-6d %-12s %10.1f %10.3f %10.3f %12.3f%s\n", r, "SerialPort", port.mbPerSecond(), port.cpu,
                port.seconds, port.readsPerKiB(), port.bytes == total ? "" : "  (incomplete)");
    if (r == 0 || plain.seconds < bestPlain.seconds) bestPlain = plain;
    if (r == 0 || port.seconds < bestPort.seconds) bestPort = port;
    throughputRatios.push_back(port.mbPerSecond() / plain.mbPerSecond());
    cpuRatios.push_back(port.cpu / plain.cpu);
  }
  std::printf("best runs: throughput %.2fx the read loop's (target >= 1.0), CPU %.2fx (target <= 1.2); "
              "%.3f read() per KiB through the port (target <= 1.1)\n",
              bestPort.mbPerSecond() / bestPlain.mbPerSecond(), bestPort.cpu / bestPlain.cpu,
              bestPort.readsPerKiB());
  std::printf("median of the rounds, each port beside its read loop: throughput %.2fx, CPU %.2fx\n",
              percentile(throughputRatios, 0.5), percentile(cpuRatios, 0.5));

  const std::vector<RoundTrips> trips = bench.roundTrips(tripCount);
  const RoundTrips& plain = trips[0];
  const RoundTrips& port = trips[1];
  if (plain.failed() + port.failed() > 0) std::printf("failed round trips: %ld\n", plain.failed() + port.failed());
  const auto report = [tripCount](const char* name, const RoundTrips& t) {
    std::printf("round trip of 16 bytes, %d trips: %s median %.1f us, p99 %.1f us, CPU %.1f us a trip\n",
                tripCount, name, t.median(), t.p99(), t.cpu * 1e6 / tripCount);
  };
  report("read loop", plain);
  report("SerialPort", port);
  std::printf("round trip: median %.2fx the read loop's (target <= 1.2), CPU %.2fx (target <= 2)\n",
              port.median() / plain.median(), port.cpu / plain.cpu);

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
