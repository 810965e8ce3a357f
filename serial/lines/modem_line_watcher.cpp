#include "serial/lines/modem_line_watcher.h"

#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "valmor/platform/posix_error.h"

namespace valmor {

namespace {

constexpr int kWatchedLines = TIOCM_CTS | TIOCM_DSR | TIOCM_CD | TIOCM_RNG;

extern "C" void ignoreWakeSignal(int) {}

// The library's wake signal: the highest real-time signal that nothing in
// the process handles yet (applications that use real-time signals usually
// count up from SIGRTMIN). 0 when every one is taken.
int wakeSignal() {
  static const int signal = [] {
    for (int s = SIGRTMAX; s >= SIGRTMIN; --s) {
      struct sigaction current {};
      if (::sigaction(s, nullptr, &current) < 0) continue;
      if ((current.sa_flags & SA_SIGINFO) || current.sa_handler != SIG_DFL) continue;
      struct sigaction mine {};
      mine.sa_handler = ignoreWakeSignal;
      ::sigemptyset(&mine.sa_mask);
      mine.sa_flags = 0;  // no SA_RESTART: the interrupted ioctl must return EINTR
      if (::sigaction(s, &mine, nullptr) == 0) return s;
    }
    return 0;
  }();
  return signal;
}

timespec toTimespec(std::chrono::nanoseconds d) {
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(d);
  return timespec{static_cast<time_t>(seconds.count()), static_cast<long>((d - seconds).count())};
}

// The states one line goes through: n changes starting from was.
int changesOf(bool was, bool now, std::uint32_t counted) {
  std::uint32_t n = counted;
  if ((n % 2 == 1) != (was != now)) ++n;
  if (n > 3) n = n % 2 == 0 ? 2 : 3;
  return static_cast<int>(n);
}

bool stepValue(bool was, bool now, int changes, int step) {
  if (step >= changes) return now;
  return step % 2 == 0 ? !was : was;
}

}  // namespace

InputLines inputLinesFrom(int bits) {
  return InputLines{(bits & TIOCM_CTS) != 0, (bits & TIOCM_DSR) != 0, (bits & TIOCM_CAR) != 0,
                    (bits & TIOCM_RNG) != 0};
}

std::vector<InputLines> inputLineChanges(InputLines was, InputLines now, const ModemLineCounts* counted) {
  const ModemLineCounts none;
  const ModemLineCounts& c = counted ? *counted : none;
  // Drivers disagree on what RI counts (UARTs count each ring that ended,
  // USB adapters each change), so a count only says that it rang.
  const int ri = was.ri != now.ri ? 1 : (c.ri > 0 ? 2 : 0);
  const int cts = changesOf(was.cts, now.cts, c.cts);
  const int dsr = changesOf(was.dsr, now.dsr, c.dsr);
  const int dcd = changesOf(was.dcd, now.dcd, c.dcd);
  const int steps = std::max({cts, dsr, dcd, ri});
  std::vector<InputLines> out;
  for (int i = 0; i < steps; ++i) {
    out.push_back(InputLines{stepValue(was.cts, now.cts, cts, i), stepValue(was.dsr, now.dsr, dsr, i),
                             stepValue(was.dcd, now.dcd, dcd, i), stepValue(was.ri, now.ri, ri, i)});
  }
  return out;
}

ModemLineWatcher::ModemLineWatcher(int fd, std::shared_ptr<DeviceIo> io, Events events)
    : fd_(fd), io_(std::move(io)), events_(std::move(events)) {
  const int wake = wakeSignal();
  // The new thread inherits this mask: everything but the wake signal and
  // the signals a fault raises is blocked there.
  sigset_t blocked, previous;
  ::sigfillset(&blocked);
  for (int s : {wake, SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGTRAP})
    if (s != 0) ::sigdelset(&blocked, s);
  ::pthread_sigmask(SIG_SETMASK, &blocked, &previous);
  thread_ = std::thread([this] { run(); });
  ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

ModemLineWatcher::~ModemLineWatcher() {
  stop();
  join();
}

void ModemLineWatcher::join() {
  if (thread_.joinable()) thread_.join();
}

void ModemLineWatcher::stop() {
  std::lock_guard lock(timerMutex_);
  stop_.store(true);
  // Without a timer the thread has not started waiting yet (it looks at
  // stop_ once the timer exists) or has already left.
  if (!haveTimer_) return;
  itimerspec timing{};
  timing.it_value = toTimespec(std::chrono::nanoseconds(1));  // now
  timing.it_interval = toTimespec(kStopRepeat);
  ::timer_settime(timer_, 0, &timing, nullptr);
}

bool ModemLineWatcher::createTimer() {
  const int wake = wakeSignal();
  if (wake == 0) return false;
  sigevent event{};
  event.sigev_notify = SIGEV_THREAD_ID;
  event.sigev_signo = wake;
  event._sigev_un._tid = ::gettid();
  std::lock_guard lock(timerMutex_);
  if (::timer_create(CLOCK_MONOTONIC, &event, &timer_) < 0) return false;
  haveTimer_ = true;
  return true;
}

void ModemLineWatcher::deleteTimer() {
  std::lock_guard lock(timerMutex_);
  if (haveTimer_) ::timer_delete(timer_);
  haveTimer_ = false;
}

void ModemLineWatcher::armRecheck() {
  std::lock_guard lock(timerMutex_);
  // Never over a stop's repeating signal.
  if (stop_.load() || !haveTimer_) return;
  itimerspec timing{};
  timing.it_value = toTimespec(kRecheckDelay);
  ::timer_settime(timer_, 0, &timing, nullptr);
}

void ModemLineWatcher::run() {
  auto finish = [this] {
    deleteTimer();
    events_.ended();
  };
  if (!createTimer()) {
    events_.cannotWait();
    finish();
    return;
  }

  auto readLines = [this](InputLines& lines) {
    int bits = 0;
    const std::error_code error = io_->getModemLines(fd_, bits);
    if (!error) lines = inputLinesFrom(bits);
    return error;
  };
  auto failed = [this](std::error_code error) {
    if (isDeviceGone(error)) {
      events_.deviceDidGo(error);
    } else if (hasNoModemLines(error)) {
      events_.cannotWait();
    } else {
      events_.didFail(error);
    }
  };

  // Counts first, then the lines: a change in between shows in the next
  // counts, and the states settle any disagreement.
  ModemLineCounts counts;
  bool haveCounts = !io_->getModemLineCounts(fd_, counts);
  InputLines lines;
  if (const std::error_code error = readLines(lines)) {
    failed(error);
    finish();
    return;
  }
  events_.linesDidChange({lines});

  while (!stop_.load()) {
    const std::error_code waitError = io_->waitForModemLineChange(fd_, kWatchedLines);
    if (stop_.load()) break;
    // EINTR is the recheck timer: look at the lines as after a change.
    if (waitError && waitError != std::errc::interrupted) {
      failed(waitError);
      break;
    }
    ModemLineCounts now;
    const bool haveNow = !io_->getModemLineCounts(fd_, now);
    InputLines current;
    if (const std::error_code error = readLines(current)) {
      failed(error);
      break;
    }
    ModemLineCounts delta{now.cts - counts.cts, now.dsr - counts.dsr, now.dcd - counts.dcd, now.ri - counts.ri};
    auto steps = inputLineChanges(lines, current, haveCounts && haveNow ? &delta : nullptr);
    counts = now;
    haveCounts = haveNow;
    lines = current;
    if (!steps.empty()) {
      events_.linesDidChange(std::move(steps));
      armRecheck();
    }
  }
  finish();
}

}  // namespace valmor
