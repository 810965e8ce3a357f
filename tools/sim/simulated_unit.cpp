#include "tools/sim/simulated_unit.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace valmor {
namespace {

constexpr int kMaxIndex = 1000;

std::string errnoText(const std::string& what) { return what + ": " + std::strerror(errno); }

}  // namespace

SimulatedUnit::SimulatedUnit(std::string dir, std::ostream& log)
    : dir_(std::move(dir)), log_(log), protocol_([this](const std::string& line) { logLine(line); }) {
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
  hungUp_ = false;
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
  master_.reset();
  protocol_.reset();
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

void SimulatedUnit::sendAnswers(const std::vector<std::string>& answers) {
  for (const std::string& answer : answers) {
    std::string_view rest = answer;
    while (!rest.empty() && master_) {
      const ssize_t n = ::write(master_.get(), rest.data(), rest.size());
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        logLine(errnoText("answer not sent"));
        break;
      }
      rest.remove_prefix(static_cast<std::size_t>(n));
    }
  }
}

void SimulatedUnit::readMaster() {
  std::uint8_t buffer[4096];
  const ssize_t n = ::read(master_.get(), buffer, sizeof buffer);
  if (n > 0) {
    if (hungUp_) logLine("port opened by the host");
    hungUp_ = false;
    const auto answers =
        protocol_.feed(std::span(buffer, static_cast<std::size_t>(n)), UnitProtocol::Clock::now());
    // Counted before answering: whoever sees the answer sees the count.
    publishCounters();
    sendAnswers(answers);
    return;
  }
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
  // EIO (or end of file): no process has the slave open any more.
  if (!hungUp_) {
    logLine("port closed by the host");
    protocol_.reset();
  }
  hungUp_ = true;
  nextMasterLook_ = std::chrono::steady_clock::now() + kHungUpPoll;
}

void SimulatedUnit::publishCounters() {
  initializeCount_ = protocol_.initializeCount();
  acceptedCount_ = protocol_.acceptedCount();
  rejectedCount_ = protocol_.rejectedCount();
}

void SimulatedUnit::run() {
  bool stop = false;
  while (!stop) {
    pollfd fds[3];
    nfds_t count = 0;
    const nfds_t control = count++;
    fds[control] = {controlRead_.get(), POLLIN, 0};
    nfds_t input = 0;
    if (commandFd_ >= 0) {
      input = count++;
      fds[input] = {commandFd_, POLLIN, 0};
    }
    // A master whose slave is closed reports POLLHUP without end; it is left
    // out of the poll then and looked at again after a short sleep.
    nfds_t master = 0;
    const auto now = std::chrono::steady_clock::now();
    const bool watchMaster = master_ && (!hungUp_ || now >= nextMasterLook_);
    if (watchMaster) {
      master = count++;
      fds[master] = {master_.get(), POLLIN, 0};
    }
    int timeout = -1;
    if (master_ && !watchMaster) {
      timeout = static_cast<int>(
          std::chrono::ceil<std::chrono::milliseconds>(nextMasterLook_ - now).count());
    }
    if (const auto due = protocol_.deadline()) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(*due - UnitProtocol::Clock::now());
      const int ms = static_cast<int>(std::max<std::chrono::milliseconds::rep>(left.count(), 0));
      timeout = timeout < 0 ? ms : std::min(timeout, ms);
    }

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
    // The master may have been closed by a command above.
    if (ready > 0 && watchMaster && master_ && (fds[master].revents & (POLLIN | POLLHUP | POLLERR))) {
      readMaster();
    }
    if (master_) {
      const auto answers = protocol_.expire(UnitProtocol::Clock::now());
      publishCounters();
      sendAnswers(answers);
    }
  }
}

}  // namespace valmor
