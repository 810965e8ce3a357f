// End to end from a shell: valmor-sim runs as its own process in a temporary
// directory, and valmor-cli is run through /bin/sh as a user would type it.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <nlohmann/json.hpp>

#include "platform/testing/pty.h"
#include "platform/testing/temp_dir.h"
#include "platform/testing/wait.h"
#include "platform/unique_fd.h"
#include "profile/repository.h"
#include "profile/strobe_models.h"
#include "tools/testing/background_process.h"
#include "tools/testing/shell.h"
#include "tools/testing/sim_process.h"

namespace valmor::test {
namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

const std::string kCli = shellQuoted(VALMOR_CLI_PATH);

// How often part occurs in text.
int countOf(const std::string& text, const std::string& part) {
  int n = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++n;
  return n;
}

class ValmorCliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(root_.path().empty());
    dir_ = root_ / "units";
    std::filesystem::create_directory(dir_);
  }
  void TearDown() override { sim_.stop(); }
  void startSim() { ASSERT_TRUE(sim_.start(VALMOR_SIM_PATH, dir_, root_ / "sim.log")) << sim_.log(); }
  Outcome cli(const std::string& arguments) { return shell(cliCommand(arguments)); }
  std::string cliCommand(const std::string& arguments) const {
    return "VALMOR_DEVICE_DIR=" + shellQuoted(dir_) + " " + kCli + " " + arguments;
  }

  TempDir root_{"cli-test"};
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
  // Whatever it would have sent reaches the unit before the bytes of the
  // next host, and is in the unit's log once the unit has answered that
  // host's Initialize: one greeting there, the next host's.
  ASSERT_EQ(cli("initialize").status, 0);
  EXPECT_EQ(countOf(sim_.log(), "greeting received"), 1) << sim_.log();
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
  EXPECT_THAT(run.err, StartsWith("valmor-cli: no VALMOR unit found in " + dir_ + " "));  // where it looked
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
}

TEST_F(ValmorCliTest, ListShowsEveryPortAndUnitsOnlyOnRequest) {
  startSim();
  PtyPair other;
  std::filesystem::create_symlink(other.slavePath(), dir_ + "/cu.other");
  const std::string simLine = sim_.link() + "  usbserial-SIM0  unit\n";
  Outcome run = cli("list");
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, dir_ + "/cu.other  other\n" + simLine);

  run = cli("list --units");
  EXPECT_EQ(run.out, simLine);
  run = cli("list --units --json");
  EXPECT_EQ(run.status, 0) << run.err;
  const auto json = nlohmann::json::parse(run.out);
  ASSERT_EQ(json.size(), 1u);
  EXPECT_EQ(json[0]["path"], sim_.link());
  EXPECT_EQ(json[0]["name"], "usbserial-SIM0");
  EXPECT_EQ(json[0]["unit"], true);
  EXPECT_TRUE(json[0]["vendorId"].is_null());

  sim_.stop();
  run = cli("list --units");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "valmor-cli: no VALMOR unit found in " + dir_ + " (VALMOR_DEVICE_DIR)\n");
  EXPECT_EQ(cli("list --units --json").out, "[]\n");
}

