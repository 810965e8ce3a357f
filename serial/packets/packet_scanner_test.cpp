#include "serial/packets/packet_scanner.h"

#include <gtest/gtest.h>

#include <numeric>
#include <random>
#include <string>

#include "serial/testing/plain_packet_scan.h"

namespace valmor::test {
namespace {

using Descriptor = std::shared_ptr<SerialPacketDescriptor>;

Descriptor prefixSuffix(std::optional<std::string> prefix, std::optional<std::string> suffix, std::uint64_t max) {
  return SerialPacketDescriptor::initWithPrefixString(prefix, suffix, max, {});
}

std::vector<Bytes> packetsOf(const std::vector<FoundPacket>& found) {
  std::vector<Bytes> packets;
  for (const auto& f : found) packets.push_back(f.bytes);
  return packets;
}

// Stream edge cases, through the fast scan and the plain one alike.
TEST(PacketScannerTest, FindsTheSamePacketsAsThePlainScanInEdgeCases) {
  struct Case {
    const char* what;
    Descriptor descriptor;
    std::string stream;
    std::vector<std::string> packets;
  };
  const Case cases[] = {
      {"P x P y S: the nearest prefix", prefixSuffix("P", "S", 10), "PxPyS", {"PyS"}},
      {"overlapping prefix and suffix", prefixSuffix("ab", "bc", 10), "abc", {"abc"}},
      {"prefix only: the prefix alone", prefixSuffix("PQ", std::nullopt, 5), "xPQyPQ", {"PQ", "PQ"}},
      {"suffix only: the suffix alone", prefixSuffix(std::nullopt, "S", 5), "xySzS", {"S", "S"}},
      {"longer than the maximum: never", prefixSuffix("P", "S", 4), "PxxxS", {}},
      {"bytes of a too-long packet are gone", prefixSuffix("P", "S", 4), "PxxxSPxxS", {"PxxS"}},
      {"the buffer is cleared after a packet", prefixSuffix("P", "S", 9), "PaSbS", {"PaS"}},
      {"maximum 0, prefix and suffix", prefixSuffix("P", "S", 0), "PSPS", {}},
      {"maximum 0, empty packet bytes", SerialPacketDescriptor::initWithPacketData({}, {}), "abc", {}},
      {"maximum 0, default", SerialPacketDescriptor::initWithMaximumPacketLength(0, {}), "abc", {}},
      {"default: every byte", SerialPacketDescriptor::initWithMaximumPacketLength(5, {}), "abc", {"a", "b", "c"}},
      {"exact bytes", SerialPacketDescriptor::initWithPacketData(bytes("aa"), {}), "aaaaa", {"aa", "aa"}},
      {"neither prefix nor suffix", prefixSuffix(std::nullopt, std::nullopt, 5), "abc", {}},
      {"empty prefix and suffix", prefixSuffix("", "", 3), "ab", {"a", "b"}},
      {"suffix longer than the maximum", prefixSuffix("P", "SSSS", 3), "PSSSS", {}},
      {"expression: not from inside a character", SerialPacketDescriptor::initWithRegularExpression(".", 8, {}),
       "é", {"é"}},
      {"expression: match ends before the last byte",
       SerialPacketDescriptor::initWithRegularExpression("ab(?=c)", 8, {}), "abc", {"abc"}},
  };
  for (const auto& c : cases) {
    std::vector<Bytes> expected;
    for (const auto& p : c.packets) expected.push_back(bytes(p));
    EXPECT_EQ(packetsOf(fastScan(c.descriptor, bytes(c.stream))), expected) << c.what;
    EXPECT_EQ(packetsOf(plainScan(c.descriptor, bytes(c.stream))), expected) << c.what << " (plain)";
  }
}

// Random descriptors of every kind over random streams drawn from small
// alphabets, so that prefixes, suffixes and packets overlap often.
class RandomCases {
 public:
  explicit RandomCases(std::uint32_t seed) : rng_(seed) {}

  std::size_t below(std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng_); }

  Bytes draw(const Bytes& alphabet, std::size_t length) {
    Bytes out(length);
    for (auto& b : out) b = alphabet[below(alphabet.size())];
    return out;
  }

  std::uint64_t maximum() {
    static constexpr std::uint64_t kMaxima[] = {0, 1, 2, 3, 4, 5, 7, 9, 13, 20, 100000,
                                                SerialPacketDescriptor::kUnlimitedPacketLength};
    return kMaxima[below(std::size(kMaxima))];
  }

  std::optional<Bytes> affix(const Bytes& alphabet) {
    if (below(4) == 0) return std::nullopt;
    return draw(alphabet, below(4));
  }

