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
// all see the same load on the machine.
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
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include <CLI/CLI.hpp>

#include "bench/bench_support.h"
#include "discovery/testing/fake_device_registry.h"
#include "valmor/platform/main_queue.h"
#include "platform/testing/pty.h"
#include "platform/testing/temp_dir.h"
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

std::shared_ptr<SerialPort> portFor(FakeDeviceRegistry& registry, const TempDir& dir, const PtyPair& pty,
                                    const std::string& name) {
  const std::string callout = dir / ("cu." + name);
  std::filesystem::create_symlink(pty.slavePath(), callout);
  registry.addDevice(FakeDeviceRegistry::device(callout, name));
  return SerialPort::serialPortWithPath(callout);
}

void closePort(RunLoopMainQueue& queue, SerialPort& port) {
  port.close();
  queue.runUntil([&] { return !port.isOpen(); }, 5s);
}

class PortLoop {
 public:
  PortLoop(RunLoopMainQueue& queue, FakeDeviceRegistry& registry, const TempDir& dir)
      : queue_(queue), port_(portFor(registry, dir, pty_, "round-trip")) {
    port_->setDelegate(delegate_);
    port_->open();
    queue_.runPending();
    echo_ = std::make_unique<Echo>(pty_);
  }
  ~PortLoop() { closePort(queue_, *port_); }

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

Receive receive(RunLoopMainQueue& queue, FakeDeviceRegistry& registry, const TempDir& dir, std::uint64_t total,
                Use use, int round) {
  PtyPair pty;
  auto port =
      portFor(registry, dir, pty, "receive" + std::to_string(static_cast<int>(use)) + "-" + std::to_string(round));
  auto delegate = std::make_shared<Counting>(SerialPortDelegate::kDidReceiveData);
  port->setDelegate(delegate);
  auto framed = SerialPacketDescriptor::initWithPrefix(Bytes{0x7E, 0x01}, Bytes{0x7E, 0x04}, 1024, {});
  if (use != Use::None) port->startListeningForPacketsMatchingDescriptor(framed);
  if (use == Use::MadeIdle) port->stopListeningForPacketsMatchingDescriptor(framed);
  port->open();
  queue.runPending();

  const double cpu0 = cpuSeconds();
  const auto start = Clock::now();
  std::thread writer([&pty, total] {
    std::vector<std::uint8_t> block(64 * 1024, 0x55);
    for (std::uint64_t sent = 0; sent < total; sent += block.size())
      if (!pty.write(block)) return;
  });
  queue.runUntil([&] { return delegate->bytes >= total; }, 300s);
  writer.join();
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  const double cpu = cpuSeconds() - cpu0;
  closePort(queue, *port);
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

  auto queue = std::make_shared<RunLoopMainQueue>();
  setMainQueue(queue);
  auto registry = std::make_shared<FakeDeviceRegistry>();
  setDeviceRegistryForTesting(registry);
  TempDir dir;

  std::vector<RoundTrips> trips;
  {
    PlainLoop plainLoop;
    PortLoop portLoop(*queue, *registry, dir);
    trips = takeTurns(requests, {[&](int i) { return plainLoop.roundTrip(i); },
                                 [&](int i) { return portLoop.roundTrip(i); },
                                 [&](int i) { return portLoop.dataRoundTrip(i); }});
  }
  const RoundTrips& plain = trips[0];
  const RoundTrips& port = trips[1];
  const RoundTrips& data = trips[2];
  if (plain.failed() + port.failed() + data.failed() > 0)
    std::printf("failed round trips: plain %ld, request %ld, sendData %ld\n", plain.failed(), port.failed(),
                data.failed());
  std::printf("round trip of a 16-byte request, echoed by the master, %d requests (microseconds)\n", requests);
  std::printf("%-22s %10s %10s\n", "", "median", "p99");
  std::printf("%-22s %10.1f %10.1f\n", "write-then-read loop", plain.median(), plain.p99());
  std::printf("%-22s %10.1f %10.1f\n", "SerialPort request", port.median(), port.p99());
  std::printf("%-22s %10.1f %10.1f\n", "SerialPort sendData", data.median(), data.p99());
  std::printf("median ratio %.2f (target <= 2)\n\n", port.median() / plain.median());

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
      const Receive f = receive(*queue, *registry, dir, mib << 20, uses[u].first, r);
      if (r == 0 || f.cpuPerMiB < best[u].cpuPerMiB) best[u] = f;
    }
  }
  for (int u = 0; u < 3; ++u)
    std::printf("%-40s %10.1f %14.2f\n", uses[u].second, best[u].mbPerSecond, best[u].cpuPerMiB * 1e3);

  queue->shutDown();
  setDeviceRegistryForTesting(nullptr);
  return 0;
}