TEST_F(ValmorCliTest, WatchSeesAPlugAndAnUnplugUntilInterrupted) {
  BackgroundProcess text(root_ / "text.out", root_ / "text.err");
  BackgroundProcess json(root_ / "json.out", root_ / "json.err");
  ASSERT_TRUE(text.start("exec env " + cliCommand("watch")));
  ASSERT_TRUE(json.start("exec env " + cliCommand("watch --json")));
  const std::string watching = "valmor-cli: watching " + dir_ +
                               " (VALMOR_DEVICE_DIR) for serial ports plugged in or pulled out (Ctrl+C ends)\n";
  for (auto* w : {&text, &json}) ASSERT_TRUE(waitUntil([&] { return w->err() == watching; }, 10s)) << w->err();

  auto jsonLines = [&] {
    const std::string out = json.out();
    return std::count(out.begin(), out.end(), '\n');
  };
  startSim();
  const std::string connected = "connected  " + sim_.link() + "  usbserial-SIM0  unit\n";
  ASSERT_TRUE(waitUntil([&] { return text.out() == connected; }, 10s)) << text.out();
  // Each watcher reports what it finds when it looks at the directory: a
  // unit pulled out before a watcher has looked (one kept off the CPU for a
  // moment) was never there for it. So the unplug waits for both.
  ASSERT_TRUE(waitUntil([&] { return jsonLines() == 1; }, 10s)) << json.out();
  sim_.signal(SIGUSR1);
  const std::string both = connected + "disconnected  " + sim_.link() + "  usbserial-SIM0  unit\n";
  ASSERT_TRUE(waitUntil([&] { return text.out() == both; }, 10s)) << text.out();
  ASSERT_TRUE(waitUntil([&] { return jsonLines() == 2; }, 10s)) << json.out();
  EXPECT_EQ(text.stop(SIGINT), 0);
  EXPECT_EQ(json.stop(SIGTERM), 0);
  EXPECT_EQ(text.err(), watching);

  std::istringstream lines(json.out());
  std::string line;
  for (const char* event : {"connected", "disconnected"}) {
    ASSERT_TRUE(std::getline(lines, line));
    const auto object = nlohmann::json::parse(line);
    EXPECT_EQ(object["event"], event);
    EXPECT_EQ(object["path"], sim_.link());
    EXPECT_EQ(object["unit"], true);
  }
}

// Regression: a device directory that was a regular file or missing listed
// "no serial port found" with success, and watch waited for ever. It is an
// error named in one line, for every command that looks there.
TEST_F(ValmorCliTest, DeviceDirectoryThatIsNoDirectoryIsAOneLineError) {
  const std::string file = root_ / "file";
  std::ofstream(file) << "not a directory\n";
  const std::string missing = root_ / "missing";
  for (const auto& [dir, why] : {std::pair{file, "is not a directory"}, std::pair{missing, "does not exist"}}) {
    for (const char* command : {"list", "list --json", "watch", "download RED64"}) {
      // Bounded, so that a watch that waits is a failure rather than a hang.
      const Outcome run = shell("VALMOR_DEVICE_DIR=" + shellQuoted(dir) + " timeout 10 " + kCli + " " + command);
      EXPECT_EQ(run.status, 1) << command << " in " << dir;
      EXPECT_EQ(run.out, "") << command << " in " << dir;
      EXPECT_EQ(run.err, "valmor-cli: the device directory " + dir + " (VALMOR_DEVICE_DIR) " + why + "\n")
          << command;
    }
  }
}

// The simulator's own pseudo-terminal node, which no registry lists (the
// default registry, udev, is used here).
TEST_F(ValmorCliTest, PortTakesATerminalNoRegistryLists) {
  startSim();
  const std::string node = std::filesystem::read_symlink(sim_.link());
  const Outcome run = shell(kCli + " --port " + shellQuoted(node) + " download RED64");
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "VALMOR SIM: profile RED64 stored OK\n");
}

TEST_F(ValmorCliTest, PermissionRefusedExplainsTheDialoutGroup) {
  if (::geteuid() != 0) GTEST_SKIP() << "run as root, so that valmor-cli can be run as another user";
  PtyPair pty;  // owned by root, group tty, mode 620: nobody may open it
  const Outcome run = shell("setpriv --reuid=65534 --regid=65534 --clear-groups " + kCli + " --port " +
                            shellQuoted(pty.slavePath()) + " initialize");
  EXPECT_EQ(run.status, 1);
  EXPECT_THAT(run.err, StartsWith("valmor-cli: no permission to open " + pty.slavePath() +
                                  ": add your user to the dialout group (sudo usermod -aG dialout $USER)"));
  EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
}

// SIGTERM while waiting for the unit's answer: the port is closed through
// the normal path, so the device gets its attributes back.
TEST_F(ValmorCliTest, StopSignalClosesThePortAndRestoresTheDevice) {
  PtyPair unit;
  termios before{};
  ASSERT_EQ(::tcgetattr(unit.master(), &before), 0);
  BackgroundProcess run(root_ / "run.out", root_ / "run.err");
  ASSERT_TRUE(run.start("exec " + kCli + " --wait 600 --port " + shellQuoted(unit.slavePath()) + " initialize"));
  EXPECT_EQ(unit.read(3), "\n1\n");  // the greeting, then Initialize
  EXPECT_EQ(run.stop(SIGTERM), 128 + SIGTERM);
  EXPECT_EQ(run.err(), "valmor-cli: interrupted\n");
  termios after{};
  ASSERT_EQ(::tcgetattr(unit.master(), &after), 0);
  EXPECT_EQ(after.c_lflag, before.c_lflag);
  EXPECT_EQ(after.c_cflag, before.c_cflag);
  EXPECT_EQ(::cfgetospeed(&after), ::cfgetospeed(&before));
}

