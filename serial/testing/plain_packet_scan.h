// The plain packet scan, kept as the yardstick for PacketScanner: a
// SerialBuffer of maximumPacketLength bytes; after each byte, every tail of
// it, shortest first, is copied and handed to the descriptor's
// dataIsValidPacket; the first accepted tail is the packet and the buffer is
// cleared. Quadratic in the maximum length; for tests and benchmarks only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <ostream>
#include <span>
#include <string_view>
#include <vector>

#include "serial/packets/packet_scanner.h"
#include "valmor/serial/serial_buffer.h"
#include "valmor/serial/serial_packet_descriptor.h"

namespace valmor::test {

using Bytes = std::vector<std::uint8_t>;

inline Bytes bytes(std::string_view text) { return Bytes(text.begin(), text.end()); }

class PlainPacketScan {
 public:
  explicit PlainPacketScan(std::shared_ptr<SerialPacketDescriptor> descriptor)
      : descriptor_(std::move(descriptor)),
        buffer_(SerialBuffer::initWithMaximumLength(descriptor_->maximumPacketLength())) {}

  std::optional<Bytes> appendByte(std::uint8_t byte) {
    buffer_->appendData({&byte, 1});
    const auto data = buffer_->data();
    for (std::size_t k = 1; k <= data.size(); ++k) {
      Bytes tail(data.end() - static_cast<std::ptrdiff_t>(k), data.end());
      if (descriptor_->dataIsValidPacket(tail)) {
        buffer_->clearBuffer();
        return tail;
      }
    }
    return std::nullopt;
  }

 private:
  std::shared_ptr<SerialPacketDescriptor> descriptor_;
  std::shared_ptr<SerialBuffer> buffer_;
};

// A packet found in a stream: the bytes and the position just after them.
struct FoundPacket {
  std::size_t end = 0;
  Bytes bytes;
  bool operator==(const FoundPacket&) const = default;
};

inline void PrintTo(const FoundPacket& packet, std::ostream* os) {
  static constexpr char kHex[] = "0123456789abcdef";
  *os << "{end " << packet.end << ":";
  for (const auto b : packet.bytes) *os << ' ' << kHex[b >> 4] << kHex[b & 0x0F];
  *os << "}";
}

inline std::vector<FoundPacket> plainScan(const std::shared_ptr<SerialPacketDescriptor>& descriptor,
                                          std::span<const std::uint8_t> stream) {
  PlainPacketScan scan(descriptor);
  std::vector<FoundPacket> found;
  for (std::size_t i = 0; i < stream.size(); ++i)
    if (auto packet = scan.appendByte(stream[i])) found.push_back({i + 1, std::move(*packet)});
  return found;
}

inline std::vector<FoundPacket> fastScan(const std::shared_ptr<SerialPacketDescriptor>& descriptor,
                                         std::span<const std::uint8_t> stream) {
  PacketScanner scanner(descriptor);
  std::vector<FoundPacket> found;
  for (std::size_t i = 0; i < stream.size(); ++i)
    if (const auto packet = scanner.appendByte(stream[i]); !packet.empty())
      found.push_back({i + 1, Bytes(packet.begin(), packet.end())});
  return found;
}

}  // namespace valmor::test
