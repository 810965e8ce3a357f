// Idle CPU of an open port whose device has modem lines: waiting for line
// changes (TIOCMIWAIT on a thread of the port's own) beside the 10 ms poll,
// against an open port without modem lines, no port at all, and a bare loop
// that polls a descriptor every 10 ms. Prints figures; asserts nothing.
//
// The devices are pseudo-terminals, which have no modem lines. For the two
// ports with modem lines, FakeDeviceIo gives them some: waiting sleeps in
// read() on a pipe, as TIOCMIWAIT sleeps in the driver, until a line changes
// (none does here); polling reads the fake's modem word every 10 ms, as
// TIOCMGET would. CPU is the whole process's (CLOCK_PROCESS_CPUTIME_ID),
// main loop and background pool included; wake-ups are the process's
// context switches (getrusage).
//
// Usage: modem_lines_idle [--seconds N]
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <thread>

#include <CLI/CLI.hpp>

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

struct Idle {
  double cpuMs = 0;      // per 10 s
  double wakeUps = 0;    // per second
  int modemReads = 0;    // TIOCMGET through the seam, over the whole measurement
};

class Bench {
 public:
  explicit Bench(int seconds) : seconds_(seconds) {
    setMainQueue(queue_);
    setDeviceRegistryForTesting(registry_);
  }

  // The idle cost of the main loop running for the measurement, with what
  // setUp() made.
  Idle measure(const std::function<void()>& setUp, const std::function<void()>& tearDown,
               const std::shared_ptr<FakeDeviceIo>& io) {
    setUp();
    queue_->runFor(300ms);  // settled: opened, watcher asleep
    const int reads0 = io ? io->getModemCalls.load() : 0;
    const double cpu0 = cpuSeconds();
    const long switches0 = contextSwitches();
    queue_->runFor(std::chrono::seconds(seconds_));
    Idle idle;
    idle.cpuMs = (cpuSeconds() - cpu0) * 1000.0 * 10.0 / seconds_;
    idle.wakeUps = static_cast<double>(contextSwitches() - switches0) / seconds_;
    idle.modemReads = io ? io->getModemCalls.load() - reads0 : 0;
    tearDown();
    return idle;
  }

  Idle noPort() {
    return measure([] {}, [] {}, nullptr);
  }

  Idle openPort(const std::string& name, std::shared_ptr<FakeDeviceIo> io) {
    PtyPair pty;
    std::shared_ptr<SerialPort> port;
    setDeviceIoForTesting(io);
    const std::string callout = dir_ / ("cu." + name);
    std::filesystem::create_symlink(pty.slavePath(), callout);
    registry_->addDevice(FakeDeviceRegistry::device(callout, name));
    return measure(
        [&] {
          port = SerialPort::serialPortWithPath(callout);
          port->open();
        },
        [&] {
          port->close();
          queue_->runUntil([&] { return !port->isOpen(); }, 5s);
          setDeviceIoForTesting(nullptr);
        },
        io);
  }

  // A thread that reads a descriptor's modem word every 10 ms and does
  // nothing else: the least a poll can cost.
  Idle barePollLoop() {
    PtyPair pty;
    std::atomic<bool> stop{false};
    std::thread poller;
    return measure(
        [&] {
          poller = std::thread([&] {
            timespec next{};
            ::clock_gettime(CLOCK_MONOTONIC, &next);
            while (!stop) {
              int bits = 0;
              (void)::ioctl(pty.master(), TIOCMGET, &bits);
              next.tv_nsec += 10'000'000;
              if (next.tv_nsec >= 1'000'000'000) {
                next.tv_nsec -= 1'000'000'000;
                ++next.tv_sec;
              }
              ::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
            }
          });
        },
        [&] {
          stop = true;
          poller.join();
        },
        nullptr);
  }

 private:
  const int seconds_;
  std::shared_ptr<RunLoopMainQueue> queue_ = std::make_shared<RunLoopMainQueue>();
  std::shared_ptr<FakeDeviceRegistry> registry_ = std::make_shared<FakeDeviceRegistry>();
  TempDir dir_;
};

void print(const char* what, const Idle& idle) {
  std::printf("%-44s %10.3f %12.1f %12d\n", what, idle.cpuMs, idle.wakeUps, idle.modemReads);
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Idle CPU and wake-ups of an open port with modem lines, waiting in the kernel beside the 10 ms "
               "poll, against a port without modem lines and a bare poll loop."};
  int seconds = 10;
  app.add_option("--seconds", seconds, "seconds measured per line")->check(CLI::Range(1, 3600));
  CLI11_PARSE(app, argc, argv);
  Bench bench(seconds);
  std::printf("idle cost over %d s per line (CPU scaled to 10 s)\n", seconds);
  std::printf("%-44s %10s %12s %12s\n", "", "CPU ms/10s", "wake-ups/s", "modem reads");

  const Idle none = bench.noPort();
  const Idle bare = bench.barePollLoop();
  const Idle plain = bench.openPort("plain", nullptr);
  auto waiting = std::make_shared<FakeDeviceIo>();
  waiting->canWait = true;
  const Idle waited = bench.openPort("waiting", waiting);
  auto polling = std::make_shared<FakeDeviceIo>();  // no TIOCMIWAIT: the port polls
  const Idle polled = bench.openPort("polling", polling);

  print("no port", none);
  print("bare 10 ms poll loop (one thread, TIOCMGET)", bare);
  print("open port, no modem lines", plain);
  print("open port, modem lines, waiting (TIOCMIWAIT)", waited);
  print("open port, modem lines, 10 ms poll", polled);
  std::printf("waiting costs %.2fx the port without modem lines (target <= 2); the poll %.2fx\n",
              waited.cpuMs / plain.cpuMs, polled.cpuMs / plain.cpuMs);
  return 0;
}