  // A descriptor, the alphabet its stream is drawn from and a label.
  struct Drawn {
    Descriptor descriptor;
    Bytes alphabet;
    std::string label;
  };

  Drawn descriptor() {
    const Bytes plain = bytes("abc");
    const Bytes text = bytes("ab\xC3\xA9\xE2\x82\xAC\x80");  // a, b, é, € and a stray byte
    static const char* const kPatterns[] = {"a", "ab", "a+b", "(é|€)", "é.a", "b$", "[^a]{2}", "(?<=a)b",
                                            ".{3}", "€+b?", "a|é|€", "(?:ab)*c?"};
    static const std::function<bool(std::span<const std::uint8_t>)> kEvaluators[] = {
        [](auto c) { return c.size() >= 3 && std::accumulate(c.begin(), c.end(), 0u) % 5 == 0; },
        [](auto c) { return c.size() >= 2 && c.front() == c.back(); },
        [](auto c) { return std::count(c.begin(), c.end(), 'b') == 2; },
    };
    switch (below(5)) {
      case 0:
        return {SerialPacketDescriptor::initWithMaximumPacketLength(maximum(), {}), plain, "any bytes"};
      case 1:
        return {SerialPacketDescriptor::initWithPacketData(draw(plain, below(5)), {}), plain, "packet bytes"};
      case 2: {
        auto prefix = affix(plain), suffix = affix(plain);
        std::string label = "prefix " + (prefix ? std::string(prefix->begin(), prefix->end()) : "(none)") +
                            " suffix " + (suffix ? std::string(suffix->begin(), suffix->end()) : "(none)");
        return {SerialPacketDescriptor::initWithPrefix(std::move(prefix), std::move(suffix), maximum(), {}), plain,
                label};
      }
      case 3: {
        const char* pattern = kPatterns[below(std::size(kPatterns))];
        return {SerialPacketDescriptor::initWithRegularExpression(pattern, maximum(), {}), text,
                std::string("expression ") + pattern};
      }
      default: {
        const std::size_t which = below(std::size(kEvaluators));
        return {SerialPacketDescriptor::initWithMaximumPacketLength(maximum(), {}, kEvaluators[which]), plain,
                "evaluator " + std::to_string(which)};
      }
    }
  }

 private:
  std::mt19937 rng_;
};

TEST(PacketScannerTest, MatchesThePlainScanOnRandomStreams) {
  RandomCases random(20240611);
  for (int i = 0; i < 2000; ++i) {
    const auto drawn = random.descriptor();
    // The plain scan is quadratic in the window: long windows get short streams.
    const bool longWindow = drawn.descriptor->maximumPacketLength() > 20;
    const Bytes stream = random.draw(drawn.alphabet, longWindow ? 60 + random.below(100) : 100 + random.below(400));
    const auto expected = plainScan(drawn.descriptor, stream);
    ASSERT_EQ(fastScan(drawn.descriptor, stream), expected)
        << "case " << i << ": " << drawn.label << ", maximum " << drawn.descriptor->maximumPacketLength();
  }
}

// Prefix/suffix descriptors whose packets are much longer than the window
// tests above: a long maximum, packets of hundreds of bytes; and a prefix and
// suffix too long for the scanner's transition tables.
TEST(PacketScannerTest, MatchesThePlainScanWithLongPacketsAndWindows) {
  RandomCases random(7);
  const Bytes alphabet = bytes("abcd");
  for (int i = 0; i < 12; ++i) {
    const std::uint64_t maximum = 40 + random.below(260);
    auto descriptor = SerialPacketDescriptor::initWithPrefix(random.draw(alphabet, 2 + random.below(2)),
                                                             random.draw(alphabet, 2 + random.below(2)), maximum, {});
    const Bytes stream = random.draw(alphabet, 1500);
    ASSERT_EQ(fastScan(descriptor, stream), plainScan(descriptor, stream)) << "case " << i;
  }
  // Runs of "a" make long partial matches of both that fall back part way.
  const std::string prefix = std::string(70, 'a') + "b", suffix = "c" + std::string(65, 'a');
  std::size_t packets = 0;
  for (int i = 0; i < 8; ++i) {
    auto descriptor = prefixSuffix(prefix, suffix, 150 + random.below(150));
    std::string stream;
    while (stream.size() < 3000) stream += std::string(1 + random.below(120), 'a') + "bc"[random.below(2)];
    const auto expected = plainScan(descriptor, bytes(stream));
    ASSERT_EQ(fastScan(descriptor, bytes(stream)), expected) << "long " << i;
    packets += expected.size();
  }
  EXPECT_GT(packets, 8u);  // the streams do hold packets
}

}  // namespace
}  // namespace valmor::test
