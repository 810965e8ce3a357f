// Many ports open at once on pseudo-terminals: what each costs while idle
// (threads, resident memory, descriptors, CPU and wake-ups), and whether one
// of them still receives a stream as fast as a port open on its own. Prints
// figures; asserts nothing.
//
// The stream is 64 KiB writes into the master, counted by the delegate on
// the main queue; the best of the rounds counts, alone and among the others.
// Descriptors are the process's, the benchmark's own pseudo-terminal masters
// included (one per port).
//
// Usage: many_ports [--ports N] [--mib N] [--rounds N] [--idle-seconds N]
#include <sys/resource.h>
#include <unistd.h>

#include <CLI/CLI.hpp>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_support.h"
#include "bench/port_bench.h"
#include "valmor/platform/main_queue.h"
#include "platform/testing/pty.h"
#include "valmor/serial/serial_port.h"

using namespace valmor;
using namespace valmor::test;
using namespace std::chrono_literals;

namespace {

using Clock = std::chrono::steady_clock;

struct Footprint {
  long threads = 0;
  long residentKiB = 0;
  long descriptors = 0;
};

Footprint footprint() {
  Footprint f;
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("Threads:", 0) == 0) f.threads = std::stol(line.substr(8));
    if (line.rfind("VmRSS:", 0) == 0) f.residentKiB = std::stol(line.substr(6));
  }
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) ++f.descriptors;
  --f.descriptors;  // the directory being listed
  return f;
}

class Counting : public SerialPortDelegate {
 public:
  Counting() : SerialPortDelegate(kDidReceiveData | kWasClosed) {}
  void serialPortDidReceiveData(SerialPort&, std::span<const std::uint8_t> data) override { bytes += data.size(); }
  void serialPortWasClosed(SerialPort&) override { closed = true; }
  std::uint64_t bytes = 0;
  bool closed = false;
};

struct OpenPort {
  std::unique_ptr<PtyPair> pty = std::make_unique<PtyPair>();
  std::shared_ptr<SerialPort> port;
  std::shared_ptr<Counting> delegate = std::make_shared<Counting>();
};

class Bench : public PortBench {
 public:
  OpenPort open() {
    OpenPort p;
    p.port = portFor(*p.pty);
    p.port->setDelegate(p.delegate);
    p.port->open();
    return p;
  }

  void close(OpenPort& p) {
    p.port->close();
    queue().runUntil([&] { return p.delegate->closed; }, 5s);
  }

  // MB/s of total bytes into p's master until its delegate has them all.
  double stream(OpenPort& p, std::uint64_t total) {
    const std::uint64_t before = p.delegate->bytes;
    const auto start = Clock::now();
    std::thread writer = startWriter(*p.pty, total);
    queue().runUntil([&] { return p.delegate->bytes - before >= total; }, 300s);
    writer.join();
    return static_cast<double>(p.delegate->bytes - before) / 1e6 /
           std::chrono::duration<double>(Clock::now() - start).count();
  }
};

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Many ports open at once on pseudo-terminals: idle cost per port, and one port's stream among them."};
  int ports = 256;
  std::uint64_t mib = 64;
  int rounds = 3;
  int idleSeconds = 5;
  app.add_option("--ports", ports, "ports open at once")->check(CLI::Range(2, 4000));
  app.add_option("--mib", mib, "MiB per stream run")->check(CLI::Range(1, 4096));
  app.add_option("--rounds", rounds, "stream runs each way; the best counts")->check(CLI::Range(1, 100));
  app.add_option("--idle-seconds", idleSeconds, "length of the idle measurement")->check(CLI::Range(1, 600));
  CLI11_PARSE(app, argc, argv);

  // Each port takes three descriptors and its pseudo-terminal's master one.
  rlimit files{};
  ::getrlimit(RLIMIT_NOFILE, &files);
  files.rlim_cur = files.rlim_max;
  ::setrlimit(RLIMIT_NOFILE, &files);

  Bench bench;
  const std::uint64_t total = mib << 20;

  // A port on its own first, its pool and threads warmed up.
  double alone = 0;
  {
    OpenPort p = bench.open();
    bench.queue().runFor(100ms);
    for (int r = 0; r < rounds; ++r) alone = std::max(alone, bench.stream(p, total));
    bench.close(p);
  }
  bench.queue().runFor(200ms);

  const Footprint before = footprint();
  std::vector<OpenPort> open;
  for (int i = 0; i < ports; ++i) open.push_back(bench.open());
  bench.queue().runFor(1s);  // every port's threads started
  const Footprint after = footprint();

  const double cpu0 = cpuSeconds();
  const long switches0 = contextSwitches();
  bench.queue().runFor(std::chrono::seconds(idleSeconds));
  const double idleCpu = cpuSeconds() - cpu0;
  const double wakeUps = static_cast<double>(contextSwitches() - switches0) / idleSeconds;

  double among = 0;
  for (int r = 0; r < rounds; ++r) among = std::max(among, bench.stream(open[0], total));

  const double n = ports;
  std::printf("%d ports open on pseudo-terminals (none with modem lines, no requests)\n", ports);
  std::printf("%-22s %12s %12s %12s\n", "", "before", "open", "per port");
  std::printf("%-22s %12ld %12ld %12.2f\n", "threads", before.threads, after.threads,
              (after.threads - before.threads) / n);
  std::printf("%-22s %12ld %12ld %12.1f\n", "resident KiB", before.residentKiB, after.residentKiB,
              (after.residentKiB - before.residentKiB) / n);
  std::printf("%-22s %12ld %12ld %12.2f   (the benchmark's masters included: 1 per port)\n", "descriptors",
              before.descriptors, after.descriptors, (after.descriptors - before.descriptors) / n);
  std::printf("idle, %d s: CPU %.3f ms per 10 s for all %d ports, %.2f wake-ups per second\n", idleSeconds,
              idleCpu * 1e3 * 10 / idleSeconds, ports, wakeUps);
  std::printf("stream of %llu MiB, best of %d: alone %.1f MB/s, among %d open ports %.1f MB/s (%.2fx)\n",
              static_cast<unsigned long long>(mib), rounds, alone, ports, among, among / alone);

  for (auto& p : open) p.port->close();
  bench.queue().runUntil([&] {
    for (auto& p : open)
      if (!p.delegate->closed) return false;
    return true;
  }, 30s);
  return 0;
}
