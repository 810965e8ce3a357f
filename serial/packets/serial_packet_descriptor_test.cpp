#include "valmor/serial/serial_packet_descriptor.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <string_view>
#include <vector>


namespace valmor::test {
namespace {

using Bytes = std::vector<std::uint8_t>;
Bytes bytes(std::string_view t) { return {t.begin(), t.end()}; }
using Descriptor = std::shared_ptr<SerialPacketDescriptor>;

Descriptor prefixSuffix(std::optional<std::string> prefix, std::optional<std::string> suffix, std::uint64_t max) {
  return SerialPacketDescriptor::initWithPrefixString(prefix, suffix, max, {});
}

Descriptor expression(std::string_view pattern, std::uint64_t max = 16) {
  return SerialPacketDescriptor::initWithRegularExpression(pattern, max, {});
}

TEST(SerialPacketDescriptorTest, FactoriesSetTheirOwnFieldsOnly) {
  auto exact = SerialPacketDescriptor::initWithPacketData(bytes("OK\r\n"), std::string("ok"));
  EXPECT_EQ(exact->maximumPacketLength(), 4u);
  EXPECT_EQ(exact->packetData(), bytes("OK\r\n"));
  EXPECT_FALSE(exact->prefix() || exact->suffix() || exact->regularExpression());
  EXPECT_EQ(std::any_cast<std::string>(exact->userInfo()), "ok");

  auto framed = SerialPacketDescriptor::initWithPrefixString("é", std::nullopt, 9, {});
  EXPECT_EQ(framed->prefix(), bytes("\xC3\xA9"));
  EXPECT_FALSE(framed->suffix() || framed->packetData());
  EXPECT_EQ(framed->maximumPacketLength(), 9u);
  EXPECT_FALSE(framed->userInfo().has_value());

  auto matched = expression("\\$GP[A-Z]+", 82);
  ASSERT_TRUE(matched);
  EXPECT_EQ(matched->regularExpression(), "\\$GP[A-Z]+");
  EXPECT_FALSE(SerialPacketDescriptor::initWithRegularExpression("(unclosed", 8, {}));
  EXPECT_FALSE(SerialPacketDescriptor::initWithRegularExpression("\xFF", 8, {}));

  auto any = SerialPacketDescriptor::initWithMaximumPacketLength(3, {});
  EXPECT_TRUE(any->responseEvaluator());
  EXPECT_EQ(any->kind(), SerialPacketDescriptor::Kind::AnyBytes);
}

TEST(SerialPacketDescriptorTest, DescriptorsWithEqualSettingsAreDistinct) {
  auto a = SerialPacketDescriptor::initWithPacketData(bytes("x"), {});
  auto b = SerialPacketDescriptor::initWithPacketData(bytes("x"), {});
  EXPECT_TRUE(*a == *a);
  EXPECT_FALSE(*a == *b);
  EXPECT_NE(a->uuid(), b->uuid());
  EXPECT_NE(std::hash<SerialPacketDescriptor>{}(*a), std::hash<SerialPacketDescriptor>{}(*b));
  EXPECT_EQ(a->uuid().string().size(), 36u);
}

TEST(SerialPacketDescriptorTest, EachKindJudgesCandidates) {
  struct Case {
    const char* what;
    Descriptor descriptor;
    std::string candidate;
    bool valid;
  };
  const Case cases[] = {
      {"default: any bytes", SerialPacketDescriptor::initWithMaximumPacketLength(4, {}), "z", true},
      {"default: not nothing", SerialPacketDescriptor::initWithMaximumPacketLength(4, {}), "", false},
      {"exact", SerialPacketDescriptor::initWithPacketData(bytes("abc"), {}), "abc", true},
      {"exact, longer", SerialPacketDescriptor::initWithPacketData(bytes("abc"), {}), "abcd", false},
      {"prefix and suffix", prefixSuffix("<", ">", 8), "<x>", true},
      {"prefix and suffix share bytes", prefixSuffix("ab", "bc", 8), "abc", true},
      {"too short for the prefix", prefixSuffix("abc", "c", 8), "bc", false},
      {"suffix missing", prefixSuffix("<", ">", 8), "<x", false},
      {"empty prefix and suffix", prefixSuffix("", "", 8), "q", true},
      {"neither prefix nor suffix", prefixSuffix(std::nullopt, std::nullopt, 8), "q", false},
      {"caller's evaluator", SerialPacketDescriptor::initWithMaximumPacketLength(
                                 8, {}, [](auto c) { return c.size() == 2; }), "ab", true},
      {"expression from the first character", expression("ab"), "abzz", true},
      {"expression not at the first character", expression("ab"), "zab", false},
      {"$ is the candidate's end", expression("a$"), "ab", false},
      {"look-behind sees nothing before the candidate", expression("(?<=x)a"), "a", false},
      {"invalid UTF-8", expression(".*"), "a\xA9", false},
      {"overlong encoding", expression(".*"), "\xC0\xAF", false},
      {"surrogate", expression(".*"), "\xED\xA0\x80", false},
      {"multi-byte character", expression("é$"), "é", true},
  };
  for (const auto& c : cases)
    EXPECT_EQ(c.descriptor->dataIsValidPacket(bytes(c.candidate)), c.valid) << c.what;
}

TEST(SerialPacketDescriptorTest, PacketAtTheEndOfABufferIsItsShortestAcceptedTail) {
  struct Case {
    const char* what;
    Descriptor descriptor;
    std::string buffer;
    std::optional<std::string> packet;
  };
  const Case cases[] = {
      {"nearest prefix wins", prefixSuffix("P", "S", 10), "PxPyS", "PyS"},
      {"empty buffer", SerialPacketDescriptor::initWithMaximumPacketLength(4, {}), "", std::nullopt},
      {"default takes the last byte", SerialPacketDescriptor::initWithMaximumPacketLength(4, {}), "abc", "c"},
      {"exact at the end only", SerialPacketDescriptor::initWithPacketData(bytes("ab"), {}), "abx", std::nullopt},
      {"prefix only", prefixSuffix("ab", std::nullopt, 10), "xxab", "ab"},
      {"suffix only", prefixSuffix(std::nullopt, "S", 10), "xxS", "S"},
      {"evaluator", SerialPacketDescriptor::initWithMaximumPacketLength(
                        9, {}, [](auto c) { return c.size() >= 2 && c.front() == c.back(); }), "abcb", "bcb"},
      // A tail that starts inside "é" (its second byte alone) is not tried.
      {"expression skips a partial character", expression("."), "xé", "é"},
      {"expression match may end early", expression("ab(?=c)"), "zabc", "abc"},
      {"expression with a truncated character at the end", expression("."), "a\xC3", std::nullopt},
  };
  for (const auto& c : cases) {
    const auto packet = c.descriptor->packetMatchingAtEndOfBuffer(bytes(c.buffer));
    if (c.packet)
      EXPECT_EQ(packet, bytes(*c.packet)) << c.what;
    else
      EXPECT_FALSE(packet) << c.what;
  }
}

}  // namespace
}  // namespace valmor::test
