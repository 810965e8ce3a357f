// The round trip of a request through SerialPort beside a plain
// write-then-read loop, and what packet detection and the request queue cost
// a port's reading while they are idle. Prints figures; asserts nothing.
//
// Round trip: a pseudo-terminal whose master is an echoing thread. The plain
// loop writes 16 bytes to the slave and reads until the 16 come back. The
// port sends a 16-byte request whose reply descriptor is those 16 bytes and
// runs the main queue until the delegate has the reply. Median and 99th
// percentile over the requests, after a warm-up. Beside them, the port's own
// path without the request queue: sendData() until the echo reaches
// serialPortDidReceiveData. The loops take turns in blocks of 100, so that
// all see the same load on the machine. Each port loop runs twice: with the
// delegate on the main queue, where the main thread sends each request and
// waits for its reply; and with the delegate on the library's threads,
// where the delegate sends the next request (or data) from inside the call
// that completed the last, as event-loop programs do.
//
// Idle cost: 64 MiB pushed into the master and delivered to a delegate that
// counts them, through a port that never listened nor sent a request (its
// bytes skip the request-handling queue), one whose packet detection and
// request queue were made but are idle, and one listening for a prefix/suffix
// descriptor, taking turns. The run with the least CPU per MiB of each.
//
// Usage: request_round_trip [--requests N] [--mib N] [--rounds N]
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include <CLI/CLI.hpp>

#include "bench/bench_support.h"
#include "bench/port_bench.h"
#include "valmor/platform/main_queue.h"
#include "platform/testing/pty.h"
#include "valmor/serial/serial_packet_descriptor.h"
#include "valmor/serial/serial_port.h"
#include "valmor/serial/serial_request.h"

using namespace valmor;
using namespace valmor::test;
using namespace std::chrono_literals;

namespace {

using Clock = std::chrono::steady_clock;

class Counting : public SerialPortDelegate {
 public:
  explicit Counting(MethodSet methods) : SerialPortDelegate(methods) {}
  void serialPortDidReceiveData(SerialPort&, std::span<const std::uint8_t> data) override { bytes += data.size(); }
  void serialPortDidReceiveResponseToRequest(SerialPort&, std::span<const std::uint8_t>,
                                             const std::shared_ptr<SerialRequest>&) override {
    ++responses;
  }
  std::uint64_t bytes = 0;
  int responses = 0;
};

class PortLoop {
 public:
  explicit PortLoop(PortBench& bench) : bench_(bench), queue_(bench.queue()), port_(bench.portFor(pty_)) {
    port_->setDelegate(delegate_);
    port_->open();
    queue_.runPending();
    echo_ = std::make_unique<Echo>(pty_);
  }
  ~PortLoop() { bench_.close(*port_); }

  // sendData() and the echo's arrival at serialPortDidReceiveData: the
  // port's own path, without the request queue.
  double dataRoundTrip(int i) {
    const Bytes out = payload(i);
    const std::uint64_t before = delegate_->bytes;
    const auto start = Clock::now();
    if (!port_->sendData(out)) return -1;
    if (!queue_.runUntil([&] { return delegate_->bytes >= before + out.size(); }, 5s)) return -1;
    return microsSince(start);
  }

  double roundTrip(int i) {
    const Bytes out = payload(i);
    auto request =
        SerialRequest::requestWithDataToSend(out, {}, 0, SerialPacketDescriptor::initWithPacketData(out, {}));
    const int before = delegate_->responses;
    const auto start = Clock::now();
    if (!port_->sendRequest(request)) return -1;
    if (!queue_.runUntil([&] { return delegate_->responses == before + 1; }, 5s)) return -1;
    return microsSince(start);
  }

