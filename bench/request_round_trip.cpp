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
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
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

// Round trips made by the delegate itself on the library's threads: a
// complete reply (or echo, for data) ends a trip and the next one is sent
// from inside that call, until a block is done; then the main loop is woken.
class Chain : public SerialPortDelegate {
 public:
  Chain() : SerialPortDelegate(kDidReceiveResponseToRequest | kDidReceiveData) {}

  void run(SerialPort& port, RunLoopMainQueue& queue, bool requests, int first, int count,
           std::vector<double>& micros) {
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

class PortLoop {
 public:
  PortLoop(RunLoopMainQueue& queue, FakeDeviceRegistry& registry, const TempDir& dir, const std::string& name)
      : queue_(queue), port_(portFor(registry, dir, pty_, name)) {
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
    PortLoop portLoop(*queue, *registry, dir, "round-trip");
    PtyPair chainPty;
    auto chainPort = portFor(*registry, dir, chainPty, "round-trip-chained");
    auto chain = std::make_shared<Chain>();
    chainPort->setDelegate(chain);
    chainPort->setDelegateDelivery(SerialPort::DelegateDelivery::LibraryThread);
    chainPort->open();
    queue->runPending();
    Echo chainEcho(chainPty);
    auto chained = [&](bool requests) -> TripBlock {
      return [&, requests](int first, int count, std::vector<double>& micros) {
        chain->run(*chainPort, *queue, requests, first, count, micros);
      };
    };
    trips = takeTurnsInBlocks(requests, {oneByOne([&](int i) { return plainLoop.roundTrip(i); }),
                                         oneByOne([&](int i) { return portLoop.roundTrip(i); }),
                                         oneByOne([&](int i) { return portLoop.dataRoundTrip(i); }),
                                         chained(true), chained(false)});
    closePort(*queue, *chainPort);
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
