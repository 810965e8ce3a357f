#include "tools/sim/simulated_unit.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "tools/sim/line_rate.h"

namespace valmor {
namespace {

constexpr int kMaxIndex = 1000;

std::string errnoText(const std::string& what) { return what + ": " + std::strerror(errno); }

}  // namespace

SimulatedUnit::SimulatedUnit(std::string dir, std::ostream& log, SimulatedUnitOptions options)
    : dir_(std::move(dir)),
      log_(log),
      options_(options),
      protocol_([this](const std::string& line) { logLine(line); }, options.timing) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
    controlRead_.reset(fds[0]);
    controlWrite_.reset(fds[1]);
  } else {
    logLine(errnoText("cannot make the control pipe"));
  }
}

SimulatedUnit::~SimulatedUnit() { unplug(); }

void SimulatedUnit::logLine(const std::string& line) {
  std::lock_guard lock(logMutex_);
  log_ << "VALMOR SIM: " << line << '\n' << std::flush;
}

bool SimulatedUnit::isPlugged() const { return master_.valid(); }

std::string SimulatedUnit::linkPath() const {
  std::lock_guard lock(linkMutex_);
  return linkPath_;
}

bool SimulatedUnit::plug(std::string* error) {
  if (master_) return true;
  auto fail = [&](const std::string& reason) {
    logLine("cannot plug in: " + reason);
    if (error) *error = reason;
    master_.reset();
    return false;
  };

  UniqueFd master(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
  if (!master) return fail(errnoText("posix_openpt"));
  if (::grantpt(master.get()) != 0) return fail(errnoText("grantpt"));
  if (::unlockpt(master.get()) != 0) return fail(errnoText("unlockpt"));
  char slave[128];
  if (::ptsname_r(master.get(), slave, sizeof slave) != 0) return fail(errnoText("ptsname_r"));
  // Terminal attributes set through the master apply to the slave: make it
  // raw, so that nothing echoes the unit's answers back and no byte of the
  // image is translated, whatever the port restores when it closes.
  termios attributes{};
  if (::tcgetattr(master.get(), &attributes) == 0) {
    ::cfmakeraw(&attributes);
    ::tcsetattr(master.get(), TCSANOW, &attributes);
  }
  const int flags = ::fcntl(master.get(), F_GETFL);
  ::fcntl(master.get(), F_SETFL, flags | O_NONBLOCK);

  // How the host's opens and closes are seen. A master whose slave no
  // descriptor holds open hangs up: it polls POLLHUP without end and reads
  // EIO once the data is drained. That is the kernel's own answer to "does a
  // host have the port", but waiting for it would need a periodic look,
  // and bytes piled up meanwhile lose their timing. So inotify wakes the
  // unit at each open and close of the slave node, and the master is asked
  // then. Two alternatives are unsound: holding a slave descriptor open
  // (the master would never hang up, and the host's close would go unseen)
  // and counting opens against closes (inotify merges identical events that
  // queue up unread, so two opens in a row can arrive as one).
  UniqueFd events(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  if (!events) return fail(errnoText("inotify_init1"));
  if (::inotify_add_watch(events.get(), slave, IN_OPEN | IN_CLOSE) < 0) {
    return fail(errnoText(std::string("inotify_add_watch ") + slave));
  }

  // Keep the name across replugs, as a real adapter does; take the next free
  // one when another unit has it by now.
  std::string link;
  auto tryIndex = [&](int n) {
    link = dir_ + "/cu.usbserial-SIM" + std::to_string(n);
    return ::symlink(slave, link.c_str()) == 0;
  };
  bool linked = index_ >= 0 && tryIndex(index_);
  if (!linked && index_ >= 0 && errno != EEXIST) return fail(errnoText("symlink " + link));
  for (int n = 0; !linked && n < kMaxIndex; ++n) {
    if (tryIndex(n)) {
      index_ = n;
      linked = true;
    } else if (errno != EEXIST) {
      return fail(errnoText("symlink " + link));
    }
  }
  if (!linked) return fail("no free name cu.usbserial-SIM<n> in " + dir_);

  master_ = std::move(master);
  slaveEvents_ = std::move(events);
  hostHasPort_ = false;
  protocol_.reset();
  {
    std::lock_guard lock(linkMutex_);
    linkPath_ = link;
  }
  logLine("unit plugged in at " + link + " (" + slave + ")");
  return true;
}

void SimulatedUnit::unplug() {
  if (!master_) return;
  std::string link;
  {
    std::lock_guard lock(linkMutex_);
    link = std::exchange(linkPath_, {});
  }
  if (::unlink(link.c_str()) != 0 && errno != ENOENT) logLine(errnoText("unlink " + link));
  slaveEvents_.reset();
  master_.reset();
  hostHasPort_ = false;
  protocol_.reset();
  dropPendingAnswers("the unit was unplugged");
  logLine("unit unplugged from " + link);
}

void SimulatedUnit::setCommandInput(int fd, bool stopAtEof) {
  commandFd_ = fd;
  stopAtEof_ = stopAtEof;
}

void SimulatedUnit::request(char command) {
  // A full pipe already holds requests enough to wake run().
  [[maybe_unused]] ssize_t n = ::write(controlWrite_.get(), &command, 1);
}

void SimulatedUnit::handleControl(char command, bool& stop) {
  switch (command) {
    case kStop:
      stop = true;
      break;
    case kToggle:
      if (isPlugged()) {
        unplug();
      } else {
        plug();
      }
      break;
    case kUnplug:
      unplug();
      break;
    case kPlug:
      plug();
      break;
    default:
      break;
  }
}

void SimulatedUnit::handleCommandLine(const std::string& raw, bool& stop) {
  const auto first = raw.find_first_not_of(" \t\r");
  if (first == std::string::npos) return;
  const std::string line = raw.substr(first, raw.find_last_not_of(" \t\r") - first + 1);
  if (line == "unplug") {
    handleControl(kUnplug, stop);
  } else if (line == "plug") {
    handleControl(kPlug, stop);
  } else if (line == "toggle") {
    handleControl(kToggle, stop);
  } else if (line == "quit" || line == "exit") {
    stop = true;
  } else {
    logLine("unknown input \"" + line + "\": use plug, unplug, toggle or quit");
  }
}

void SimulatedUnit::answer(std::vector<std::string> answers, UnitProtocol::Clock::time_point now) {
  for (std::string& text : answers) {
    if (options_.silent) {
      logLine("silent: no answer sent");
      continue;
    }
    pending_.push_back({now + options_.answerDelay, std::move(text)});
  }
  sendDueAnswers(now);
}

void SimulatedUnit::sendDueAnswers(UnitProtocol::Clock::time_point now) {
  while (!pending_.empty() && pending_.front().due <= now && master_) {
    std::string_view rest = pending_.front().text;
    while (!rest.empty()) {
      const ssize_t n = ::write(master_.get(), rest.data(), rest.size());
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        logLine(errnoText("answer not sent"));
        break;
      }
      rest.remove_prefix(static_cast<std::size_t>(n));
    }
    pending_.pop_front();
  }
}

void SimulatedUnit::dropPendingAnswers(const std::string& why) {
  if (pending_.empty()) return;
  logLine(std::to_string(pending_.size()) + " answer(s) not sent: " + why);
  pending_.clear();
}

void SimulatedUnit::handleSlaveEvents() {
  // The events only say that something happened to the slave; the master
  // tells what holds now, so merged or missed events do no harm.
  alignas(inotify_event) char buffer[4096];
  bool any = false;
  ssize_t n;
  while ((n = ::read(slaveEvents_.get(), buffer, sizeof buffer)) > 0) any = true;
  if (n < 0 && errno != EAGAIN && errno != EINTR) logLine(errnoText("inotify read"));
  if (!any || hostHasPort_) {
    // A close: the master reads EIO once no descriptor of the slave is
    // left, after the bytes the host wrote before closing.
    if (any) readMaster();
    return;
  }
  pollfd p{master_.get(), POLLIN, 0};
  if (::poll(&p, 1, 0) < 0) return;
  // Before the slave's first open the master does not hang up either; after
  // an open event, a master without POLLHUP means a host has the port. One
  // that opened, wrote and closed already has left bytes behind.
  if (!(p.revents & POLLHUP) || (p.revents & POLLIN)) {
    hostHasPort_ = true;
    logLine("port opened by the host");
    readMaster();
  }
}

void SimulatedUnit::readMaster() {
  // A bounded number of reads per wake-up, so that a host that never stops
  // sending cannot keep control commands waiting.
  for (int round = 0; round < 16 && master_; ++round) {
    std::uint8_t buffer[4096];
    const ssize_t n = ::read(master_.get(), buffer, sizeof buffer);
    if (n > 0) {
      const auto at = UnitProtocol::Clock::now();
      // Bytes sent at another rate reach a real unit as garbage: it answers
      // nothing. The rate is the host's at the moment the bytes are read,
      // which is as they arrive while the host has the port. (A host that
      // writes and closes at once may have put its old rate back by then.)
      const auto rate = readLineRate(master_.get());
      if (rate && *rate != UnitProtocol::kBaudRate) {
        logLine("ignored " + std::to_string(n) + " bytes sent at " + std::to_string(*rate) +
                " baud: the unit reads " + std::to_string(UnitProtocol::kBaudRate) + " baud only");
        protocol_.reset("unreadable bytes");
        continue;
      }
      auto answers = protocol_.feed(std::span(buffer, static_cast<std::size_t>(n)), at);
      // Counted before answering: whoever sees the answer sees the count.
      publishCounters();
      answer(std::move(answers), at);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) return;
    // EIO (or end of file): no descriptor of the slave is open any more.
    hostClosed();
    return;
  }
}

void SimulatedUnit::hostClosed() {
  if (!hostHasPort_) return;
  hostHasPort_ = false;
  logLine("port closed by the host");
  protocol_.reset();
  // Left due, they would reach whoever opens the port next, as answers to
  // bytes that host never sent.
  dropPendingAnswers("the host closed the port");
}

void SimulatedUnit::publishCounters() {
  initializeCount_ = protocol_.initializeCount();
  acceptedCount_ = protocol_.acceptedCount();
  rejectedCount_ = protocol_.rejectedCount();
}

void SimulatedUnit::run() {
  bool stop = false;
  while (!stop) {
    pollfd fds[4];
    nfds_t count = 0;
    const nfds_t control = count++;
    fds[control] = {controlRead_.get(), POLLIN, 0};
    nfds_t input = 0;
    if (commandFd_ >= 0) {
      input = count++;
      fds[input] = {commandFd_, POLLIN, 0};
    }
    nfds_t events = 0;
    if (slaveEvents_) {
      events = count++;
      fds[events] = {slaveEvents_.get(), POLLIN, 0};
    }
    // A master without a host polls POLLHUP at once, every time: it is left
    // out until the slave is opened again.
    nfds_t master = 0;
    const bool watchMaster = master_ && hostHasPort_;
    if (watchMaster) {
      master = count++;
      fds[master] = {master_.get(), POLLIN, 0};
    }
    int timeout = -1;
    const auto wakeAt = [&](UnitProtocol::Clock::time_point due) {
      const auto left =
          std::chrono::ceil<std::chrono::milliseconds>(due - UnitProtocol::Clock::now());
      const int ms = static_cast<int>(std::max<std::chrono::milliseconds::rep>(left.count(), 0));
      timeout = timeout < 0 ? ms : std::min(timeout, ms);
    };
    if (const auto due = protocol_.deadline()) wakeAt(*due);
    if (!pending_.empty()) wakeAt(pending_.front().due);

    const int ready = ::poll(fds, count, timeout);
    if (ready < 0 && errno != EINTR) {
      logLine(errnoText("poll"));
      break;
    }
    if (ready > 0 && (fds[control].revents & POLLIN)) {
      char commands[64];
      ssize_t n;
      while ((n = ::read(controlRead_.get(), commands, sizeof commands)) > 0) {
        for (ssize_t i = 0; i < n; ++i) handleControl(commands[i], stop);
      }
    }
    if (ready > 0 && commandFd_ >= 0 && (fds[input].revents & (POLLIN | POLLHUP | POLLERR))) {
      char text[256];
      const ssize_t n = ::read(commandFd_, text, sizeof text);
      if (n > 0) {
        commandBuffer_.append(text, static_cast<std::size_t>(n));
        std::size_t end;
        while ((end = commandBuffer_.find('\n')) != std::string::npos) {
          handleCommandLine(commandBuffer_.substr(0, end), stop);
          commandBuffer_.erase(0, end + 1);
        }
      } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
        if (stopAtEof_) stop = true;
        commandFd_ = -1;
      }
    }
    // The master may have been closed by a command above. Its bytes are
    // read before the slave's events, so that a host's last bytes come
    // before its close.
    if (ready > 0 && watchMaster && master_ &&
        (fds[master].revents & (POLLIN | POLLHUP | POLLERR))) {
      readMaster();
    }
    if (ready > 0 && slaveEvents_ && events > 0 && (fds[events].revents & POLLIN)) {
      handleSlaveEvents();
    }
    if (master_) {
      const auto now = UnitProtocol::Clock::now();
      auto answers = protocol_.expire(now);
      publishCounters();
      answer(std::move(answers), now);
      sendDueAnswers(now);
    }
  }
}

}  // namespace valmor