 private:
  PortBench& bench_;
  RunLoopMainQueue& queue_;
  PtyPair pty_;
  std::shared_ptr<SerialPort> port_;
  std::shared_ptr<Counting> delegate_ = std::make_shared<Counting>(SerialPortDelegate::kDidReceiveResponseToRequest |
                                                                        SerialPortDelegate::kDidReceiveData);
  std::unique_ptr<Echo> echo_;
};

enum class Use { None, MadeIdle, Listening };

struct Receive {
  double mbPerSecond = 0;
  double cpuPerMiB = 0;
};

Receive receive(PortBench& bench, std::uint64_t total, Use use) {
  RunLoopMainQueue& queue = bench.queue();
  PtyPair pty;
  auto port = bench.portFor(pty);
  auto delegate = std::make_shared<Counting>(SerialPortDelegate::kDidReceiveData);
  port->setDelegate(delegate);
  auto framed = SerialPacketDescriptor::initWithPrefix(Bytes{0x7E, 0x01}, Bytes{0x7E, 0x04}, 1024, {});
  if (use != Use::None) port->startListeningForPacketsMatchingDescriptor(framed);
  if (use == Use::MadeIdle) port->stopListeningForPacketsMatchingDescriptor(framed);
  port->open();
  queue.runPending();

  const double cpu0 = cpuSeconds();
  const auto start = Clock::now();
  std::thread writer = startWriter(pty, total);
  queue.runUntil([&] { return delegate->bytes >= total; }, 300s);
  writer.join();
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  const double cpu = cpuSeconds() - cpu0;
  bench.close(*port);
  return {static_cast<double>(delegate->bytes) / 1e6 / seconds,
          cpu / (static_cast<double>(delegate->bytes) / (1 << 20))};
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Round trip of a 16-byte request answered by an echoing pseudo-terminal, beside a plain "
               "write-then-read loop and the port's sendData path; and what idle packet detection and an idle "
               "request queue cost a port's reading."};
  int requests = 2000;
  std::uint64_t mib = 64;
  int rounds = 3;
  app.add_option("--requests", requests, "round trips per side")->check(CLI::Range(10, 1000000));
  app.add_option("--mib", mib, "MiB received per reading round")->check(CLI::Range(1, 4096));
  app.add_option("--rounds", rounds, "reading rounds; the least CPU counts")->check(CLI::Range(1, 100));
  CLI11_PARSE(app, argc, argv);

  PortBench bench;
  RunLoopMainQueue& queue = bench.queue();

  std::vector<RoundTrips> trips;
  {
    PlainLoop plainLoop;
    PortLoop portLoop(bench);
    PtyPair chainPty;
    auto chainPort = bench.portFor(chainPty);
    auto chain = std::make_shared<Chain>();
    chainPort->setDelegateDelivery(SerialPort::DelegateDelivery::LibraryThread);
    bench.openWith(*chainPort, chain);
    Echo chainEcho(chainPty);
    auto chained = [&](bool requests) -> TripBlock {
      return [&, requests](int first, int count, std::vector<double>& micros) {
        chain->run(*chainPort, queue, requests, first, count, micros);
      };
    };
    trips = takeTurnsInBlocks(requests, {oneByOne([&](int i) { return plainLoop.roundTrip(i); }),
                                         oneByOne([&](int i) { return portLoop.roundTrip(i); }),
                                         oneByOne([&](int i) { return portLoop.dataRoundTrip(i); }),
                                         chained(true), chained(false)});
    bench.close(*chainPort);
  }
  const char* names[] = {"write-then-read loop", "request, main queue", "sendData, main queue",
                         "request, library", "sendData, library"};
  std::printf("round trip of 16 bytes echoed by the master, %d each (microseconds; CPU per trip)\n", requests);
  std::printf("%-24s %10s %10s %10s %10s\n", "", "median", "p99", "CPU", "x loop");
  for (std::size_t k = 0; k < trips.size(); ++k)
    std::printf("%-24s %10.1f %10.1f %10.1f %10.2f%s\n", names[k], trips[k].median(), trips[k].p99(),
                trips[k].cpu * 1e6 / requests, trips[k].median() / trips[0].median(),
                trips[k].failed() ? "  (some failed)" : "");
  std::printf("request against the port's own sendData: main queue %.2fx, library %.2fx (target <= 1.2)\n\n",
              trips[1].median() / trips[2].median(), trips[3].median() / trips[4].median());

  std::printf("receiving %llu MiB through a port, the least CPU of %d rounds\n",
              static_cast<unsigned long long>(mib), rounds);
  std::printf("%-40s %10s %14s\n", "port", "MB/s", "CPU ms/MiB");
  const std::pair<Use, const char*> uses[] = {
      {Use::None, "never listened nor sent"},
      {Use::MadeIdle, "packets and requests made, idle"},
      {Use::Listening, "listening for one prefix/suffix (1024)"},
  };
  Receive best[3];
  for (int r = 0; r < rounds; ++r) {
    for (int u = 0; u < 3; ++u) {
      const Receive f = receive(bench, mib << 20, uses[u].first);
      if (r == 0 || f.cpuPerMiB < best[u].cpuPerMiB) best[u] = f;
    }
  }
  for (int u = 0; u < 3; ++u)
    std::printf("%-40s %10.1f %14.2f\n", uses[u].second, best[u].mbPerSecond, best[u].cpuPerMiB * 1e3);

  return 0;
}
