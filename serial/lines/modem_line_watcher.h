// ModemLineWatcher: a thread of its own that sleeps in the kernel until the
// modem-control input lines of one open descriptor change (TIOCMIWAIT), then
// tells what changed. The counts of TIOCGICOUNT show changes that came and
// went between two waits, so a short pulse on CTS is told as two changes
// (on, then off) instead of being lost.
//
// Why a thread: TIOCMIWAIT blocks until a line changes, and no thread of the
// background pool may ever block on a device. A thread asleep in the kernel
// costs nothing while the lines are quiet, where a 10 ms poll wakes 100 times
// a second.
//
// Ending the wait. TIOCMIWAIT returns only when a line changes, when the
// device hangs up, or when a signal arrives; it has no time-out. stop() ends
// it with a signal of the library's own: a real-time signal that nothing else
// in the process handles, found at first use, with a handler that does
// nothing, installed without SA_RESTART so that the ioctl returns EINTR
// instead of being restarted. A single signal could arrive just before the
// thread enters the ioctl and be lost, so stop() arms a POSIX timer that
// sends the signal to that thread every millisecond until the thread has
// left: the wait ends within about a millisecond of stop(). (A wait with a
// time-out loop would need a wake-up every few milliseconds per port, the
// very cost this thread exists to avoid.)
//
// The same timer closes the one gap TIOCMIWAIT has: a change after the
// thread read the counts and before the kernel took its own snapshot at the
// start of the next wait does not end that wait. After each change the
// thread arms the timer once, kRecheckDelay ahead, and looks again when it
// fires; while the lines stay quiet it sleeps without any wake-up.
//
// The thread blocks every other asynchronous signal, so that signals meant
// for the process are never delivered to it.
//
// Threading: the events are called on the watcher's thread, ended() last.
// stop() may be called from any thread, any number of times. The destructor
// stops the thread and joins it.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "serial/lines/device_io.h"

namespace valmor {

// The modem-control input lines.
struct InputLines {
  bool cts = false;
  bool dsr = false;
  bool dcd = false;
  bool ri = false;
  bool operator==(const InputLines&) const = default;
};

// The input lines in a modem-control word (TIOCM_* bits).
InputLines inputLinesFrom(int bits);

// The states the lines went through from was to now, in order, one entry
// per change; empty when nothing changed. counted is how often each line
// changed in between (from TIOCGICOUNT; RI counts a ring, not a change),
// or none when the driver does not count. Where the counts and the two
// states disagree (they are read at slightly different moments) the states
// win. A line that changed many times is told as at most three changes (two
// when it ended where it began), so that a line toggling fast cannot flood
// the main thread.
std::vector<InputLines> inputLineChanges(InputLines was, InputLines now, const ModemLineCounts* counted);

class ModemLineWatcher {
 public:
  struct Events {
    // The lines as first read, then each change (see inputLineChanges).
    std::function<void(std::vector<InputLines> steps)> linesDidChange;
    // The driver cannot wait for changes (ENOTTY, EINVAL), or the watcher
    // could not be set up: the caller polls instead.
    std::function<void()> cannotWait;
    // The device has hung up or gone (EIO, ENXIO, ENODEV).
    std::function<void(std::error_code)> deviceDidGo;
    // Any other failure; the watcher has stopped, the caller polls instead.
    std::function<void(std::error_code)> didFail;
    // The thread is about to end; the last call.
    std::function<void()> ended;
  };

  // How long after a change the lines are looked at once more.
  static constexpr std::chrono::milliseconds kRecheckDelay{20};
  // How often stop() repeats its signal until the thread has left.
  static constexpr std::chrono::milliseconds kStopRepeat{1};

  // Starts watching fd through io on a new thread. fd must stay open until
  // ended() has been told.
  ModemLineWatcher(int fd, std::shared_ptr<DeviceIo> io, Events events);
  ~ModemLineWatcher();
  ModemLineWatcher(const ModemLineWatcher&) = delete;
  ModemLineWatcher& operator=(const ModemLineWatcher&) = delete;

  // Ends the wait promptly; the thread then tells ended(). Never blocks.
  void stop();

  // Waits for the thread to end; call after ended() was told, or after
  // stop() (then it waits about a millisecond).
  void join();

 private:
  void run();
  bool createTimer();
  void deleteTimer();
  void armRecheck();
  void signalWhileRunning();

  const int fd_;
  const std::shared_ptr<DeviceIo> io_;
  const Events events_;
  std::atomic<bool> stop_{false};

  std::mutex timerMutex_;
  timer_t timer_{};
  bool haveTimer_ = false;  // Guarded by timerMutex_.

  std::thread thread_;
};

}  // namespace valmor
