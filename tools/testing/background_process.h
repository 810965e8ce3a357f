// A command run through /bin/sh in the background, as a user leaves one
// running in another terminal: its standard output and error go to files
// that the test reads while it runs, and the test ends it with a signal.
// Start the command with `exec` so that the signal reaches the program, not
// the shell.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/testing/wait.h"

extern char** environ;

namespace valmor::test {

class BackgroundProcess {
 public:
  BackgroundProcess(std::string outPath, std::string errPath)
      : outPath_(std::move(outPath)), errPath_(std::move(errPath)) {}
  BackgroundProcess(const BackgroundProcess&) = delete;
  BackgroundProcess& operator=(const BackgroundProcess&) = delete;
  ~BackgroundProcess() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }

  bool start(const std::string& command) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const char* argv[] = {"/bin/sh", "-c", command.c_str(), nullptr};
    const int spawned = posix_spawn(&pid_, "/bin/sh", &actions, nullptr, const_cast<char**>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) pid_ = -1;
    return pid_ > 0;
  }

  std::string out() const { return read(outPath_); }
  std::string err() const { return read(errPath_); }

  // Sends the signal and gives the exit status, -1 when it was killed or
  // did not end within 10 s.
  int stop(int signal) {
    if (pid_ <= 0) return -1;
    ::kill(pid_, signal);
    int status = 0;
    if (!waitUntil([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; }, std::chrono::seconds(10))) return -1;
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  static std::string read(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  std::string outPath_;
  std::string errPath_;
  pid_t pid_ = -1;
};

}  // namespace valmor::test
