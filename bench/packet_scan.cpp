// Throughput of the packet scan: bytes per second through PacketScanner for
// a prefix/suffix descriptor with maximum packet lengths 16, 1024 and 65536,
// beside the plain scan (copy every tail of the window, shortest first) at
// 16 and 1024. Prints figures; asserts nothing.
//
// The stream is random bytes with, every few hundred bytes, either a 12-byte
// packet (7E 01, eight bytes, 7E 04) or a lone prefix that no suffix
// follows, so windows fill up between packets. Every configuration must find
// the same packets; the counts are printed beside the figures.
//
// Usage: packet_scan [--mib N] [--rounds N]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include <CLI/CLI.hpp>

#include "serial/packets/packet_scanner.h"
#include "serial/testing/plain_packet_scan.h"

using namespace valmor;

namespace {

using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

Bytes makeStream(std::size_t size) {
  std::mt19937 rng(1);
  Bytes stream;
  stream.reserve(size + 64);
  while (stream.size() < size) {
    for (auto gap = 100 + rng() % 800; gap > 0; --gap) stream.push_back(static_cast<std::uint8_t>(rng()));
    stream.insert(stream.end(), {0x7E, 0x01});
    if (rng() % 2 == 0) continue;  // a prefix without its packet
    for (int i = 0; i < 8; ++i) stream.push_back(static_cast<std::uint8_t>(rng()));
    stream.insert(stream.end(), {0x7E, 0x04});
  }
  stream.resize(size);
  return stream;
}

struct Figures {
  double mbPerSecond = 0;
  std::uint64_t packets = 0;
  std::uint64_t bytes = 0;
};

// Feeds the stream to a fresh scan until it is used up or minSeconds have
// passed; the median of the rounds.
template <typename MakeScan>
Figures measure(const MakeScan& makeScan, const Bytes& stream, int rounds, double minSeconds) {
  std::vector<Figures> all;
  for (int r = 0; r < rounds; ++r) {
    auto scan = makeScan();
    Figures f;
    const auto start = Clock::now();
    std::chrono::duration<double> elapsed{};
    constexpr std::size_t kChunk = 4096;
    for (std::size_t at = 0; at < stream.size(); at += kChunk) {
      const std::size_t end = std::min(at + kChunk, stream.size());
      for (std::size_t i = at; i < end; ++i) f.packets += scan(stream[i]);
      f.bytes = end;
      elapsed = Clock::now() - start;
      if (elapsed.count() >= minSeconds) break;
    }
    f.mbPerSecond = static_cast<double>(f.bytes) / 1e6 / elapsed.count();
    all.push_back(f);
  }
  std::sort(all.begin(), all.end(), [](const Figures& a, const Figures& b) { return a.mbPerSecond < b.mbPerSecond; });
  return all[all.size() / 2];
}

std::shared_ptr<SerialPacketDescriptor> framed(std::uint64_t maximum) {
  return SerialPacketDescriptor::initWithPrefix(Bytes{0x7E, 0x01}, Bytes{0x7E, 0x04}, maximum, {});
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Bytes per second through the packet scan for a prefix/suffix descriptor at several maximum "
               "packet lengths, beside the plain scan that tests a copy of every tail."};
  std::size_t mib = 64;
  int rounds = 5;
  app.add_option("--mib", mib, "MiB of stream scanned per round")->check(CLI::Range(1, 4096));
  app.add_option("--rounds", rounds, "rounds; the median counts")->check(CLI::Range(1, 100));
  CLI11_PARSE(app, argc, argv);
  const Bytes stream = makeStream(mib << 20);

  std::printf("packet scan, prefix 7E 01, suffix 7E 04, %zu MiB of stream, median of %d rounds\n", mib, rounds);
  std::printf("%-8s %9s %12s %12s %10s\n", "scan", "maximum", "MB/s", "bytes", "packets");
  auto report = [](const char* kind, std::uint64_t maximum, const Figures& f) {
    std::printf("%-8s %9llu %12.3f %12llu %10llu\n", kind, static_cast<unsigned long long>(maximum), f.mbPerSecond,
                static_cast<unsigned long long>(f.bytes), static_cast<unsigned long long>(f.packets));
  };

  Figures fast16;
  for (const std::uint64_t maximum : {16u, 1024u, 65536u}) {
    const auto f = measure(
        [&] {
          return [scanner = std::make_shared<PacketScanner>(framed(maximum))](std::uint8_t b) {
            return !scanner->appendByte(b).empty();
          };
        },
        stream, rounds, 1e9);
    if (maximum == 16) fast16 = f;
    report("scanner", maximum, f);
    if (maximum == 65536) std::printf("65536 against 16: %.2fx the time per byte\n", fast16.mbPerSecond / f.mbPerSecond);
  }
  for (const std::uint64_t maximum : {16u, 1024u}) {
    const auto f = measure(
        [&] {
          return [plain = std::make_shared<test::PlainPacketScan>(framed(maximum))](std::uint8_t b) {
            return plain->appendByte(b).has_value();
          };
        },
        stream, maximum == 16 ? 3 : 1, 2.0);
    report("plain", maximum, f);
  }
  return 0;
}
