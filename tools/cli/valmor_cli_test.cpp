// End to end from a shell: valmor-sim runs as its own process in a temporary
// directory, and valmor-cli is run through /bin/sh as a user would type it.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "platform/testing/temp_dir.h"
#include "platform/unique_fd.h"
#include "profile/repository.h"
#include "profile/strobe_models.h"
#include "tools/testing/shell.h"
#include "tools/testing/sim_process.h"

namespace valmor {
namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;
using test::Outcome;
using test::shell;
using test::shellQuoted;

const std::string kCli = test::shellQuoted(VALMOR_CLI_PATH);

class ValmorCliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(root_.path().empty());
    dir_ = root_ / "units";
    std::filesystem::create_directory(dir_);
  }
  void TearDown() override { sim_.stop(); }
  void startSim() { ASSERT_TRUE(sim_.start(VALMOR_SIM_PATH, dir_, root_ / "sim.log")) << sim_.log(); }
  Outcome cli(const std::string& arguments) {
    return shell("VALMOR_DEVICE_DIR=" + shellQuoted(dir_) + " " + kCli + " " + arguments);
  }

  test::TempDir root_{"cli-test"};
  std::string dir_;
  test::SimProcess sim_;
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
}

}  // namespace
}  // namespace valmor
