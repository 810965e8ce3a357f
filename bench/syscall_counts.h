// Counts the read(), poll() and futex() calls of a run of this program, every
// thread included, with the kernel's system-call tracepoints (perf events):
// the run is this program started again with other arguments, counted from
// its exec to its exit. Nothing is traced and nothing stops, so the counted
// run goes at the speed of an uncounted one (strace would slow every call
// and so change how much each read finds waiting).
//
// Needs the tracepoints (tracefs) and the right to count another process's
// events (root, or perf_event_paranoid <= 1); without them the counts are
// empty and the benchmarks say so.
#pragma once

#include <fcntl.h>
#include <linux/perf_event.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "platform/unique_fd.h"

namespace valmor::test {

struct SyscallCounts {
  std::uint64_t read = 0;
  std::uint64_t poll = 0;  // poll() and ppoll()
  std::uint64_t futex = 0;
  std::uint64_t total() const { return read + poll + futex; }
};

namespace syscall_counts_detail {

inline std::optional<std::uint64_t> tracepointId(const std::string& name) {
  for (const char* root : {"/sys/kernel/tracing", "/sys/kernel/debug/tracing"}) {
    std::ifstream in(std::string(root) + "/events/syscalls/sys_enter_" + name + "/id");
    std::uint64_t id = 0;
    if (in >> id) return id;
  }
  return std::nullopt;
}

// A counter of the tracepoint for pid and the threads it starts, from its
// next exec on.
inline UniqueFd openCounter(std::uint64_t id, pid_t pid) {
  perf_event_attr attr{};
  attr.type = PERF_TYPE_TRACEPOINT;
  attr.size = sizeof attr;
  attr.config = id;
  attr.disabled = 1;
  attr.inherit = 1;
  attr.enable_on_exec = 1;
  return UniqueFd(static_cast<int>(::syscall(SYS_perf_event_open, &attr, pid, -1, -1, PERF_FLAG_FD_CLOEXEC)));
}

}  // namespace syscall_counts_detail

// Runs this program with args (argv[0] excluded) and counts its calls; empty
// when they cannot be counted or the run failed.
inline std::optional<SyscallCounts> countSyscallsOfRun(const std::vector<std::string>& args) {
  using namespace syscall_counts_detail;
  const char* names[] = {"read", "poll", "ppoll", "futex"};
  std::vector<std::uint64_t> ids;
  for (const char* name : names) {
    const auto id = tracepointId(name);
    if (!id) return std::nullopt;
    ids.push_back(*id);
  }
  int go[2];
  if (::pipe2(go, O_CLOEXEC) != 0) return std::nullopt;
  const pid_t child = ::fork();
  if (child < 0) return std::nullopt;
  if (child == 0) {
    // Waits until the counters are in place, then becomes the counted run.
    char byte;
    ::close(go[1]);
    if (::read(go[0], &byte, 1) != 1) ::_exit(126);
    std::vector<char*> argv{const_cast<char*>("/proc/self/exe")};
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv("/proc/self/exe", argv.data());
    ::_exit(127);
  }
  ::close(go[0]);
  std::vector<UniqueFd> counters;
  for (const auto id : ids) counters.push_back(openCounter(id, child));
  bool counting = true;
  for (const auto& c : counters) counting = counting && c.valid();
  (void)!::write(go[1], counting ? "g" : "x", 1);  // "x" still lets it run, uncounted
  ::close(go[1]);
  int status = 0;
  ::waitpid(child, &status, 0);
  if (!counting || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
  std::uint64_t values[4] = {};
  for (std::size_t i = 0; i < counters.size(); ++i)
    if (::read(counters[i].get(), &values[i], sizeof values[i]) != sizeof values[i]) return std::nullopt;
  return SyscallCounts{values[0], values[1] + values[2], values[3]};
}

}  // namespace valmor::test
