// SerialPort beside plain system calls on the same kind of pseudo-terminal:
// receive throughput, CPU and system calls, the round trip of a short
// message, and what an idle open port costs. Prints figures; asserts nothing.
//
// Receive: a writer thread pushes the same amount into the master, 64 KiB a
// write; each reader takes it from the slave:
//  - read loop 1 KiB, read loop 64 KiB: blocking read()s of that size, the
//    plain loops every library is measured against;
//  - reader + hand-off: a thread of blocking 64 KiB read()s that posts each
//    read to the main loop, which counts it: the wake-ups of a design that
//    delivers on the main thread, and nothing else;
//  - SerialPort, main queue: the port's delegate counts the bytes, on the
//    main queue (the default delivery);
//  - SerialPort, library thread: the same with the delegate called on the
//    library's threads (DelegateDelivery::LibraryThread), as an event loop
//    that reads what is waiting and handles it at once.
// The readers take turns within each round; the best of the rounds counts,
// its throughput and its CPU (the whole process's, the writer's included:
// the same for all). read(), poll() and futex() calls per MiB are counted
// in a run of their own (syscall_counts.h), so that counting costs the timed
// runs nothing.
//
// Round trip: 16 bytes written to the slave and echoed by a thread on the
// master, until all 16 are back. Plain: write() then blocking read()s.
// Reader + hand-off: the main loop writes, a reading thread posts what it
// reads to the main loop. SerialPort, main queue: sendData() on the main
// thread, the echo delivered to serialPortDidReceiveData on the main queue.
// SerialPort, library thread: the delegate, called on the reading thread,
// writes the next message with sendData() as soon as the last one's echo is
// complete, as event-loop programs do. The kinds take turns in blocks of
// 100, after a warm-up of 100 each.
//
// Idle: the CPU and the wake-ups (context switches) of the process over a
// quiet spell with a thread blocked in poll() on a pseudo-terminal's slave,
// and with a port open on one instead.
//
// Usage: serial_throughput [--mib N] [--rounds N] [--trips N] [--idle-seconds N]
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <CLI/CLI.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_support.h"
#include "bench/port_bench.h"
#include "bench/syscall_counts.h"
#include "discovery/testing/fake_device_registry.h"
#include "valmor/platform/main_queue.h"
#include "platform/testing/pty.h"
#include "platform/testing/temp_dir.h"
#include "serial/lines/device_io.h"
#include "valmor/serial/serial_port.h"

using namespace valmor;
using namespace valmor::test;
using namespace std::chrono_literals;

namespace {

using Clock = std::chrono::steady_clock;

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

struct Throughput {
  double seconds = 0;
  double cpu = 0;
  std::uint64_t bytes = 0;
  double mbPerSecond() const { return static_cast<double>(bytes) / 1e6 / seconds; }
};

Throughput plainLoop(std::uint64_t total, std::size_t readSize) {
  PtyPair pty;
  UniqueFd slave = rawSlave(pty);
  std::vector<std::uint8_t> buf(readSize);
  Throughput f;
  const double cpu0 = cpuSeconds();
  const auto start = Clock::now();
  std::thread writer = startWriter(pty, total);
  while (f.bytes < total) {
    const ssize_t n = ::read(slave.get(), buf.data(), buf.size());
    if (n <= 0) break;
    f.bytes += static_cast<std::uint64_t>(n);
  }
  writer.join();
  f.seconds = seconds(Clock::now() - start);
  f.cpu = cpuSeconds() - cpu0;
  return f;
}

// A thread that reads the slave with blocking 64 KiB read()s and posts each
// read to the main loop, where onRead() gets its bytes: the plain form of a
// port that reads on a thread of its own and delivers on the main thread.
class HandOffReader {
 public:
  HandOffReader(PtyPair& pty, RunLoopMainQueue& queue, std::function<void(std::vector<std::uint8_t>)> onRead)
      : slave_(rawSlave(pty)), thread_([this, &queue, onRead = std::move(onRead)] {
          std::vector<std::uint8_t> buf(64 * 1024);
          for (;;) {
            const ssize_t n = ::read(slave_.get(), buf.data(), buf.size());
            if (n <= 0 || stop_) return;
            queue.post([onRead, bytes = std::vector<std::uint8_t>(buf.begin(), buf.begin() + n)]() mutable {
              onRead(std::move(bytes));
            });
          }
        }) {}
  // Ends the read with a byte sent through the master.
  void stop(PtyPair& pty) {
    stop_ = true;
    pty.write("x");
    thread_.join();
  }
  int slave() const { return slave_.get(); }

