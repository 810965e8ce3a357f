// SerialPacketDescriptor: what a complete packet in a received byte stream
// looks like, and how long one can be.
//
// A descriptor tests candidate byte strings with its evaluator. Five kinds:
//   initWithMaximumPacketLength   a test of the caller's, or, without one,
//                                 any non-empty bytes;
//   initWithPacketData            exactly these bytes;
//   initWithPrefix, …PrefixString bytes that begin with the prefix and end
//                                 with the suffix (they may overlap; an empty
//                                 one matches anything; with neither given
//                                 nothing is a packet);
//   initWithRegularExpression     valid UTF-8 that the expression matches
//                                 from its first character (ICU's
//                                 regular expressions).
// In a stream, the packet is the shortest accepted tail of the last
// maximumPacketLength() bytes, so a packet longer than that is never found.
//
//   auto nmea = SerialPacketDescriptor::initWithPrefixString("$", "\r\n", 82, {});
//   port->startListeningForPacketsMatchingDescriptor(nmea);
//
// Identity: every descriptor gets a fresh random UUID; two descriptors are
// equal when their UUIDs are, so two made with the same settings differ.
// Descriptors are made by the static factories only and never change.
//
// Threading: immutable; any member may be called from any thread. A caller's
// evaluator is called on the request-handling queue of every port that uses
// the descriptor, so it must be safe to call from several threads when the
// descriptor is shared.
#pragma once

#include <any>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "valmor/platform/export.h"
#include "valmor/serial/uuid.h"

namespace valmor {

class PacketExpression;

class VALMOR_EXPORT SerialPacketDescriptor {
  struct PrivateTag {};

 public:
  using Bytes = std::vector<std::uint8_t>;
  // Decides whether the candidate bytes are a complete packet. The bytes are
  // valid for the length of the call.
  using ResponseEvaluator = std::function<bool(std::span<const std::uint8_t> candidate)>;

  // The maximum packet length of a request built from an evaluator: a buffer
  // that is never trimmed.
  static constexpr std::uint64_t kUnlimitedPacketLength =
      static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());

  // Which test the descriptor applies.
  enum class Kind { AnyBytes, Evaluator, PacketData, PrefixSuffix, RegularExpression };

  // The caller's evaluator, or, when it is empty, one that accepts any
  // non-empty bytes.
  static std::shared_ptr<SerialPacketDescriptor> initWithMaximumPacketLength(std::uint64_t maximumPacketLength,
                                                                             std::any userInfo,
                                                                             ResponseEvaluator responseEvaluator = {});

  // Exactly packetData; the maximum packet length is its length.
  static std::shared_ptr<SerialPacketDescriptor> initWithPacketData(Bytes packetData, std::any userInfo);

  // Begins with prefix and ends with suffix, each when given.
  static std::shared_ptr<SerialPacketDescriptor> initWithPrefix(std::optional<Bytes> prefix,
                                                                std::optional<Bytes> suffix,
                                                                std::uint64_t maximumPacketLength,
                                                                std::any userInfo);
  // As initWithPrefix, with the UTF-8 bytes of the texts.
  static std::shared_ptr<SerialPacketDescriptor> initWithPrefixString(std::optional<std::string_view> prefixString,
                                                                      std::optional<std::string_view> suffixString,
                                                                      std::uint64_t maximumPacketLength,
                                                                      std::any userInfo);

  // Matched by the expression (ICU syntax, URegexpFlag bits in flags).
  // Empty when the pattern does not compile.
  static std::shared_ptr<SerialPacketDescriptor> initWithRegularExpression(std::string_view pattern,
                                                                           std::uint64_t maximumPacketLength,
                                                                           std::any userInfo,
                                                                           std::uint32_t flags = 0);

  SerialPacketDescriptor() = delete;
  SerialPacketDescriptor(PrivateTag, Kind kind, std::uint64_t maximumPacketLength, std::any userInfo,
                         ResponseEvaluator evaluator);
  SerialPacketDescriptor(const SerialPacketDescriptor&) = delete;
  SerialPacketDescriptor& operator=(const SerialPacketDescriptor&) = delete;
  ~SerialPacketDescriptor();

  // The evaluator's verdict on exactly these bytes.
  bool dataIsValidPacket(std::span<const std::uint8_t> data) const;

  // The packet at the end of buffer: a copy of its shortest tail that is a
  // valid packet, or nothing. Tails are tested in place, not copied.
  std::optional<Bytes> packetMatchingAtEndOfBuffer(std::span<const std::uint8_t> buffer) const;
  // The length of that tail, 0 when there is none.
  std::size_t lengthOfPacketAtEndOfBuffer(std::span<const std::uint8_t> buffer) const;

  Kind kind() const { return kind_; }
  // Set by initWithPacketData only.
  const std::optional<Bytes>& packetData() const { return packetData_; }
  // Set by the prefix and suffix factories when given.
  const std::optional<Bytes>& prefix() const { return prefix_; }
  const std::optional<Bytes>& suffix() const { return suffix_; }
  // The pattern, set by initWithRegularExpression only.
  std::optional<std::string> regularExpression() const;
  const std::shared_ptr<const PacketExpression>& expression() const { return expression_; }
  std::uint64_t maximumPacketLength() const { return maximumPacketLength_; }
  const std::any& userInfo() const { return userInfo_; }
  const Uuid& uuid() const { return uuid_; }
  // Never empty: the built-in test of the kind, or the caller's.
  const ResponseEvaluator& responseEvaluator() const { return evaluator_; }

  bool operator==(const SerialPacketDescriptor& other) const { return uuid_ == other.uuid_; }
  std::size_t hash() const { return uuid_.hash(); }

 private:
  const Kind kind_;
  const std::uint64_t maximumPacketLength_;
  const std::any userInfo_;
  const Uuid uuid_;
  ResponseEvaluator evaluator_;
  std::optional<Bytes> packetData_;
  std::optional<Bytes> prefix_;
  std::optional<Bytes> suffix_;
  std::shared_ptr<const PacketExpression> expression_;
};

}  // namespace valmor

template <>
struct std::hash<valmor::SerialPacketDescriptor> {
  std::size_t operator()(const valmor::SerialPacketDescriptor& d) const { return d.hash(); }
};
