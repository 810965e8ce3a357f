// End to end from a shell: valmor-sim runs as its own process in a temporary
// directory, and valmor-cli is run through /bin/sh as a user would type it.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/unique_fd.h"
#include "profile/repository.h"
#include "profile/strobe_models.h"
#include "platform/testing/temp_dir.h"

extern char** environ;

namespace valmor {
namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

struct Outcome {
  int status = -1;  // exit status, or -1 when killed or not run
  std::string out;
  std::string err;
};

// Runs `command` with /bin/sh -c, capturing its output; kills it after 30 s.
Outcome shell(const std::string& command) {
  Outcome run;
  int outPipe[2], errPipe[2];
  if (::pipe2(outPipe, O_CLOEXEC) != 0 || ::pipe2(errPipe, O_CLOEXEC) != 0) return run;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, outPipe[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, errPipe[1], STDERR_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  const char* argv[] = {"/bin/sh", "-c", command.c_str(), nullptr};
  pid_t pid;
  const int spawned = posix_spawn(&pid, "/bin/sh", &actions, nullptr,
                                  const_cast<char**>(argv), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(outPipe[1]);
  ::close(errPipe[1]);
  UniqueFd out(outPipe[0]), err(errPipe[0]);
  if (spawned != 0) return run;

  const auto deadline = std::chrono::steady_clock::now() + 30s;
  pollfd fds[2] = {{out.get(), POLLIN, 0}, {err.get(), POLLIN, 0}};
  int open = 2;
  while (open > 0 && std::chrono::steady_clock::now() < deadline) {
    if (::poll(fds, 2, 100) <= 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP))) continue;
      char buffer[4096];
      const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        (i == 0 ? run.out : run.err).append(buffer, static_cast<std::size_t>(n));
      } else {
        fds[i].fd = -1;
        --open;
      }
    }
  }
  if (open > 0) ::kill(pid, SIGKILL);
  int status = 0;
  ::waitpid(pid, &status, 0);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

std::string shellQuoted(const std::string& text) { return "'" + text + "'"; }

const std::string kCli = shellQuoted(VALMOR_CLI_PATH);

// valmor-sim started in the background with no input, as a script would.
class SimProcess {
 public:
  bool start(const std::string& dir, const std::string& logPath) {
    dir_ = dir;
    logPath_ = logPath;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, logPath.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const std::string sim = VALMOR_SIM_PATH;
    const char* argv[] = {sim.c_str(), "--dir", dir.c_str(), nullptr};
    const int spawned = posix_spawn(&pid_, sim.c_str(), &actions, nullptr,
                                    const_cast<char**>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
      pid_ = -1;
      return false;
    }
    return waitForLink(true);
  }

  // Waits until the unit's link is present (or gone).
  bool waitForLink(bool present) {
    for (int i = 0; i < 500; ++i) {
      if (std::filesystem::exists(std::filesystem::symlink_status(link())) == present) return true;
      std::this_thread::sleep_for(10ms);
    }
    return false;
  }

  std::string link() const { return dir_ + "/cu.usbserial-SIM0"; }
  void signal(int number) { ::kill(pid_, number); }

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

  ~SimProcess() { stop(); }

 private:
  pid_t pid_ = -1;
  std::string dir_;
  std::string logPath_;
};

class ValmorCliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(root_.path().empty());
    dir_ = root_ / "units";
    std::filesystem::create_directory(dir_);
  }
  void TearDown() override { sim_.stop(); }
  void startSim() { ASSERT_TRUE(sim_.start(dir_, root_ / "sim.log")) << sim_.log(); }
  Outcome cli(const std::string& arguments) {
    return shell("VALMOR_DEVICE_DIR=" + shellQuoted(dir_) + " " + kCli + " " + arguments);
  }

  test::TempDir root_{"cli-test"};
  std::string dir_;
  SimProcess sim_;
};

TEST_F(ValmorCliTest, DownloadPrintsTheSimulatorsAnswer) {
  startSim();
  Outcome run = cli("download RED64");
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "VALMOR SIM: profile RED64 stored OK\n");
  EXPECT_EQ(run.err, "");

  run = cli("download 'S&S YS D2_optical'");
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "VALMOR SIM: profile S&S YS D2_optical stored OK\n");

  run = cli("initialize");
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "VALMOR SIM: initialized, ready\n");
  EXPECT_THAT(sim_.log(), HasSubstr("greeting received"));
}

