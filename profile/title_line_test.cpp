#include "profile/title_line.h"
#include "text/unicode_text.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "profile/repository.h"

namespace valmor::test {
namespace {

using namespace std::literals;

struct PaddedTitle {
  std::string_view name;
  std::size_t lengthBeforePadding;
  std::size_t spacesAppended;
};

TEST(TitleLineTest, EveryModelIsPaddedTo35) {
  const std::vector<PaddedTitle> titles = {
      {"Ikelite Ds160", 24, 11}, {"Inon Z240/Z330", 25, 10}, {"S&S YS250", 20, 15},
      {"S&S YS D1", 20, 15},     {"S&S YS D2_optical", 28, 7}, {"SUBTRONIC 160", 24, 11},
      {"S&S YS 110A", 22, 13},   {"SUBTRONIC 270", 24, 11},  {"ONEUW", 16, 19},
      {"RETRAPRO", 19, 16},      {"S&S YSD3", 19, 16},       {"RED64", 16, 19},
  };
  const Repository repository;
  for (const PaddedTitle& title : titles) {
    SCOPED_TRACE(std::string(title.name));
    const std::optional<std::string> line = repository.titleLine(title.name);
    ASSERT_TRUE(line.has_value());
    EXPECT_EQ(*line, "o-VALMOR - " + std::string(title.name) +
                         std::string(title.spacesAppended, ' '));
    EXPECT_EQ(line->size(), 35u);
    EXPECT_EQ(line->find_last_not_of(' ') + 1, title.lengthBeforePadding);
  }
}

struct TitleCase {
  std::string_view what;
  std::string_view name;
  std::string expected;
};

TEST(TitleLineTest, EdgeNames) {
  const std::vector<TitleCase> cases = {
      {"empty name", "", "o-VALMOR - " + std::string(24, ' ')},
      {"24 characters, no padding", "ABCDEFGHIJKLMNOPQRSTUVWX",
       "o-VALMOR - ABCDEFGHIJKLMNOPQRSTUVWX"},
      {"trailing space counts", "RED64 ", "o-VALMOR - RED64 " + std::string(18, ' ')},
      {"leading space kept", " RED64", "o-VALMOR -  RED64" + std::string(18, ' ')},
      {"case kept", "red64", "o-VALMOR - red64" + std::string(19, ' ')},
      {"25 characters left unpadded", "ABCDEFGHIJKLMNOPQRSTUVWXY",
       "o-VALMOR - ABCDEFGHIJKLMNOPQRSTUVWXY"},
      {"long name not cut", "S&S YS D2_optical with a much longer name",
       "o-VALMOR - S&S YS D2_optical with a much longer name"},
      // Non-ASCII: padding counts user-perceived characters, not bytes.
      {"precomposed e-acute is one character", "Caf\u00e9",
       "o-VALMOR - Caf\u00e9" + std::string(20, ' ')},
      {"e plus combining accent is one character", "Cafe\u0301",
       "o-VALMOR - Cafe\u0301" + std::string(20, ' ')},
      {"flag is one character", "\U0001F1EB\U0001F1F7",
       "o-VALMOR - \U0001F1EB\U0001F1F7" + std::string(23, ' ')},
      {"ZWJ family is one character", "\U0001F468\u200D\U0001F469\u200D\U0001F467",
       "o-VALMOR - \U0001F468\u200D\U0001F469\u200D\U0001F467" + std::string(23, ' ')},
      {"CJK, 3 bytes each", "\u65E5\u672C", "o-VALMOR - \u65E5\u672C" + std::string(22, ' ')},
      // The count is of the joined text: a leading combining mark joins the
      // prefix's last space, so the text is 12 characters, not 11 + 2, and
      // gets 23 spaces rather than 22.
      {"leading combining mark merges with prefix", "\u0301X",
       "o-VALMOR - \u0301X" + std::string(23, ' ')},
  };
  for (const TitleCase& c : cases) {
    EXPECT_EQ(makeTitleLine(c.name), c.expected) << c.what;
  }
}

TEST(TitleLineTest, LimitCountsCharactersNotBytes) {
  std::string twentyFour;
  for (int i = 0; i < 24; ++i) {
    twentyFour += "\u00e9";
  }
  EXPECT_EQ(makeTitleLine(twentyFour), "o-VALMOR - " + twentyFour);
  EXPECT_EQ(countUserCharacters("o-VALMOR - " + twentyFour), 35u);

  const std::string twentyFive = twentyFour + "\u00e9";
  EXPECT_EQ(makeTitleLine(twentyFive), "o-VALMOR - " + twentyFive);
  EXPECT_EQ(makeTitleLine(twentyFour.substr(2)), "o-VALMOR - " + twentyFour.substr(2) + " ");
}

TEST(TitleLineTest, IllFormedUtf8IsRefused) {
  for (std::string_view bad : {"\xFF"sv, "RED64\xC3"sv, "\xC0\xAF"sv, "\xED\xA0\x80"sv,
                               "\xF4\x90\x80\x80"sv, "\x80"sv}) {
    EXPECT_EQ(makeTitleLine(bad), std::nullopt) << testing::PrintToString(std::string(bad));
  }
  // An embedded NUL is well-formed text and is kept.
  EXPECT_EQ(makeTitleLine("A\0B"sv), "o-VALMOR - A\0B"s + std::string(21, ' '));
}

}  // namespace
}  // namespace valmor::test
