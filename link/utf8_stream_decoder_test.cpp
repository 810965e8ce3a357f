#include "link/utf8_stream_decoder.h"

#include <gtest/gtest.h>

#include <string_view>
#include <vector>

namespace valmor::test {
namespace {

std::span<const std::uint8_t> bytes(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

TEST(Utf8StreamDecoderTest, WholeChunksPassUnchanged) {
  Utf8StreamDecoder decoder;
  EXPECT_EQ(decoder.decode(bytes("VALMOR ready\r\n")), "VALMOR ready\r\n");
  EXPECT_EQ(decoder.decode(bytes("caf\xC3\xA9 \xF0\x9F\x93\xB7")), "caf\xC3\xA9 \xF0\x9F\x93\xB7");
  EXPECT_EQ(decoder.pendingSize(), 0u);
}

// A character cut by the chunking of the port used to be dropped with the
// chunk; its first bytes must wait for the rest instead.
TEST(Utf8StreamDecoderTest, SplitCharacterIsKeptForTheNextChunk) {
  Utf8StreamDecoder decoder;
  EXPECT_EQ(decoder.decode(bytes("caf\xC3")), "caf");
  EXPECT_EQ(decoder.pendingSize(), 1u);
  EXPECT_EQ(decoder.decode(bytes("\xA9!")), "\xC3\xA9!");
  EXPECT_EQ(decoder.pendingSize(), 0u);

  // A four-byte character over three chunks; the middle one completes nothing.
  EXPECT_EQ(decoder.decode(bytes("a\xF0\x9F")), "a");
  EXPECT_EQ(decoder.decode(bytes("\x93")), "");
  EXPECT_EQ(decoder.decode(bytes("\xB7z")), "\xF0\x9F\x93\xB7z");
}

TEST(Utf8StreamDecoderTest, InvalidChunksAreDropped) {
  struct Case {
    const char* what;
    std::string_view chunk;
  };
  const std::vector<Case> cases = {
      {"byte never used in UTF-8", "ab\xFF" "cd"},
      {"stray continuation byte", "\x80" "abc"},
      {"overlong slash", "\xC0\xAF"},
      {"surrogate", "\xED\xA0\x80"},
      {"lead byte followed by ASCII", "\xC3" "A"},
      // E0 needs A0..BF next: this tail can never complete, so it is not kept.
      {"impossible tail", "ok\xE0\x80"},
  };
  for (const Case& c : cases) {
    Utf8StreamDecoder decoder;
    EXPECT_EQ(decoder.decode(bytes(c.chunk)), std::nullopt) << c.what;
    EXPECT_EQ(decoder.pendingSize(), 0u) << c.what;
    EXPECT_EQ(decoder.decode(bytes("next")), "next") << c.what;
  }
}

TEST(Utf8StreamDecoderTest, OrphanTailIsDroppedAndTheNextChunkStillDecodes) {
  Utf8StreamDecoder decoder;
  EXPECT_EQ(decoder.decode(bytes("x\xE2\x82")), "x");
  // The rest of the euro sign never comes: a new answer starts instead.
  EXPECT_EQ(decoder.decode(bytes("READY")), "READY");
  EXPECT_EQ(decoder.pendingSize(), 0u);

  // A kept tail followed by an invalid chunk loses both.
  EXPECT_EQ(decoder.decode(bytes("\xC3")), "");
  EXPECT_EQ(decoder.decode(bytes("\xFF")), std::nullopt);
  EXPECT_EQ(decoder.pendingSize(), 0u);
}

TEST(Utf8StreamDecoderTest, ResetForgetsTheTail) {
  Utf8StreamDecoder decoder;
  EXPECT_EQ(decoder.decode(bytes("\xC3")), "");
  decoder.reset();
  EXPECT_EQ(decoder.decode(bytes("\xA9")), std::nullopt);
}

}  // namespace
}  // namespace valmor::test