 private:
  UniqueFd slave_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// Counts what it receives. Called on the library's threads, it wakes the
// main loop once the count reaches wakeAt, so that the main loop sleeps
// through the run.
class Counting : public SerialPortDelegate {
 public:
  Counting() : SerialPortDelegate(kDidReceiveData) {}
  void serialPortDidReceiveData(SerialPort&, std::span<const std::uint8_t> data) override {
    const std::uint64_t now = bytes += data.size();
    if (now >= wakeAt && now - data.size() < wakeAt && !mainQueue().isCurrent()) mainQueue().post([] {});
  }
  std::atomic<std::uint64_t> bytes{0};
  std::atomic<std::uint64_t> wakeAt{~std::uint64_t{0}};
};

class Bench : public PortBench {
 public:
  Throughput handOff(std::uint64_t total) {
    PtyPair pty;
    std::uint64_t received = 0;
    Throughput f;
    const double cpu0 = cpuSeconds();
    const auto start = Clock::now();
    HandOffReader reader(pty, queue(), [&](std::vector<std::uint8_t> bytes) { received += bytes.size(); });
    std::thread writer = startWriter(pty, total);
    queue().runUntil([&] { return received >= total; }, 300s);
    writer.join();
    f.seconds = seconds(Clock::now() - start);
    f.cpu = cpuSeconds() - cpu0;
    f.bytes = received;
    reader.stop(pty);
    queue().runPending();
    return f;
  }

  Throughput throughPort(std::uint64_t total, SerialPort::DelegateDelivery delivery) {
    PtyPair pty;
    auto port = portFor(pty);
    auto delegate = std::make_shared<Counting>();
    delegate->wakeAt = total;
    port->setDelegateDelivery(delivery);
    openWith(*port, delegate);

    Throughput f;
    const double cpu0 = cpuSeconds();
    const auto start = Clock::now();
    std::thread writer = startWriter(pty, total);
    queue().runUntil([&] { return delegate->bytes >= total; }, 300s);
    writer.join();
    f.seconds = seconds(Clock::now() - start);
    f.cpu = cpuSeconds() - cpu0;
    f.bytes = delegate->bytes;
    close(*port);
    return f;
  }

  // Round trips of 16 bytes: the plain loop, the reader with its hand-off,
  // and the port with sendData() on the main thread and the echo delivered
  // through serialPortDidReceiveData, taking turns.
  std::vector<RoundTrips> roundTrips(int count) {
    PlainLoop plainLoop;

    PtyPair handOffPty;
    Echo handOffEcho(handOffPty);
    std::uint64_t handedOff = 0;
    HandOffReader handOffReader(handOffPty, queue(), [&](std::vector<std::uint8_t> b) { handedOff += b.size(); });
    auto handOffTrip = [&](int i) {
      const Bytes out = payload(i);
      const auto start = Clock::now();
      const std::uint64_t want = handedOff + out.size();
      if (::write(handOffReader.slave(), out.data(), out.size()) != static_cast<ssize_t>(out.size())) return -1.0;
      if (!queue().runUntil([&] { return handedOff >= want; }, 5s)) return -1.0;
      return microsSince(start);
    };

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
      if (!queue().runUntil([&] { return delegate->bytes >= want; }, 5s)) return -1.0;
      return microsSince(start);
    };

    PtyPair chainPty;
    auto chainPort = portFor(chainPty);
    auto chain = std::make_shared<Chain>();
    chainPort->setDelegateDelivery(SerialPort::DelegateDelivery::LibraryThread);
    openWith(*chainPort, chain);
    Echo chainEcho(chainPty);
    auto chainTrips = [&](int first, int n, std::vector<double>& micros) {
      chain->run(*chainPort, queue(), /*requests=*/false, first, n, micros);
    };

