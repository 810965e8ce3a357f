// Checks every built-in model through the images the repository builds, against
// the unit's model data typed here independently of the table under test:
// header words in hexadecimal as they appear in the image, table values in
// rows of ten starting at entry 0.
#include "profile/strobe_models.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "profile/repository.h"

namespace valmor::test {
namespace {

// "Ikelite Ds160", from entry 0.
const std::vector<std::int64_t> kIkeliteTable = {
    /*  0- */ 0, 90, 90, 90, 93, 96, 99, 101, 103, 105,
    /* 10- */ 108, 111, 115, 119, 125, 130, 120, 122, 124, 127,
    /* 20- */ 130, 138, 144, 150, 155, 160, 165, 170, 175, 180,
    /* 30- */ 185, 190, 195, 200, 205, 210, 220, 230, 240, 250,
    /* 40- */ 260, 270, 280, 290, 300, 310, 320, 330, 340, 360,
    /* 50- */ 380, 400, 420, 440, 460, 480, 510, 550, 590, 630,
    /* 60- */ 670, 730, 780, 830, 880, 980, 1060, 1140, 1220, 1310,
    /* 70- */ 1480, 1680, 1980, 2480, 2980, 3480, 3980, 4480, 4980, 6000,
    /* 80- */ 7500, 9000, 12000, 15000,
};

// "Inon Z240/Z330", from entry 0.
const std::vector<std::int64_t> kInonTable = {
    /*  0- */ 0, 20, 20, 21, 21, 22, 22, 23, 24, 25,
    /* 10- */ 27, 30, 33, 36, 38, 40, 42, 43, 45, 47,
    /* 20- */ 50, 52, 55, 57, 60, 67, 74, 80, 85, 90,
    /* 30- */ 95, 100, 105, 112, 120, 130, 145, 160, 175, 190,
    /* 40- */ 205, 220, 240, 260, 280, 300, 320, 350, 370, 380,
    /* 50- */ 420, 460, 500, 550, 600, 650, 700, 770, 850, 920,
    /* 60- */ 982, 1102, 1322, 1510, 1704, 1904, 2108, 2420, 2740, 3064,
    /* 70- */ 3396, 3636, 3984, 4400, 4880, 5228, 5660, 6080, 6500, 7020,
    /* 80- */ 7740, 8560, 9880, 11000, 13020,
};

// "S&S YS250", from entry 0.
const std::vector<std::int64_t> kYs250Table = {
    /*  0- */ 0, 110, 110, 110, 110, 110, 110, 110, 110, 110,
    /* 10- */ 110, 110, 110, 110, 110, 110, 113, 116, 119, 121,
    /* 20- */ 123, 125, 128, 131, 135, 139, 145, 150, 140, 142,
    /* 30- */ 144, 147, 150, 158, 164, 170, 175, 180, 185, 190,
    /* 40- */ 195, 200, 205, 210, 215, 220, 225, 230, 240, 250,
    /* 50- */ 260, 270, 280, 290, 300, 310, 320, 330, 340, 350,
    /* 60- */ 360, 380, 400, 420, 440, 460, 480, 500, 530, 570,
    /* 70- */ 610, 650, 690, 750, 800, 850, 900, 1000, 1080, 1160,
    /* 80- */ 1240, 1330, 1500, 1700, 2000, 2500, 3000, 3500, 4000, 4500,
    /* 90- */ 5000, 6000, 7500, 9000,
};

// "S&S YS D1", from entry 0.
const std::vector<std::int64_t> kYsD1Table = {
    /*  0- */ 0, 25, 25, 25, 25, 27, 30, 33, 36, 38,
    /* 10- */ 40, 42, 43, 45, 47, 50, 52, 55, 57, 60,
    /* 20- */ 67, 74, 80, 85, 90, 95, 100, 105, 112, 120,
    /* 30- */ 130, 145, 160, 175, 190, 205, 220, 240, 260, 280,
    /* 40- */ 300, 320, 350, 370, 380, 420, 460, 500, 550, 600,
    /* 50- */ 650, 700, 770, 850, 920, 982, 1102, 1322, 1510, 1704,
    /* 60- */ 1904, 2108, 2420, 2740, 3064, 3396, 3636, 3984, 4400, 4880,
    /* 70- */ 5228, 5660, 6080, 6500, 7020, 7740, 8560, 9880, 11000, 13020,
};

// "S&S YS D2_optical", from entry 0.
const std::vector<std::int64_t> kYsD2Table = {
    /*  0- */ 0, 21, 21, 21, 21, 21, 22, 23, 24, 25,
    /* 10- */ 26, 27, 28, 29, 30, 31, 32, 33, 33, 34,
    /* 20- */ 34, 35, 36, 38, 42, 50, 55, 60, 67, 74,
    /* 30- */ 80, 87, 93, 100, 120, 140, 150, 160, 170, 185,
    /* 40- */ 200, 230, 238, 244, 250, 280, 300, 320, 350, 370,
    /* 50- */ 380, 420, 460, 500, 550, 600, 650, 700, 770, 850,
    /* 60- */ 920, 982, 1102, 1222, 1310, 1404, 1504, 1608, 1720, 1840,
    /* 70- */ 1964, 2096, 2236, 2384, 2532, 2680, 2828, 2960, 3180, 3400,
    /* 80- */ 3620, 3840, 4060, 4280, 4500, 4720, 4940, 5160, 5380, 5600,
    /* 90- */ 5820, 6040, 6260, 6480, 6700, 6920, 10710, 11040,
};

// "SUBTRONIC 160", from entry 0.
const std::vector<std::int64_t> kSubtronic160Table = {
    /*  0- */ 0, 10, 10, 10, 10, 10, 10, 10, 10, 10,
    /* 10- */ 10, 10, 10, 10, 10, 10, 10, 10, 12, 14,
    /* 20- */ 16, 20, 24, 28, 34, 42, 52, 64, 72, 80,
    /* 30- */ 91, 102, 110, 118, 124, 130, 137, 144, 151, 158,
    /* 40- */ 170, 182, 209, 246, 294, 352, 401, 500, 600, 810,
    /* 50- */ 1000, 1300, 2294, 3390, 6094, 8094, 11000, 14000, 20000,
};

// "S&S YS 110A", from entry 0.
const std::vector<std::int64_t> kYs110aTable = {
    /*  0- */ 0, 40, 40, 40, 40, 40, 40, 40, 40, 40,
    /* 10- */ 40, 42, 45, 47, 50, 52, 55, 57, 59, 61,
    /* 20- */ 63, 65, 67, 70, 75, 80, 84, 88, 93, 98,
    /* 30- */ 103, 108, 113, 118, 124, 130, 137, 144, 151, 158,
    /* 40- */ 165, 172, 179, 186, 194, 202, 211, 220, 230, 240,
    /* 50- */ 251, 263, 276, 290, 304, 318, 332, 346, 360, 374,
    /* 60- */ 388, 402, 416, 430, 444, 464, 494, 544, 614, 704,
    /* 70- */ 814, 944, 1094, 1294, 1594, 1994, 2594, 3394, 4594, 6094,
    /* 80- */ 8094, 9990,
};

// "RETRAPRO", from entry 0.
const std::vector<std::int64_t> kRetraproTable = {
    /*  0- */ 0, 0, 30, 30, 30, 30, 30, 30, 30, 30,
    /* 10- */ 30, 30, 33, 36, 38, 40, 42, 43, 45, 47,
    /* 20- */ 50, 52, 55, 57, 60, 67, 74, 80, 85, 90,
    /* 30- */ 95, 100, 105, 112, 120, 130, 145, 160, 175, 190,
    /* 40- */ 205, 220, 240, 260, 280, 300, 320, 350, 370, 380,
    /* 50- */ 420, 460, 500, 550, 600, 650, 700, 770, 850, 920,
    /* 60- */ 982, 1102, 1322, 1510, 1704, 1904, 2108, 2420, 2740, 3064,
    /* 70- */ 3396, 3636, 3984, 4400, 4880, 5228, 5660, 6080, 6500, 7020,
    /* 80- */ 7740, 8560, 9880, 11000, 13020, 16020, 20020,
};

// "S&S YSD3", from entry 0.
const std::vector<std::int64_t> kYsd3Table = {
    /*  0- */ 0, 20, 20, 20, 20, 20, 20, 20, 20, 20,
    /* 10- */ 20, 20, 20, 20, 20, 20, 20, 20, 20, 20,
    /* 20- */ 20, 20, 20, 21, 22, 24, 26, 30, 35, 46,
    /* 30- */ 56, 68, 75, 85, 95, 105, 117, 124, 131, 148,
    /* 40- */ 165, 172, 179, 186, 250, 280, 320, 360, 460, 590,
    /* 50- */ 670, 760, 900, 1100, 1300, 1620, 2440, 3000, 3000, 3000,
    /* 60- */ 3000, 3000,
};

// "RED64", from entry 0.
const std::vector<std::int64_t> kRed64Table = {
    /*  0- */ 0, 40, 40, 40, 40, 40, 40, 40, 40, 40,
    /* 10- */ 40, 40, 40, 40, 40, 40, 42, 43, 45, 47,
    /* 20- */ 50, 52, 55, 57, 60, 67, 74, 80, 85, 90,
    /* 30- */ 95, 100, 105, 112, 120, 130, 145, 160, 175, 190,
    /* 40- */ 205, 220, 240, 260, 280, 300, 320, 350, 370, 380,
    /* 50- */ 420, 460, 500, 550, 600, 650, 700, 770, 850, 920,
    /* 60- */ 982, 1102, 1322, 1510, 1704, 1904, 2108, 2300, 2500, 2700,
    /* 70- */ 3000, 3300, 3600, 3900, 4200, 4500, 4500, 4500, 4500, 4500,
    /* 80- */ 4500, 4500, 4500, 4500, 4500, 4500, 4500,
};

// "ONEUW" is the Ikelite table with a stronger entry 83.
std::vector<std::int64_t> oneuwTable() {
  std::vector<std::int64_t> table = kIkeliteTable;
  table.at(83) = 18000;
  return table;
}

struct ExpectedModel {
  std::string_view name;
  std::array<std::uint16_t, 10> header;
  std::vector<std::int64_t> entries;  // from entry 0; later entries are 0
};

const std::vector<ExpectedModel>& expectedModels() {
  static const std::vector<ExpectedModel> models = {
        {"Ikelite Ds160", {0x0001, 0x0053, 0x0006, 0x0017, 0x0000, 0x8CF0, 0xAA00, 0x3010, 0x0300, 0xEB00}, kIkeliteTable},
        {"Inon Z240/Z330", {0x0002, 0x0054, 0x0009, 0x0014, 0x0000, 0x8CDC, 0x9600, 0x3010, 0x0300, 0xC300}, kInonTable},
        {"S&S YS250", {0x0003, 0x005D, 0x0000, 0x0014, 0x0000, 0x8CF0, 0xAA00, 0x3010, 0x0300, 0xEB00}, kYs250Table},
        {"S&S YS D1", {0x0004, 0x004F, 0x0000, 0x0014, 0x0000, 0x8CDC, 0x9600, 0x3010, 0x0300, 0xC300}, kYsD1Table},
        {"S&S YS D2_optical", {0x0005, 0x0061, 0x0007, 0x0014, 0x0000, 0x8CDC, 0x9600, 0x3010, 0x0300, 0xC300}, kYsD2Table},
        {"SUBTRONIC 160", {0x0006, 0x0044, 0x000A, 0x0019, 0x0000, 0x8CF0, 0x9600, 0x3010, 0x0300, 0xD700}, kSubtronic160Table},
        {"S&S YS 110A", {0x0006, 0x005A, 0x000A, 0x001E, 0x0000, 0x8CF0, 0x9600, 0x3010, 0x0300, 0xD700}, kYs110aTable},
        {"SUBTRONIC 270", {0x0006, 0x005D, 0x0006, 0x0017, 0x0000, 0x8CF0, 0xAA00, 0x3010, 0x0300, 0xEB00}, kIkeliteTable},
        {"ONEUW", {0x0001, 0x005E, 0x0006, 0x0017, 0x0000, 0x8CF0, 0xAA00, 0x3010, 0x0300, 0xEB00}, oneuwTable()},
        {"RETRAPRO", {0x0009, 0x0056, 0x0009, 0x0018, 0x0000, 0x8CDC, 0xA404, 0x4634, 0x0300, 0x0F00}, kRetraproTable},
        {"S&S YSD3", {0x000C, 0x0048, 0x000B, 0x001E, 0x0000, 0x8CF0, 0x9600, 0x3010, 0x0300, 0xD700}, kYsd3Table},
        {"RED64", {0x000C, 0x004D, 0x000B, 0x000A, 0x0000, 0x8CF0, 0x9600, 0x3010, 0x0300, 0xD700}, kRed64Table},
  };
  return models;
}

std::uint16_t wordAt(const ProfileImage& image, std::size_t word) {
  return static_cast<std::uint16_t>(image[2 * word] << 8 | image[2 * word + 1]);
}

TEST(StrobeModelsTest, NamesAreTheTwelveModelsInPopupOrder) {
  std::vector<std::string_view> expected;
  for (const ExpectedModel& model : expectedModels()) {
    expected.push_back(model.name);
  }
  const auto names = strobeModelNames();
  EXPECT_EQ(std::vector<std::string_view>(names.begin(), names.end()), expected);
}

TEST(StrobeModelsTest, EveryModelImageMatchesItsData) {
  const Repository repository;
  const RepositoryProtocol& protocol = repository;
  for (const ExpectedModel& model : expectedModels()) {
    SCOPED_TRACE(std::string(model.name));
    const std::optional<ProfileImage> image = protocol.profileImage(model.name);
    ASSERT_TRUE(image.has_value());
    for (std::size_t k = 0; k < model.header.size(); ++k) {
      EXPECT_EQ(wordAt(*image, k), model.header[k]) << "header word " << k + 1;
    }
    for (std::size_t i = 0; i < kTableEntryCount; ++i) {
      const std::int64_t want = i < model.entries.size() ? model.entries[i] : 0;
      EXPECT_EQ(wordAt(*image, 10 + i), want) << "table entry " << i;
    }
  }
}

// Guards the shared-table rows: a change to one model's table must not leak
// into another, and the two copies must differ exactly where the data say.
TEST(StrobeModelsTest, SharedTablesDifferOnlyWhereDocumented) {
  const Repository repository;
  const auto ikelite = repository.profileImage("Ikelite Ds160");
  const auto subtronic270 = repository.profileImage("SUBTRONIC 270");
  const auto oneuw = repository.profileImage("ONEUW");
  ASSERT_TRUE(ikelite && subtronic270 && oneuw);

  const auto differingBytes = [&](const ProfileImage& other) {
    std::vector<std::size_t> offsets;
    for (std::size_t i = 0; i < kProfileImageSize; ++i) {
      if ((*ikelite)[i] != other[i]) {
        offsets.push_back(i);
      }
    }
    return offsets;
  };
  // Low bytes of header words 1 and 2.
  EXPECT_EQ(differingBytes(*subtronic270), (std::vector<std::size_t>{1, 3}));
  // Low byte of header word 2, and entry 83.
  EXPECT_EQ(differingBytes(*oneuw), (std::vector<std::size_t>{3, 186, 187}));
}

TEST(StrobeModelsTest, FindMatchesWholeNameExactly) {
  for (std::string_view name : strobeModelNames()) {
    const StrobeModel* model = findStrobeModel(name);
    ASSERT_NE(model, nullptr) << name;
    EXPECT_EQ(model->name, name);
  }
  for (std::string_view name : {"", "red64", "RED64 ", " RED64", "RED6", "RED645", "S&S YS"}) {
    EXPECT_EQ(findStrobeModel(name), nullptr) << '"' << name << '"';
  }
}

}  // namespace
}  // namespace valmor::test
