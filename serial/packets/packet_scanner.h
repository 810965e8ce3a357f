// PacketScanner: the packets of one descriptor in a byte stream, found one
// byte at a time.
//
// The result is that of the plain scan: keep the last maximumPacketLength
// bytes, and after each byte take the shortest tail of them that the
// descriptor accepts as the packet, then start again from an empty window.
// The work is not: exact-bytes and prefix/suffix descriptors follow their
// patterns with string-matching automata and cost O(1) amortised per byte
// whatever their maximum length, and they keep only the bytes that can still
// become part of a packet; expression and evaluator descriptors test the
// tails of the window in place, without copying them.
//
//   PacketScanner scanner(descriptor);
//   for (auto byte : received)
//     if (auto packet = scanner.appendByte(byte); !packet.empty()) use(packet);
//
// Threading: one thread at a time (the port's request-handling queue).
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "serial/packets/packet_expression.h"
#include "valmor/serial/serial_packet_descriptor.h"

namespace valmor {

class PacketScanner {
 public:
  explicit PacketScanner(std::shared_ptr<SerialPacketDescriptor> descriptor);
  PacketScanner(const PacketScanner&) = delete;
  PacketScanner& operator=(const PacketScanner&) = delete;
  ~PacketScanner();

  // Adds one byte. Gives the packet that it completes, or empty bytes. The
  // packet is valid until the next call; the window is empty from then on.
  std::span<const std::uint8_t> appendByte(std::uint8_t byte);

  // Forgets the bytes seen so far.
  void clear();

  const std::shared_ptr<SerialPacketDescriptor>& descriptor() const { return descriptor_; }

 private:
  // Finds the ends of a pattern's occurrences in a stream (Knuth-Morris-Pratt).
  class Automaton {
   public:
    explicit Automaton(std::vector<std::uint8_t> pattern);
    // True when the pattern ends with this byte.
    bool step(std::uint8_t byte) {
      if (!next_.empty()) {
        state_ = next_[state_ * 256 + byte];
      } else {
        while (state_ > 0 && (state_ == pattern_.size() || pattern_[state_] != byte)) state_ = fallback_[state_];
        if (pattern_[state_] == byte) ++state_;
        if (stepsUntilTable_ > 0 && --stepsUntilTable_ == 0) buildTable();
      }
      return state_ == pattern_.size();
    }
    // The length of the pattern's longest beginning that the stream ends with.
    std::size_t state() const { return state_; }
    void reset() { state_ = 0; }

   private:
    void buildTable();

    std::vector<std::uint8_t> pattern_;
    std::vector<std::size_t> fallback_;  // longest proper border of each beginning
    // For short patterns, the next state for each state and byte: one
    // look-up per byte instead of following fallbacks. Built once the
    // automaton has taken as many bytes as the table has entries, so that
    // one that lives for a short reply (a request's) never pays for it.
    std::vector<std::uint8_t> next_;
    std::size_t stepsUntilTable_ = 0;  // 0: no table to build
    std::size_t state_ = 0;
  };

  // The kept bytes of the stream since the last packet, newest last.
  class Window {
   public:
    void push(std::uint8_t byte) { bytes_.push_back(byte); }
    std::size_t size() const { return bytes_.size() - begin_; }
    std::span<const std::uint8_t> view() const { return std::span<const std::uint8_t>(bytes_).subspan(begin_); }
    // Drops all but the newest keep bytes.
    void keepLast(std::uint64_t keep) {
      if (size() <= keep) return;
      begin_ = bytes_.size() - static_cast<std::size_t>(keep);
      // The kept bytes move to the front only once the dropped ones
      // outnumber them, so that each byte is moved O(1) times on average.
      if (begin_ >= 64 && begin_ >= size()) compact();
    }
    void clear();

   private:
    void compact();
    std::vector<std::uint8_t> bytes_;
    std::size_t begin_ = 0;
  };

  enum class Mode { Never, AnyBytes, PacketData, PrefixSuffix, Window };

  std::span<const std::uint8_t> appendPrefixSuffix(std::uint8_t byte);
  std::span<const std::uint8_t> appendToWindow(std::uint8_t byte);

  const std::shared_ptr<SerialPacketDescriptor> descriptor_;
  const std::uint64_t maximumLength_;
  Mode mode_ = Mode::Never;
  bool clearBeforeNextByte_ = false;
  std::uint8_t lastByte_ = 0;  // the packet of an AnyBytes descriptor
  Window window_;

  // Exact bytes and prefix/suffix. Stream positions count the bytes since
  // the last packet.
  std::optional<Automaton> prefix_;  // exact bytes use this one for the packet
  std::optional<Automaton> suffix_;
  std::size_t prefixLength_ = 0;
  std::size_t shortest_ = 0;        // shortest acceptable tail: max(prefix, suffix, 1)
  std::uint64_t count_ = 0;         // bytes since the last packet
  std::deque<std::uint64_t> young_;  // prefix starts too close to the end to begin a packet yet
  std::optional<std::uint64_t> nearest_;  // the latest prefix start that can begin a packet

  // Expression descriptors.
  std::optional<PacketExpression::Matcher> matcher_;
};

}  // namespace valmor