    auto trips = takeTurnsInBlocks(count, {oneByOne([&](int i) { return plainLoop.roundTrip(i); }),
                                           oneByOne(handOffTrip), oneByOne(portTrip), chainTrips});
    close(*chainPort);
    close(*serial);
    handOffReader.stop(handOffPty);
    queue().runPending();
    return trips;
  }

  struct Idle {
    double cpuMsPer10s = 0;
    double wakeUpsPerSecond = 0;
  };

  // A quiet spell of the given length with a thread blocked in poll() on a
  // pseudo-terminal's slave (withPort false), or a port open on one.
  Idle idle(bool withPort, int secs) {
    PtyPair pty;
    std::shared_ptr<SerialPort> port;
    UniqueFd slave;
    std::thread poller;
    UniqueFd stop(::eventfd(0, EFD_CLOEXEC));
    if (withPort) {
      port = portFor(pty);
      port->open();
    } else {
      slave = rawSlave(pty);
      poller = std::thread([&] {
        pollfd fds[2] = {{slave.get(), POLLIN, 0}, {stop.get(), POLLIN, 0}};
        ::poll(fds, 2, -1);
      });
    }
    queue().runFor(500ms);  // settled: the port's threads started, the poller in poll()
    const double cpu0 = cpuSeconds();
    const long switches0 = contextSwitches();
    queue().runFor(std::chrono::seconds(secs));
    Idle out;
    out.cpuMsPer10s = (cpuSeconds() - cpu0) * 1e3 * 10.0 / secs;
    out.wakeUpsPerSecond = static_cast<double>(contextSwitches() - switches0) / secs;
    if (port) close(*port);
    if (poller.joinable()) {
      const std::uint64_t one = 1;
      (void)!::write(stop.get(), &one, sizeof one);
      poller.join();
    }
    return out;
  }

};

enum class Reader { Plain1K, Plain64K, HandOff, Port, PortOnLibraryThread };
const std::map<Reader, std::string> kReaderNames = {
    {Reader::Plain1K, "read loop 1 KiB"},
    {Reader::Plain64K, "read loop 64 KiB"},
    {Reader::HandOff, "reader + hand-off"},
    {Reader::Port, "SerialPort, main queue"},
    {Reader::PortOnLibraryThread, "SerialPort, library"},
};

Throughput receive(Bench& bench, Reader reader, std::uint64_t total) {
  switch (reader) {
    case Reader::Plain1K: return plainLoop(total, 1024);
    case Reader::Plain64K: return plainLoop(total, 64 * 1024);
    case Reader::HandOff: return bench.handOff(total);
    case Reader::Port: return bench.throughPort(total, SerialPort::DelegateDelivery::MainQueue);
    case Reader::PortOnLibraryThread: return bench.throughPort(total, SerialPort::DelegateDelivery::LibraryThread);
  }
  return {};
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Receive throughput, CPU and system calls, round trip and idle cost of SerialPort beside "
               "plain system calls on pseudo-terminals."};
  std::uint64_t mib = 64;
  int rounds = 7;
  int tripCount = 2000;
  int idleSeconds = 10;
  int countOnly = -1;  // the counted run of one reader (internal)
  app.add_option("--mib", mib, "MiB received per throughput run")->check(CLI::Range(1, 4096));
  app.add_option("--rounds", rounds, "throughput rounds; the best of each reader counts")->check(CLI::Range(1, 100));
  app.add_option("--trips", tripCount, "round trips of 16 bytes")->check(CLI::Range(100, 1000000));
  app.add_option("--idle-seconds", idleSeconds, "length of each idle measurement")->check(CLI::Range(1, 600));
  app.add_option("--count-run", countOnly, "internal: one receive run of the reader numbered, to be counted")
      ->group("");
  CLI11_PARSE(app, argc, argv);
  const std::uint64_t total = mib << 20;

