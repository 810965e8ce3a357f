#include "valmor/serial/serial_packet_descriptor.h"

#include <algorithm>
#include <cstring>

#include "serial/packets/packet_expression.h"

namespace valmor {

namespace {

using Bytes = SerialPacketDescriptor::Bytes;

bool startsWith(std::span<const std::uint8_t> bytes, const Bytes& head) {
  return head.size() <= bytes.size() && std::equal(head.begin(), head.end(), bytes.begin());
}

bool endsWith(std::span<const std::uint8_t> bytes, const Bytes& tail) {
  return tail.size() <= bytes.size() && std::equal(tail.rbegin(), tail.rend(), bytes.rbegin());
}

// Each of prefix and suffix is compared with the candidate on its own, so
// they may share bytes of it.
bool prefixSuffixTest(const std::optional<Bytes>& prefix, const std::optional<Bytes>& suffix,
                      std::span<const std::uint8_t> candidate) {
  if (!prefix && !suffix) return false;
  if (prefix && !startsWith(candidate, *prefix)) return false;
  if (suffix && !endsWith(candidate, *suffix)) return false;
  return true;
}

}  // namespace

SerialPacketDescriptor::SerialPacketDescriptor(PrivateTag, Kind kind, std::uint64_t maximumPacketLength,
                                               std::any userInfo, ResponseEvaluator evaluator)
    : kind_(kind),
      maximumPacketLength_(maximumPacketLength),
      userInfo_(std::move(userInfo)),
      uuid_(Uuid::random()),
      evaluator_(std::move(evaluator)) {}

SerialPacketDescriptor::~SerialPacketDescriptor() = default;

std::shared_ptr<SerialPacketDescriptor> SerialPacketDescriptor::initWithMaximumPacketLength(
    std::uint64_t maximumPacketLength, std::any userInfo, ResponseEvaluator responseEvaluator) {
  if (responseEvaluator)
    return std::make_shared<SerialPacketDescriptor>(PrivateTag{}, Kind::Evaluator, maximumPacketLength,
                                                    std::move(userInfo), std::move(responseEvaluator));
  return std::make_shared<SerialPacketDescriptor>(
      PrivateTag{}, Kind::AnyBytes, maximumPacketLength, std::move(userInfo),
      [](std::span<const std::uint8_t> candidate) { return !candidate.empty(); });
}

std::shared_ptr<SerialPacketDescriptor> SerialPacketDescriptor::initWithPacketData(Bytes packetData,
                                                                                   std::any userInfo) {
  auto d = std::make_shared<SerialPacketDescriptor>(
      PrivateTag{}, Kind::PacketData, packetData.size(), std::move(userInfo),
      [packet = packetData](std::span<const std::uint8_t> candidate) {
        return std::equal(candidate.begin(), candidate.end(), packet.begin(), packet.end());
      });
  d->packetData_ = std::move(packetData);
  return d;
}

std::shared_ptr<SerialPacketDescriptor> SerialPacketDescriptor::initWithPrefix(std::optional<Bytes> prefix,
                                                                               std::optional<Bytes> suffix,
                                                                               std::uint64_t maximumPacketLength,
                                                                               std::any userInfo) {
  auto d = std::make_shared<SerialPacketDescriptor>(
      PrivateTag{}, Kind::PrefixSuffix, maximumPacketLength, std::move(userInfo),
      [prefix, suffix](std::span<const std::uint8_t> candidate) {
        return prefixSuffixTest(prefix, suffix, candidate);
      });
  d->prefix_ = std::move(prefix);
  d->suffix_ = std::move(suffix);
  return d;
}

std::shared_ptr<SerialPacketDescriptor> SerialPacketDescriptor::initWithPrefixString(
    std::optional<std::string_view> prefixString, std::optional<std::string_view> suffixString,
    std::uint64_t maximumPacketLength, std::any userInfo) {
  auto utf8 = [](std::optional<std::string_view> text) -> std::optional<Bytes> {
    if (!text) return std::nullopt;
    return Bytes(text->begin(), text->end());
  };
  return initWithPrefix(utf8(prefixString), utf8(suffixString), maximumPacketLength, std::move(userInfo));
}

std::shared_ptr<SerialPacketDescriptor> SerialPacketDescriptor::initWithRegularExpression(
    std::string_view pattern, std::uint64_t maximumPacketLength, std::any userInfo, std::uint32_t flags) {
  auto expression = PacketExpression::compile(pattern, flags);
  if (!expression) return nullptr;
  auto d = std::make_shared<SerialPacketDescriptor>(
      PrivateTag{}, Kind::RegularExpression, maximumPacketLength, std::move(userInfo),
      [expression](std::span<const std::uint8_t> candidate) { return expression->matcher().test(candidate); });
  d->expression_ = std::move(expression);
  return d;
}

std::optional<std::string> SerialPacketDescriptor::regularExpression() const {
  if (!expression_) return std::nullopt;
  return expression_->pattern();
}

bool SerialPacketDescriptor::dataIsValidPacket(std::span<const std::uint8_t> data) const { return evaluator_(data); }

std::optional<Bytes> SerialPacketDescriptor::packetMatchingAtEndOfBuffer(std::span<const std::uint8_t> buffer) const {
  const std::size_t length = lengthOfPacketAtEndOfBuffer(buffer);
  if (length == 0) return std::nullopt;
  const auto packet = buffer.last(length);
  return Bytes(packet.begin(), packet.end());
}

std::size_t SerialPacketDescriptor::lengthOfPacketAtEndOfBuffer(std::span<const std::uint8_t> buffer) const {
  const std::size_t n = buffer.size();
  if (n == 0) return 0;
  switch (kind_) {
    case Kind::AnyBytes:
      return 1;
    case Kind::PacketData:
      return !packetData_->empty() && endsWith(buffer, *packetData_) ? packetData_->size() : 0;
    case Kind::PrefixSuffix: {
      // Only tails at least as long as prefix and suffix can pass, and all
      // of them end with the same bytes: check the suffix once, then look for
      // the nearest prefix.
      if (!prefix_ && !suffix_) return 0;
      const std::size_t p = prefix_ ? prefix_->size() : 0;
      const std::size_t s = suffix_ ? suffix_->size() : 0;
      if (suffix_ && !endsWith(buffer, *suffix_)) return 0;
      const std::size_t shortest = std::max({p, s, std::size_t{1}});
      for (std::size_t k = shortest; k <= n; ++k)
        if (p == 0 || std::memcmp(buffer.data() + (n - k), prefix_->data(), p) == 0) return k;
      return 0;
    }
    case Kind::RegularExpression:
      return expression_->matcher().shortestMatchingTail(buffer);
    case Kind::Evaluator:
      for (std::size_t k = 1; k <= n; ++k)
        if (evaluator_(buffer.last(k))) return k;
      return 0;
  }
  return 0;
}

}  // namespace valmor