TEST_F(ValmorCliTest, RequestAndSendAreAnsweredByTheSimulator) {
  startSim();
  const std::string answer = "VALMOR SIM: initialized, ready\r\n";
  struct Case {
    std::string arguments;
    std::string out;
  };
  for (const Case& c : std::vector<Case>{
           {"request --suffix '\\r\\n' '1\\n'", answer},
           {"request --expression 'VALMOR SIM: .*ready\\r\\n' '1\\n'", answer},
           {"request --prefix SIM: --suffix ', ' '1\\n'", "SIM: initialized, "},
           {"request --length 6 --hex '31 0a'", "56 41 4C 4D 4F 52\n"},
           {"send --suffix '\\n' '1\\n'", answer},
           {"send --wait 1 '1\\n'", answer},
       }) {
    const Outcome run = cli(c.arguments);
    EXPECT_EQ(run.status, 0) << c.arguments << ": " << run.err;
    EXPECT_EQ(run.out, c.out) << c.arguments;
    EXPECT_EQ(run.err, "") << c.arguments;
  }
  // A request without a reply form ends once written.
  const Outcome written = cli("request '\\n'");
  EXPECT_EQ(written.status, 0) << written.err;
  EXPECT_EQ(written.out, "");
}

// Each bad input is one line on standard error and an exit status that says
// whose fault it is: 2 for the command line, 1 for the device.
TEST_F(ValmorCliTest, BadInputIsOneLineAndNoCrash) {
  startSim();
  PtyPair held;
  std::filesystem::create_symlink(held.slavePath(), dir_ + "/cu.held");
  UniqueFd holder(::open(held.slavePath().c_str(), O_RDWR | O_NOCTTY));
  ASSERT_EQ(::flock(holder.get(), LOCK_EX | LOCK_NB), 0);
  struct Case {
    std::string arguments;
    int status;
    std::string err;  // the start of the line after "valmor-cli: "
  };
  for (const Case& c : std::vector<Case>{
           {"send --port " + shellQuoted(dir_ + "/cu.absent") + " x", 1, "no such device: " + dir_ + "/cu.absent"},
           {"send --port " + shellQuoted(dir_ + "/cu.held") + " x", 1, dir_ + "/cu.held is in use by another process"},
           {"send --port /dev/null x", 1, "/dev/null is not a serial device"},
           {"request --hex '31 0g'", 2, "DATA: malformed hex string: 'g' at position 5"},
           {"request --hex --suffix 0 31", 2, "--suffix: malformed hex string"},
           {"send '\\q'", 2, "DATA: unknown escape \\q"},
           {"request --expression '(' x", 2, "invalid expression '('"},
           {"request --prefix a --length 3 x", 2, "give one reply form"},
           {"request --wait 0 --suffix x x", 2, "--wait: SECONDS must be more than 0 and at most 600"},
           {"request --wait 601 --suffix x x", 2, "--wait: SECONDS must be more than 0"},
           {"request --length 0 x", 2, "--length"},
           {"send --baud 0 x", 2, "--baud"},
           {"send --parity mark2 x", 2, "--parity"},
           {"send --stop-bits 3 x", 2, "--stop-bits"},
           {"send --data-bits 9 x", 2, "--data-bits"},
           {"send --break 0 x", 2, "--break"},
           {"send", 2, "DATA is required"},
           {"--wait 0.3 request --suffix '\\r\\n' 'no line feed'", 1, "no reply within 0.3 s"},
       }) {
    const Outcome run = cli(c.arguments);
    EXPECT_EQ(run.status, c.status) << c.arguments << ": " << run.err;
    EXPECT_THAT(run.err, StartsWith("valmor-cli: " + c.err)) << c.arguments;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << c.arguments << ": " << run.err;
    EXPECT_EQ(run.out, "") << c.arguments;
  }
}

}  // namespace
}  // namespace valmor::test
