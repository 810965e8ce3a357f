// End to end: valmor-sim runs as its own process, as a user or a script
// starts it, with valmor-cli as the host.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "platform/testing/temp_dir.h"
#include "tools/testing/shell.h"
#include "tools/testing/sim_process.h"

namespace valmor {
namespace {

using ::testing::HasSubstr;

const std::string kSim = test::shellQuoted(VALMOR_SIM_PATH);
const std::string kCli = test::shellQuoted(VALMOR_CLI_PATH);

// The two pauses of each Download in the simulator's log, in milliseconds.
std::vector<std::pair<double, double>> loggedPauses(const std::string& log) {
  static const std::regex pauses(R"(pauses ([0-9.]+) ms and ([0-9.]+) ms)");
  std::vector<std::pair<double, double>> found;
  for (auto it = std::sregex_iterator(log.begin(), log.end(), pauses); it != std::sregex_iterator();
       ++it) {
    found.emplace_back(std::stod((*it)[1]), std::stod((*it)[2]));
  }
  return found;
}

class ValmorSimTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(root_.path().empty()); }
  void startSim(const std::vector<std::string>& options = {}) {
    ASSERT_TRUE(sim_.start(VALMOR_SIM_PATH, root_.path(), root_ / "sim.log", options))
        << sim_.log();
  }
  test::Outcome cli(const std::string& arguments) {
    return test::shell("VALMOR_DEVICE_DIR=" + test::shellQuoted(root_.path()) + " " + kCli + " " +
                       arguments);
  }

  TempDir root_{"sim-e2e"};
  test::SimProcess sim_;
};

// Each session is timed as its bytes arrive, not only the first one after
// the simulator started.
TEST_F(ValmorSimTest, EveryDownloadInARowIsTimedAsItArrives) {
  startSim();
  for (int i = 0; i < 3; ++i) {
    const test::Outcome run = cli("download RED64");
    ASSERT_EQ(run.status, 0) << run.err;
  }
  const auto pauses = loggedPauses(sim_.log());
  ASSERT_EQ(pauses.size(), 3u) << sim_.log();
  for (const auto& [afterCommand, afterTitle] : pauses) {
    EXPECT_GE(afterCommand, 8.5) << sim_.log();
    EXPECT_GE(afterTitle, 8.5) << sim_.log();
  }
}

TEST_F(ValmorSimTest, HelpExplainsTheUnitAndItsOptions) {
  const test::Outcome help = test::shell(kSim + " --help");
  EXPECT_EQ(help.status, 0);
  EXPECT_THAT(help.out, HasSubstr("illustrative, not the texts of the real unit"));
}

}  // namespace
}  // namespace valmor
