// Receive throughput of SerialPort next to a plain blocking read loop, and the
// CPU an idle open port costs. Prints figures; asserts nothing.
//
// Both throughput runs use a pseudo-terminal with a writer thread pushing
// the same amount into the master. The plain loop reads the slave with
// read() and a 1024-byte buffer; the port delivers the same bytes to a
// delegate on the main queue. CPU is the whole process's (writer included,
// the same on both sides).
//
// Usage: serial_throughput [MiB per run, default 64] [rounds, default 7]
#include <fcntl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "platform/main_queue.h"
#include "serial/device_io.h"
#include "serial/serial_port.h"
#include "serial/testing/fake_device_io.h"
#include "discovery/testing/fake_device_registry.h"
#include "platform/testing/pty.h"
#include "platform/testing/temp_dir.h"

using namespace valmor;
using namespace valmor::test;
using namespace std::chrono_literals;

namespace {

double cpuSeconds() {
  timespec ts{};
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

double wallSeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

struct Figures {
  double seconds = 0;
  double cpu = 0;
  std::uint64_t bytes = 0;
  double mbPerSecond() const { return static_cast<double>(bytes) / 1e6 / seconds; }
};

std::thread startWriter(PtyPair& pty, std::uint64_t total) {
  return std::thread([&pty, total] {
    std::vector<std::uint8_t> block(64 * 1024, 0x55);
    for (std::uint64_t sent = 0; sent < total; sent += block.size())
      if (!pty.write(block)) return;
  });
}

Figures plainLoop(std::uint64_t total) {
  PtyPair pty;
  UniqueFd slave(::open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
  termios t{};
  ::tcgetattr(slave.get(), &t);
  ::cfmakeraw(&t);
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 2;
  ::tcsetattr(slave.get(), TCSANOW, &t);

  Figures f;
  const double cpu0 = cpuSeconds();
  const double wall0 = wallSeconds();
  std::thread writer = startWriter(pty, total);
  std::uint8_t buf[1024];
  while (f.bytes < total) {
    const ssize_t n = ::read(slave.get(), buf, sizeof buf);
    if (n <= 0) break;
    f.bytes += static_cast<std::uint64_t>(n);
  }
  writer.join();
  f.seconds = wallSeconds() - wall0;
  f.cpu = cpuSeconds() - cpu0;
  return f;
}

class Counting : public SerialPortDelegate {
 public:
  Counting() : SerialPortDelegate(kDidReceiveData) {}
  void serialPortDidReceiveData(SerialPort&, std::span<const std::uint8_t> data) override { bytes += data.size(); }
  std::uint64_t bytes = 0;
};

std::shared_ptr<SerialPort> portFor(FakeDeviceRegistry& registry, const TempDir& dir, const PtyPair& pty,
                                    const std::string& name) {
  const std::string callout = dir / ("cu." + name);
  std::filesystem::create_symlink(pty.slavePath(), callout);
  registry.addDevice(FakeDeviceRegistry::device(callout, name));
  return SerialPort::serialPortWithPath(callout);
}

Figures throughPort(RunLoopMainQueue& queue, FakeDeviceRegistry& registry, const TempDir& dir,
                    std::uint64_t total, int round) {
  PtyPair pty;
  auto port = portFor(registry, dir, pty, "throughput" + std::to_string(round));
  auto delegate = std::make_shared<Counting>();
  port->setDelegate(delegate);
  port->open();
  queue.runPending();

  Figures f;
  const double cpu0 = cpuSeconds();
  const double wall0 = wallSeconds();
  std::thread writer = startWriter(pty, total);
  queue.runUntil([&] { return delegate->bytes >= total; }, 300s);
  writer.join();
  f.seconds = wallSeconds() - wall0;
  f.cpu = cpuSeconds() - cpu0;
  f.bytes = delegate->bytes;
  port->close();
  queue.runUntil([&] { return !port->isOpen(); }, 5s);
  return f;
}

// CPU per second of wall time while the main queue idles, with one open
// port (or none).
double idleCpuPerSecond(RunLoopMainQueue& queue, FakeDeviceRegistry& registry, const TempDir& dir,
                        const std::string& name, bool withPort) {
  PtyPair pty;
  std::shared_ptr<SerialPort> port;
  if (withPort) {
    port = portFor(registry, dir, pty, name);
    port->open();
    queue.runFor(200ms);
  }
  const double cpu0 = cpuSeconds();
  queue.runFor(3s);
  const double cpu = (cpuSeconds() - cpu0) / 3.0;
  if (port) {
    port->close();
    queue.runUntil([&] { return !port->isOpen(); }, 5s);
  }
  return cpu;
}

}  // namespace

int main(int argc, char** argv) {
  const std::uint64_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 64;
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 7;
  const std::uint64_t total = mib << 20;

  auto queue = std::make_shared<RunLoopMainQueue>();
  setMainQueue(queue);
  auto registry = std::make_shared<FakeDeviceRegistry>();
  setDeviceRegistryForTesting(registry);
  TempDir dir;

  std::printf("receive throughput, %llu MiB per run over a pseudo-terminal\n",
              static_cast<unsigned long long>(mib));
  std::printf("%-6s %-12s %10s %10s %10s\n", "round", "reader", "MB/s", "CPU s", "seconds");
  Figures bestPlain, bestPort;
  for (int r = 0; r < rounds; ++r) {
    const Figures plain = plainLoop(total);
    const Figures port = throughPort(*queue, *registry, dir, total, r);
    std::printf("%-6d %-12s %10.1f %10.3f %10.3f\n", r, "read loop", plain.mbPerSecond(), plain.cpu,
                plain.seconds);
    std::printf("%-6d %-12s %10.1f %10.3f %10.3f%s\n", r, "SerialPort", port.mbPerSecond(), port.cpu,
                port.seconds, port.bytes == total ? "" : "  (incomplete)");
    if (r == 0 || plain.seconds < bestPlain.seconds) bestPlain = plain;
    if (r == 0 || port.seconds < bestPort.seconds) bestPort = port;
  }
  std::printf("best runs: throughput ratio %.2f (target >= 0.9), CPU ratio %.2f (target <= 1.5)\n",
              bestPort.mbPerSecond() / bestPlain.mbPerSecond(), bestPort.cpu / bestPlain.cpu);

  const double none = idleCpuPerSecond(*queue, *registry, dir, "idle-none", false);
  const double plainPty = idleCpuPerSecond(*queue, *registry, dir, "idle-pty", true);
  auto io = std::make_shared<FakeDeviceIo>();  // modem lines, so the 10 ms poll runs
  setDeviceIoForTesting(io);
  const int callsBefore = io->getModemCalls;
  const double withLines = idleCpuPerSecond(*queue, *registry, dir, "idle-lines", true);
  const int polls = io->getModemCalls - callsBefore;
  setDeviceIoForTesting(nullptr);
  std::printf("idle CPU per second: no port %.5f s, open port without modem lines %.5f s, "
              "with modem lines (polled) %.5f s, %d polls in ~3.2 s\n",
              none, plainPty, withLines, polls);

  queue->shutDown();
  setDeviceRegistryForTesting(nullptr);
  return 0;
}