  if (countOnly >= 0) {
    Bench bench;
    const Throughput f = receive(bench, static_cast<Reader>(countOnly), total);
    std::fprintf(stderr, "%s: %.1f MB/s, CPU %.3f s\n", kReaderNames.at(static_cast<Reader>(countOnly)).c_str(),
                 f.mbPerSecond(), f.cpu);
    return f.bytes == total ? 0 : 1;
  }

  std::vector<Reader> readers;
  for (const auto& [reader, name] : kReaderNames) readers.push_back(reader);

  Bench bench;
  std::map<Reader, Throughput> best;
  {
    std::printf("receive, %llu MiB per run, best of %d rounds\n", static_cast<unsigned long long>(mib), rounds);
    std::printf("%-6s %-24s %10s %10s %10s\n", "round", "reader", "MB/s", "CPU s", "seconds");
    for (int r = 0; r < rounds; ++r) {
      for (const Reader reader : readers) {
        const Throughput f = receive(bench, reader, total);
        std::printf("%-6d %-24s %10.1f %10.3f %10.3f%s\n", r, kReaderNames.at(reader).c_str(), f.mbPerSecond(), f.cpu,
                    f.seconds, f.bytes == total ? "" : "  (incomplete)");
        if (r == 0 || f.seconds < best[reader].seconds) best[reader] = f;
      }
    }
  }
  const Throughput& base = best[Reader::Plain64K];
  std::printf("\nbest runs, against the 64 KiB read loop; system calls per MiB from a counted run of %llu MiB\n",
              static_cast<unsigned long long>(mib));
  std::printf("%-24s %8s %8s %8s %8s %8s %8s %8s %8s\n", "reader", "MB/s", "x", "CPU s", "x", "read", "poll",
              "futex", "all");
  for (const Reader reader : readers) {
    const Throughput& f = best[reader];
    const auto counts = countSyscallsOfRun({"--count-run", std::to_string(static_cast<int>(reader)), "--mib",
                                            std::to_string(mib)});
    std::printf("%-24s %8.1f %8.2f %8.3f %8.2f", kReaderNames.at(reader).c_str(), f.mbPerSecond(),
                f.mbPerSecond() / base.mbPerSecond(), f.cpu, f.cpu / base.cpu);
    if (counts) {
      const double m = static_cast<double>(mib);
      std::printf(" %8.0f %8.0f %8.0f %8.0f\n", counts->read / m, counts->poll / m, counts->futex / m,
                  counts->total() / m);
    } else {
      std::printf("   (not counted: no syscall tracepoints, or no right to count another process)\n");
    }
  }
  const std::vector<RoundTrips> trips = bench.roundTrips(tripCount);
  const char* tripNames[] = {"write-then-read loop", "reader + hand-off", "SerialPort, main queue",
                             "SerialPort, library, chained"};
  std::printf("\nround trip of 16 bytes, %d trips (microseconds; CPU per trip)\n", tripCount);
  std::printf("%-30s %10s %10s %10s %10s %10s %10s\n", "", "median", "p99", "CPU", "x loop", "x hand-off",
              "CPU x loop");
  for (std::size_t k = 0; k < trips.size(); ++k) {
    const RoundTrips& t = trips[k];
    std::printf("%-30s %10.1f %10.1f %10.1f %10.2f %10.2f %10.2f%s\n", tripNames[k], t.median(), t.p99(),
                t.cpu * 1e6 / tripCount, t.median() / trips[0].median(), t.median() / trips[1].median(),
                t.cpu / trips[0].cpu, t.failed() ? "  (some failed)" : "");
  }

  const auto poller = bench.idle(false, idleSeconds);
  const auto open = bench.idle(true, idleSeconds);
  std::printf("\nidle, %d s each: CPU per 10 s and wake-ups per second of the whole process\n", idleSeconds);
  std::printf("%-32s %10.3f ms %8.2f /s\n", "a thread blocked in poll()", poller.cpuMsPer10s, poller.wakeUpsPerSecond);
  std::printf("%-32s %10.3f ms %8.2f /s   (%.2fx the CPU)\n", "an open SerialPort", open.cpuMsPer10s,
              open.wakeUpsPerSecond, open.cpuMsPer10s / poller.cpuMsPer10s);
  return 0;
}
