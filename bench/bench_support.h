// What the benchmarks share: the process's CPU time, percentiles of a sample,
// a pseudo-terminal's slave opened raw for plain system calls, an echoing
// master, and the plain write-then-read round trip that ports are measured
// against.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/testing/pty.h"
#include "platform/unique_fd.h"

namespace valmor::test {

// CPU seconds of the whole process, every thread included.
inline double cpuSeconds() {
  timespec ts{};
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// The value below which the fraction p of the sample lies; 0 for none.
inline double percentile(std::vector<double> sample, double p) {
  if (sample.empty()) return 0;
  std::sort(sample.begin(), sample.end());
  const auto rank = static_cast<std::size_t>(p * static_cast<double>(sample.size()));
  return sample[std::min(sample.size() - 1, rank)];
}

// The slave of pty, opened for blocking reads of at least one byte.
inline UniqueFd rawSlave(const PtyPair& pty) {
  UniqueFd slave(::open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
  termios t{};
  ::tcgetattr(slave.get(), &t);
  ::cfmakeraw(&t);
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
  ::tcsetattr(slave.get(), TCSANOW, &t);
  return slave;
}

using Bytes = std::vector<std::uint8_t>;

inline double microsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count();
}

// 16 bytes that differ from one round trip to the next.
inline Bytes payload(int i) {
  Bytes b(16);
  for (std::size_t k = 0; k < b.size(); ++k) b[k] = static_cast<std::uint8_t>('A' + (i + static_cast<int>(k)) % 26);
  return b;
}

// Writes back to the master whatever comes out of it, until stopped. The
// thread sleeps in a blocking read() of the master, the quickest way to be
// woken for the bytes: waiting in poll() first makes every echo slower and
// would flatter whatever the plain loop is compared with.
class Echo {
 public:
  explicit Echo(PtyPair& pty)
      : slavePath_(pty.slavePath()), thread_([this, fd = pty.master()] {
          std::uint8_t buf[4096];
          for (;;) {
            const ssize_t n = ::read(fd, buf, sizeof buf);
            if (n <= 0 || stop_) return;
            for (ssize_t done = 0; done < n;) {
              const ssize_t w = ::write(fd, buf + done, static_cast<std::size_t>(n - done));
              if (w <= 0) return;
              done += w;
            }
          }
        }) {}
  // Ends the read with a byte written to the slave.
  ~Echo() {
    stop_ = true;
    const UniqueFd slave(::open(slavePath_.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC));
    if (slave && ::write(slave.get(), "x", 1) == 1) {
      thread_.join();
    } else {
      thread_.detach();  // the process ends soon; a stuck benchmark would not
    }
  }

 private:
  const std::string slavePath_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// The plain round trip: 16 bytes written to the slave, then blocking reads
// until the echo of all 16 is back. It stays set up for a whole run, so that
// it can take turns with the port's loop, a block of round trips each, and
// both see the same load on the machine.
class PlainLoop {
 public:
  PlainLoop() : slave_(rawSlave(pty_)), echo_(std::make_unique<Echo>(pty_)) {}

  // The round trip in microseconds, or a negative number on failure.
  double roundTrip(int i) {
    const Bytes out = payload(i);
    const auto start = std::chrono::steady_clock::now();
    if (::write(slave_.get(), out.data(), out.size()) != static_cast<ssize_t>(out.size())) return -1;
    std::uint8_t in[16];
    for (std::size_t got = 0; got < sizeof in;) {
      const ssize_t n = ::read(slave_.get(), in + got, sizeof in - got);
      if (n <= 0) return -1;
      got += static_cast<std::size_t>(n);
    }
    return microsSince(start);
  }

 private:
  PtyPair pty_;
  UniqueFd slave_;
  std::unique_ptr<Echo> echo_;
};

// Round trips of one kind: each one's time in microseconds (negative for one
// that failed) and the process's CPU over them.
struct RoundTrips {
  std::vector<double> micros;
  double cpu = 0;

  long failed() const { return std::count_if(micros.begin(), micros.end(), [](double m) { return m < 0; }); }
  // Of the round trips that completed.
  double median() const { return ofCompleted(0.5); }
  double p99() const { return ofCompleted(0.99); }
  double ofCompleted(double p) const {
    std::vector<double> completed = micros;
    std::erase_if(completed, [](double m) { return m < 0; });
    return percentile(std::move(completed), p);
  }
};

// A kind of round trip that runs a block of them itself: the trips numbered
// first to first + count - 1, each one's time in microseconds appended to
// micros (negative for one that failed). For loops where the next trip is
// started from where the last one ended (a delegate that writes the next
// request), not by the measuring thread.
using TripBlock = std::function<void(int first, int count, std::vector<double>& micros)>;

// A block of trips made one at a time by trip, a function of the trip's
// number that gives its time in microseconds, or a negative number on
// failure.
inline TripBlock oneByOne(std::function<double(int)> trip) {
  return [trip = std::move(trip)](int first, int count, std::vector<double>& micros) {
    for (int i = first; i < first + count; ++i) micros.push_back(trip(i));
  };
}

// Runs count round trips of each kind, the kinds taking turns in blocks of
// 100 after a warm-up of 100 each, so that all see the same load on the
// machine.
inline std::vector<RoundTrips> takeTurnsInBlocks(int count, const std::vector<TripBlock>& kinds) {
  constexpr int kWarmUp = 100;
  constexpr int kBlock = 100;
  std::vector<double> warmUp;
  for (const auto& kind : kinds) kind(0, kWarmUp, warmUp);
  std::vector<RoundTrips> out(kinds.size());
  for (int done = 0; done < count; done += kBlock) {
    const int n = std::min(count - done, kBlock);
    for (std::size_t k = 0; k < kinds.size(); ++k) {
      const double cpu0 = cpuSeconds();
      kinds[k](done, n, out[k].micros);
      out[k].cpu += cpuSeconds() - cpu0;
    }
  }
  return out;
}

// The same for kinds that make one trip at a time.
inline std::vector<RoundTrips> takeTurns(int count, const std::vector<std::function<double(int)>>& kinds) {
  std::vector<TripBlock> blocks;
  for (const auto& kind : kinds) blocks.push_back(oneByOne(kind));
  return takeTurnsInBlocks(count, blocks);
}

// The process's context switches so far, every thread's: each one that
// slept and was woken again counts.
inline long contextSwitches() {
  rusage u{};
  ::getrusage(RUSAGE_SELF, &u);
  return u.ru_nvcsw + u.ru_nivcsw;
}

}  // namespace valmor::test
