#include "serial/packets/packet_scanner.h"

#include <algorithm>

namespace valmor {

PacketScanner::Automaton::Automaton(std::vector<std::uint8_t> pattern)
    : pattern_(std::move(pattern)), fallback_(pattern_.size() + 1, 0) {
  for (std::size_t i = 1, k = 0; i < pattern_.size(); ++i) {
    while (k > 0 && pattern_[i] != pattern_[k]) k = fallback_[k];
    if (pattern_[i] == pattern_[k]) ++k;
    fallback_[i + 1] = k;
  }
  constexpr std::size_t kLongestTabled = 63;  // a table of at most 16 KiB
  if (pattern_.size() <= kLongestTabled) stepsUntilTable_ = (pattern_.size() + 1) * 256;
}

void PacketScanner::Automaton::buildTable() {
  next_.resize((pattern_.size() + 1) * 256);
  for (std::size_t state = 0; state <= pattern_.size(); ++state)
    for (std::size_t byte = 0; byte < 256; ++byte)
      next_[state * 256 + byte] = static_cast<std::uint8_t>(
          state < pattern_.size() && pattern_[state] == byte ? state + 1
          : state == 0                                       ? 0
                                                             : next_[fallback_[state] * 256 + byte]);
}

void PacketScanner::Window::compact() {
  bytes_.erase(bytes_.begin(), bytes_.begin() + static_cast<std::ptrdiff_t>(begin_));
  begin_ = 0;
}

void PacketScanner::Window::clear() {
  bytes_.clear();
  begin_ = 0;
}

PacketScanner::PacketScanner(std::shared_ptr<SerialPacketDescriptor> descriptor)
    : descriptor_(std::move(descriptor)), maximumLength_(descriptor_->maximumPacketLength()) {
  using Kind = SerialPacketDescriptor::Kind;
  if (maximumLength_ == 0) return;  // no packet fits
  switch (descriptor_->kind()) {
    case Kind::AnyBytes:
      mode_ = Mode::AnyBytes;
      break;
    case Kind::PacketData:
      if (descriptor_->packetData()->empty()) return;
      prefix_.emplace(*descriptor_->packetData());
      mode_ = Mode::PacketData;
      break;
    case Kind::PrefixSuffix: {
      const auto& prefix = descriptor_->prefix();
      const auto& suffix = descriptor_->suffix();
      if (!prefix && !suffix) return;
      prefixLength_ = prefix ? prefix->size() : 0;
      const std::size_t suffixLength = suffix ? suffix->size() : 0;
      shortest_ = std::max({prefixLength_, suffixLength, std::size_t{1}});
      if (shortest_ > maximumLength_) return;
      if (prefixLength_ > 0) prefix_.emplace(*prefix);
      if (suffixLength > 0) suffix_.emplace(*suffix);
      mode_ = Mode::PrefixSuffix;
      break;
    }
    case Kind::RegularExpression:
      matcher_.emplace(descriptor_->expression()->matcher());
      mode_ = Mode::Window;
      break;
    case Kind::Evaluator:
      mode_ = Mode::Window;
      break;
  }
}

PacketScanner::~PacketScanner() = default;

void PacketScanner::clear() {
  clearBeforeNextByte_ = false;
  window_.clear();
  if (prefix_) prefix_->reset();
  if (suffix_) suffix_->reset();
  count_ = 0;
  young_.clear();
  nearest_.reset();
}

std::span<const std::uint8_t> PacketScanner::appendByte(std::uint8_t byte) {
  // The previous call's packet stayed readable until now.
  if (clearBeforeNextByte_) clear();
  switch (mode_) {
    case Mode::Never:
      return {};
    case Mode::AnyBytes:
      lastByte_ = byte;
      return {&lastByte_, 1};
    case Mode::PacketData:
      if (!prefix_->step(byte)) return {};
      prefix_->reset();
      return *descriptor_->packetData();
    case Mode::PrefixSuffix:
      return appendPrefixSuffix(byte);
    case Mode::Window:
      return appendToWindow(byte);
  }
  return {};
}

std::span<const std::uint8_t> PacketScanner::appendPrefixSuffix(std::uint8_t byte) {
  // A tail of length k is a packet when shortest_ <= k <= the window, the
  // stream ends with the suffix and the prefix starts k bytes from the end.
  // All tails share the suffix test; the shortest one that passes begins at
  // the latest prefix start at least shortest_ bytes back.
  ++count_;
  const bool suffixHere = suffix_ ? suffix_->step(byte) : true;
  std::uint64_t length = 0;
  if (prefix_) {
    if (prefix_->step(byte)) young_.push_back(count_ - prefixLength_);
    while (!young_.empty() && count_ - young_.front() >= shortest_) {
      nearest_ = young_.front();
      young_.pop_front();
    }
    // Once the nearest start has left the window, every older one has too.
    if (nearest_ && count_ - *nearest_ > maximumLength_) nearest_.reset();
    if (suffixHere && nearest_) length = count_ - *nearest_;
  } else if (suffixHere && count_ >= shortest_) {
    length = shortest_;
  }
  if (length == 0 && prefix_ && !nearest_ && young_.empty() && prefix_->state() == 0) {
    // Nothing can begin a packet yet: keep no bytes (the common case).
    if (window_.size() > 0) window_.clear();
    return {};
  }
  window_.push(byte);
  if (length > 0) {
    clearBeforeNextByte_ = true;
    return window_.view().last(static_cast<std::size_t>(length));
  }
  // Keep only what a later packet can begin with: from the nearest usable
  // prefix start, else from the oldest young one, else from the beginning
  // of a prefix that is still arriving.
  std::uint64_t keepFrom;
  if (!prefix_)
    keepFrom = count_ + 1 >= shortest_ ? count_ + 1 - shortest_ : 0;
  else if (nearest_)
    keepFrom = *nearest_;
  else if (!young_.empty())
    keepFrom = young_.front();
  else
    keepFrom = count_ - prefix_->state();
  window_.keepLast(count_ - keepFrom);
  return {};
}

std::span<const std::uint8_t> PacketScanner::appendToWindow(std::uint8_t byte) {
  window_.push(byte);
  window_.keepLast(maximumLength_);
  const auto bytes = window_.view();
  const std::size_t length =
      matcher_ ? matcher_->shortestMatchingTail(bytes) : descriptor_->lengthOfPacketAtEndOfBuffer(bytes);
  if (length == 0) return {};
  clearBeforeNextByte_ = true;
  return bytes.last(length);
}

}  // namespace valmor
