#include "profile/profile_image.h"

#include <cstddef>
#include <cstdint>
#include <limits>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "profile/repository.h"

namespace valmor::test {
namespace {

using namespace std::literals;

// Parses "00 06 8C F0 ..." into bytes.
std::vector<std::uint8_t> parseHex(std::string_view text) {
  std::istringstream in{std::string(text)};
  std::vector<std::uint8_t> bytes;
  unsigned value = 0;
  while (in >> std::hex >> value) {
    bytes.push_back(static_cast<std::uint8_t>(value));
  }
  return bytes;
}

// The complete "SUBTRONIC 160" image as the unit's documentation prints it,
// 16 bytes a line; bytes 144 to 319 are all zero.
TEST(ProfileImageTest, Subtronic160ByteForByte) {
  std::vector<std::uint8_t> expected = parseHex(
      "00 06 00 44 00 0A 00 19 00 00 8C F0 96 00 30 10 "
      "03 00 D7 00 00 00 00 0A 00 0A 00 0A 00 0A 00 0A "
      "00 0A 00 0A 00 0A 00 0A 00 0A 00 0A 00 0A 00 0A "
      "00 0A 00 0A 00 0A 00 0A 00 0C 00 0E 00 10 00 14 "
      "00 18 00 1C 00 22 00 2A 00 34 00 40 00 48 00 50 "
      "00 5B 00 66 00 6E 00 76 00 7C 00 82 00 89 00 90 "
      "00 97 00 9E 00 AA 00 B6 00 D1 00 F6 01 26 01 60 "
      "01 91 01 F4 02 58 03 2A 03 E8 05 14 08 F6 0D 3E "
      "17 CE 1F 9E 2A F8 36 B0 4E 20 00 00 00 00 00 00");
  ASSERT_EQ(expected.size(), 144u);
  expected.resize(kProfileImageSize, 0x00);

  const std::optional<ProfileImage> image = Repository().profileImage("SUBTRONIC 160");
  ASSERT_TRUE(image.has_value());
  for (std::size_t i = 0; i < kProfileImageSize; ++i) {
    EXPECT_EQ((*image)[i], expected[i]) << "byte " << i;
  }
}

TEST(ProfileImageTest, NameMatchingNoModelGivesAllZeroImage) {
  const Repository repository;
  for (std::string_view name :
       {""sv, "unknown"sv, "red64"sv, "Red64"sv, "RED64 "sv, " RED64"sv, "RED6"sv, "RED64\n"sv,
        "ONEUW\0"sv}) {
    SCOPED_TRACE('"' + std::string(name) + '"');
    const std::optional<ProfileImage> image = repository.profileImage(name);
    ASSERT_TRUE(image.has_value());
    EXPECT_EQ(*image, ProfileImage{});
  }
  // The exact spelling does match, so the cases above are not all-zero by
  // accident.
  const std::optional<ProfileImage> red64 = repository.profileImage("RED64");
  ASSERT_TRUE(red64.has_value());
  EXPECT_NE(*red64, ProfileImage{});
}

// A row over `values`, which the caller keeps alive while the row is used.
StrobeModel rowWith(std::int64_t headerWord1, const std::vector<std::int64_t>& values,
                    std::size_t firstEntry = 1) {
  return StrobeModel{"Test", {headerWord1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, firstEntry, values};
}

TEST(ProfileImageTest, WordsAreBigEndianAtTheirOffsets) {
  // Entries 1 to 4, then the very last entry through a second row.
  const std::vector<std::int64_t> firstEntries = {256, 255, 0, 1};
  const std::optional<ProfileImage> image = buildProfileImage(rowWith(65535, firstEntries));
  ASSERT_TRUE(image.has_value());
  EXPECT_EQ((*image)[0], 0xFF);
  EXPECT_EQ((*image)[1], 0xFF);
  EXPECT_EQ((*image)[3], 2);  // header word 2
  EXPECT_EQ((*image)[19], 10);  // header word 10
  const std::vector<std::uint8_t> table(image->begin() + 20, image->begin() + 32);
  EXPECT_EQ(table, (std::vector<std::uint8_t>{0x00, 0x00, 0x01, 0x00, 0x00, 0xFF, 0x00, 0x00,
                                              0x00, 0x01, 0x00, 0x00}));

  const std::vector<std::int64_t> lastEntry = {0xABCD};
  const std::optional<ProfileImage> last = buildProfileImage(rowWith(0, lastEntry, 149));
  ASSERT_TRUE(last.has_value());
  EXPECT_EQ((*last)[318], 0xAB);
  EXPECT_EQ((*last)[319], 0xCD);
}

struct FaultyRow {
  std::string_view what;
  std::int64_t headerWord1;
  std::vector<std::int64_t> values;
  std::size_t firstEntry;
};

// A value that does not fit in 16 bits must fail the build: wrapped, 65536
// would be sent as 00 00 and -1 as FF FF, both valid-looking settings.
TEST(ProfileImageTest, FaultyRowGivesNoImage) {
  constexpr auto kMax = std::numeric_limits<std::int64_t>::max();
  constexpr auto kMin = std::numeric_limits<std::int64_t>::min();
  const std::vector<FaultyRow> rows = {
      {"table value 65536", 1, {10, 65536, 10}, 1},
      {"table value -1", 1, {10, -1}, 1},
      {"last table value 65536", 1, {10, 20, 65536}, 1},
      {"table value int64 max", 1, {kMax}, 1},
      {"header word 65536", 65536, {10}, 1},
      {"header word -1", -1, {10}, 1},
      {"header word int64 min", kMin, {}, 1},
      {"run sets entry 0", 1, {10, 10}, 0},
      {"run ends past entry 149", 1, {10, 10}, 149},
      {"run starts past the table", 1, {}, 150},
      {"first entry near size_t max", 1, {10}, std::numeric_limits<std::size_t>::max()},
  };
  for (const FaultyRow& row : rows) {
    EXPECT_FALSE(buildProfileImage(rowWith(row.headerWord1, row.values, row.firstEntry)))
        << row.what;
  }
}

}  // namespace
}  // namespace valmor::test