TEST_F(ValmorCliTest, UnknownModelIsRefusedBeforeAnythingIsWritten) {
  startSim();
  const Outcome run = cli("download Nope");
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "valmor-cli: unknown strobe model 'Nope' ('valmor-cli models' lists them)\n");
  // And the port was not even opened: the unit never got the greeting.
  std::this_thread::sleep_for(200ms);
  EXPECT_THAT(sim_.log(), Not(HasSubstr("greeting")));
  EXPECT_THAT(sim_.log(), Not(HasSubstr("download")));
  // Names are exact: a change of case is another, unknown name.
  EXPECT_EQ(cli("download red64").status, 2);
}

TEST_F(ValmorCliTest, ImageIsTheOneTheSimulatorExpects) {
  const auto image = Repository().profileImage("RED64");
  ASSERT_TRUE(image);
  const std::string expectedPath = root_ / "red64.bin";
  std::ofstream(expectedPath, std::ios::binary)
      .write(reinterpret_cast<const char*>(image->data()), static_cast<std::streamsize>(image->size()));
  const Outcome run = shell(kCli + " image RED64 | cmp - " + shellQuoted(expectedPath));
  EXPECT_EQ(run.status, 0) << run.out << run.err;

  const Outcome hex = cli("image RED64 --hex");
  EXPECT_EQ(hex.status, 0);
  EXPECT_EQ(std::count(hex.out.begin(), hex.out.end(), '\n'), 20);
  EXPECT_EQ(hex.out.size(), 320u * 3);

  const Outcome title = cli("title RED64");
  EXPECT_EQ(title.out, "o-VALMOR - RED64" + std::string(19, ' ') + "\n");
}

TEST_F(ValmorCliTest, ModelsListsTheTwelveNames) {
  const Outcome run = cli("models");
  EXPECT_EQ(run.status, 0);
  std::string expected;
  for (std::string_view name : strobeModelNames()) expected += std::string(name) + "\n";
  EXPECT_EQ(run.out, expected);
}

TEST_F(ValmorCliTest, NoUnitOrAUnitInUseIsAOneLineError) {
  Outcome run = cli("download RED64");
  EXPECT_EQ(run.status, 1);
  EXPECT_THAT(run.err, StartsWith("valmor-cli: no VALMOR unit found"));
  EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;

  startSim();
  UniqueFd holder(::open(sim_.link().c_str(), O_RDWR | O_NOCTTY));
  ASSERT_TRUE(holder);
  ASSERT_EQ(::flock(holder.get(), LOCK_EX | LOCK_NB), 0);
  run = cli("download RED64");
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "valmor-cli: the unit at " + sim_.link() + " is in use by another process\n");
  EXPECT_EQ(run.out, "");

  run = cli("--port " + shellQuoted(dir_ + "/cu.usbserial-NONE") + " initialize");
  EXPECT_EQ(run.status, 1);
  EXPECT_THAT(run.err, HasSubstr("is not a serial device of the device registry"));
}

TEST_F(ValmorCliTest, UnpluggedAndReplugged) {
  startSim();
  sim_.signal(SIGUSR1);
  ASSERT_TRUE(sim_.waitForLink(false));
  Outcome run = cli("download RED64");
  EXPECT_EQ(run.status, 1);
  EXPECT_THAT(run.err, HasSubstr("no VALMOR unit found"));

  sim_.signal(SIGUSR1);
  ASSERT_TRUE(sim_.waitForLink(true));
  run = cli("--port " + shellQuoted(sim_.link()) + " download ONEUW");
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "VALMOR SIM: profile ONEUW stored OK\n");

  // SIGTERM ends it cleanly and takes the unit's link away.
  EXPECT_EQ(sim_.stop(), 0);
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(sim_.link())));
}

TEST_F(ValmorCliTest, UsageErrorsExitWith2AndHelpExplainsEveryCommand) {
  for (const char* arguments : {"", "frobnicate", "download", "title", "image RED64 extra",
                                "--wait 0 initialize", "--bogus models", "models --hex"}) {
    const Outcome run = cli(arguments);
    EXPECT_EQ(run.status, 2) << arguments;
    EXPECT_EQ(run.out, "") << arguments;
    EXPECT_THAT(run.err, StartsWith("valmor-cli: ")) << arguments;
  }
  const Outcome help = cli("--help");
  EXPECT_EQ(help.status, 0);
  for (const char* word : {"models", "title MODEL", "image MODEL", "--hex", "initialize",
                           "download MODEL", "--port", "--wait", "Exit status"}) {
    EXPECT_THAT(help.out, HasSubstr(word));
  }
  const Outcome simHelp = shell(shellQuoted(VALMOR_SIM_PATH) + " --help");
  EXPECT_EQ(simHelp.status, 0);
  EXPECT_THAT(simHelp.out, HasSubstr("illustrative, not the texts of the real unit"));
}

}  // namespace
}  // namespace valmor
