#include "serial/port/terminal_device.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/testing/pty.h"
#include "platform/testing/temp_dir.h"

namespace valmor::test {
namespace {

TEST(TerminalDeviceTest, SerialTerminalNameCountsSerialLinesAndNothingElse) {
  PtyPair pty;
  ASSERT_TRUE(pty.valid());
  TempDir dir;
  const std::string link = dir / "cu.sim", linkToLink = dir / "again", dangling = dir / "dangling",
                    file = dir / "file";
  std::filesystem::create_symlink(pty.slavePath(), link);
  std::filesystem::create_symlink(link, linkToLink);
  std::filesystem::create_symlink(dir / "absent", dangling);
  std::ofstream(file) << "not a device";
  const std::string ptsName = pty.slavePath().substr(std::string("/dev/").size());

  struct Case {
    std::string path;
    std::optional<std::string> name;
  };
  for (const Case& c : std::vector<Case>{
           {pty.slavePath(), ptsName},
           {link, ptsName},
           {linkToLink, ptsName},
           {"", std::nullopt},
           {dangling, std::nullopt},
           {file, std::nullopt},
           {dir.path(), std::nullopt},
           {"/dev/null", std::nullopt},   // a character device, not a terminal
           {"/dev/tty", std::nullopt},    // the controlling terminal
           {"/dev/ptmx", std::nullopt},   // makes a new pseudo-terminal when opened
       }) {
    EXPECT_EQ(serialTerminalName(c.path), c.name) << c.path;
  }
}

}  // namespace
}  // namespace valmor::test
