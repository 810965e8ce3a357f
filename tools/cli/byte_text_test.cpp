#include "tools/cli/byte_text.h"

#include <gtest/gtest.h>

namespace valmor::test {
namespace {

struct Case {
  std::string input;
  ByteVector bytes;      // expected when error is empty
  std::string error;     // a piece of the expected error
};

void check(const std::vector<Case>& cases, ParsedBytes (*parse)(std::string_view)) {
  for (const Case& c : cases) {
    const ParsedBytes got = parse(c.input);
    if (c.error.empty()) {
      EXPECT_TRUE(got.ok()) << c.input << ": " << got.error;
      EXPECT_EQ(got.bytes, c.bytes) << c.input;
    } else {
      EXPECT_NE(got.error.find(c.error), std::string::npos) << c.input << " gave '" << got.error << "'";
    }
  }
}

TEST(ByteTextTest, EscapedText) {
  check({{"AT\\r\\n", {'A', 'T', 0x0D, 0x0A}, ""},
         {"\\x1b[0m\\e", {0x1B, '[', '0', 'm', 0x1B}, ""},
         {"\\x4g", {0x04, 'g'}, ""},
         {"\\0\\101\\1011", {0x00, 'A', 'A', '1'}, ""},
         {"\\\\ \\\" \\' \\? \\t", {'\\', ' ', '"', ' ', '\'', ' ', '?', ' ', 0x09}, ""},
         {"é", {0xC3, 0xA9}, ""},
         {"", {}, ""},
         {"ab\\", {}, "backslash ends"},
         {"\\q", {}, "unknown escape \\q"},
         {"\\xZZ", {}, "\\x needs"},
         {"\\400", {}, "above \\377"}},
        parseEscapedText);
}

TEST(ByteTextTest, HexBytes) {
  check({{"0a 0B ff", {0x0A, 0x0B, 0xFF}, ""},
         {"0a0bff", {0x0A, 0x0B, 0xFF}, ""},
         {"0x31,0x0A", {0x31, 0x0A}, ""},
         {"de:ad-be ef", {0xDE, 0xAD, 0xBE, 0xEF}, ""},
         {"abc", {}, "odd number of digits at position 3"},
         {"0g", {}, "'g' at position 2"},
         {"31 zz", {}, "'z' at position 4"},
         {"", {}, "no bytes"},
         {"  ", {}, "no bytes"},
         {"0x", {}, "0x without digits"}},
        parseHexBytes);
  EXPECT_EQ(hexText(ByteVector{0x00, 0x0A, 0xFF}), "00 0A FF");
}

}  // namespace
}  // namespace valmor::test
