// valmor-sim run as its own process in the background, with no input, as a
// script would start it; its standard error goes to a log file.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/testing/wait.h"

extern char** environ;

namespace valmor::test {

class SimProcess {
 public:
  SimProcess() = default;
  SimProcess(const SimProcess&) = delete;
  SimProcess& operator=(const SimProcess&) = delete;
  ~SimProcess() { stop(); }

  // Starts `program` --dir DIR and `options`; true once its unit's link is
  // there.
  bool start(const std::string& program, const std::string& dir, const std::string& logPath,
             const std::vector<std::string>& options = {}) {
    dir_ = dir;
    logPath_ = logPath;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, logPath.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<const char*> argv = {program.c_str(), "--dir", dir.c_str()};
    for (const std::string& option : options) argv.push_back(option.c_str());
    argv.push_back(nullptr);
    const int spawned = posix_spawn(&pid_, program.c_str(), &actions, nullptr,
                                    const_cast<char**>(argv.data()), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
      pid_ = -1;
      return false;
    }
    return waitForLink(true);
  }

  // Waits up to 5 s until the unit's link is present (or gone).
  bool waitForLink(bool present) const {
    return waitUntil([&] { return std::filesystem::exists(std::filesystem::symlink_status(link())) == present; });
  }

  std::string link() const { return dir_ + "/cu.usbserial-SIM0"; }
  void signal(int number) const { ::kill(pid_, number); }

  std::string log() const {
    std::ifstream in(logPath_);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  // Ends it with SIGTERM; its exit status.
  int stop() {
    if (pid_ < 0) return -1;
    ::kill(pid_, SIGTERM);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  pid_t pid_ = -1;
  std::string dir_;
  std::string logPath_;
};

}  // namespace valmor::test
