#include "tools/cli/unit_session.h"

#include <gtest/gtest.h>

#include <sstream>
#include <thread>

#include "discovery/testing/fixture.h"
#include "platform/testing/pty.h"

namespace valmor::test {
namespace {

// A unit pulled out in the pause after the Download command: the next write
// fails with EIO, and the user is told the unit was unplugged, not
// "Input/output error".
class UnitSessionTest : public Fixture {};

TEST_F(UnitSessionTest, UnitUnpluggedDuringTheUploadIsSaidSo) {
  PtyPair unit;
  ASSERT_TRUE(unit.valid());
  std::thread pullOut([&] {
    std::string seen;
    while (seen.find("2\n") == std::string::npos) {
      const std::string more = unit.read(1, 5s);
      if (more.empty()) return;
      seen += more;
    }
    unit.closeMaster();
  });
  UnitJob job;
  job.port = unit.slavePath();  // a terminal the registry does not list
  job.initialize = false;
  job.model = "RED64";
  std::ostringstream out, err;
  const int status = talkToUnit(job, *queue_, out, err);
  pullOut.join();
  EXPECT_EQ(status, 1);
  EXPECT_EQ(err.str(), "valmor-cli: the unit was unplugged during the upload\n");
  EXPECT_EQ(out.str(), "");
}

}  // namespace
}  // namespace valmor::test
