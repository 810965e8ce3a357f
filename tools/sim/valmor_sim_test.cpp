// End to end: valmor-sim runs as its own process, as a user or a script
// starts it, with valmor-cli as the host.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "tools/testing/shell.h"

namespace valmor {
namespace {

using ::testing::HasSubstr;

const std::string kSim = test::shellQuoted(VALMOR_SIM_PATH);

TEST(ValmorSimTest, HelpExplainsTheUnitAndItsOptions) {
  const test::Outcome help = test::shell(kSim + " --help");
  EXPECT_EQ(help.status, 0);
  EXPECT_THAT(help.out, HasSubstr("illustrative, not the texts of the real unit"));
}

}  // namespace
}  // namespace valmor
