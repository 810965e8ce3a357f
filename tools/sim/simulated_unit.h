// SimulatedUnit: a VALMOR unit on a pseudo-terminal. It publishes the
// terminal's slave side as DIR/cu.usbserial-SIM<n> (a symbolic link), which
// the directory device registry (VALMOR_DEVICE_DIR=DIR) lists as a serial
// device, and plays the unit on the master side with UnitProtocol.
//
// The host opening and closing the port is seen as it happens: inotify
// reports each open and close of the slave node, and the master then tells
// whether any descriptor of the slave is still open (it hangs up when none
// is). So the master is read only while a host has the port, every byte is
// timed as it arrives, and answers go out at once (or after the answer
// delay, when one is set). Answers still due when the host closes the port
// are dropped.
//
// Unplugging removes the link and closes the master, so that a port open on
// the slave sees a hang-up, as with a USB adapter pulled out. Plugging in
// again makes a new pseudo-terminal and publishes it under the same name when
// that is still free.
//
// Bytes are taken as data only when the host has set the line to the unit's
// rate (UnitProtocol::kBaudRate), read from the slave's terminal record as
// they arrive; bytes at any other rate are logged with that rate and get no
// answer, as a real unit would hear garbage. Parity cannot be checked: a
// pseudo-terminal drops it.
//
//   SimulatedUnit unit(dir, std::cerr);
//   if (!unit.plug(&error)) ...;
//   std::thread t([&] { unit.run(); });   // until requestStop()
//
// Threading: plug(), unplug() and run() belong to one thread at a time (the
// thread of run() while it runs). The request*() calls, linkPath(), the
// counters and controlFd() may be used from any thread; the request*()
// calls only write one byte to a pipe and may be made from a signal
// handler through controlFd().
#pragma once

#include <atomic>
#include <chrono>
#include <deque>
#include <mutex>
#include <ostream>
#include <string>

#include "platform/unique_fd.h"
#include "tools/sim/unit_protocol.h"

namespace valmor {

struct SimulatedUnitOptions {
  // Reject Downloads whose pauses fall short of what the unit needs.
  UnitProtocol::Timing timing = UnitProtocol::Timing::kLenient;
  // Each answer goes out this long after the bytes it answers.
  std::chrono::milliseconds answerDelay{0};
  // No answer at all (the decisions are still logged).
  bool silent = false;
};

class SimulatedUnit {
 public:
  // Bytes understood on controlFd().
  static constexpr char kStop = 'q';
  static constexpr char kToggle = 't';
  static constexpr char kUnplug = 'u';
  static constexpr char kPlug = 'p';

  // Publishes in `dir` (which must exist). Own log lines go to `log`, one per
  // event, prefixed "VALMOR SIM: ".
  SimulatedUnit(std::string dir, std::ostream& log, SimulatedUnitOptions options = {});
  ~SimulatedUnit();  // unplugs: removes the link and closes the master

  SimulatedUnit(const SimulatedUnit&) = delete;
  SimulatedUnit& operator=(const SimulatedUnit&) = delete;

  // Makes the pseudo-terminal and its link. On failure gives false and the
  // reason in *error (when not null), and stays unplugged.
  bool plug(std::string* error = nullptr);
  void unplug();
  bool isPlugged() const;

  // The link the unit is published under; empty while unplugged.
  std::string linkPath() const;

  // Serves the unit until requestStop(), or until the command input ends
  // when it was set with stopAtEof. Never spins: with nothing to do it sleeps
  // in poll(), and the master is left out of it while no host has the port.
  void run();

  // Lines "unplug", "plug", "toggle" and "quit" read from `fd` (for
  // instance standard input) while run() runs. End of input ends run() when
  // stopAtEof, otherwise the input is just no longer read.
  void setCommandInput(int fd, bool stopAtEof);

  void requestStop() { request(kStop); }
  void requestToggle() { request(kToggle); }
  void requestUnplug() { request(kUnplug); }
  void requestPlug() { request(kPlug); }

  // The write end of the control pipe, for signal handlers.
  int controlFd() const { return controlWrite_.get(); }

  int initializeCount() const { return initializeCount_.load(); }
  int acceptedCount() const { return acceptedCount_.load(); }
  int rejectedCount() const { return rejectedCount_.load(); }

 private:
  void request(char command);
  void logLine(const std::string& line);
  void handleControl(char command, bool& stop);
  void handleCommandLine(const std::string& line, bool& stop);
  void handleSlaveEvents();
  void readMaster();
  void hostClosed();
  void answer(std::vector<std::string> answers, UnitProtocol::Clock::time_point now);
  void sendDueAnswers(UnitProtocol::Clock::time_point now);
  void dropPendingAnswers(const std::string& why);
  void publishCounters();

  struct PendingAnswer {
    UnitProtocol::Clock::time_point due;
    std::string text;
  };

  const std::string dir_;
  std::ostream& log_;
  const SimulatedUnitOptions options_;
  std::mutex logMutex_;
  UniqueFd controlRead_;
  UniqueFd controlWrite_;
  UniqueFd master_;
  UniqueFd slaveEvents_;  // inotify: opens and closes of the slave node
  int index_ = -1;  // n of cu.usbserial-SIM<n>, chosen at the first plug
  mutable std::mutex linkMutex_;
  std::string linkPath_;  // Guarded by linkMutex_.
  // A host has the slave open: the master is read. False from plugging in
  // until the first open, and again once the master reads EIO.
  bool hostHasPort_ = false;
  int commandFd_ = -1;
  bool stopAtEof_ = false;
  std::string commandBuffer_;
  UnitProtocol protocol_;
  std::deque<PendingAnswer> pending_;  // in the order they are due
  std::atomic<int> initializeCount_{0};
  std::atomic<int> acceptedCount_{0};
  std::atomic<int> rejectedCount_{0};
};

}  // namespace valmor
