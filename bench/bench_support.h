// What the benchmarks share: the process's CPU time, percentiles of a sample,
// and a pseudo-terminal's slave opened raw for plain system calls.
#pragma once

#include <fcntl.h>
#include <termios.h>
#include <time.h>

#include <algorithm>
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

}  // namespace valmor::test
