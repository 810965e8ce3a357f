#include "valmor/serial/serial_buffer.h"

#include <algorithm>

namespace valmor {

std::shared_ptr<SerialBuffer> SerialBuffer::initWithMaximumLength(std::uint64_t maximumLength) {
  return std::make_shared<SerialBuffer>(PrivateTag{}, maximumLength);
}

SerialBuffer::SerialBuffer(PrivateTag, std::uint64_t maximumLength) : maximumLength_(maximumLength) {
  declareDependency("data", "internalBuffer");
}

void SerialBuffer::appendData(std::span<const std::uint8_t> data) {
  // Only the newest maximumLength bytes of data can stay.
  if (data.size() > maximumLength_) data = data.last(static_cast<std::size_t>(maximumLength_));
  bytes_.insert(bytes_.end(), data.begin(), data.end());
  const std::size_t kept = bytes_.size() - begin_;
  if (kept > maximumLength_) begin_ += kept - static_cast<std::size_t>(maximumLength_);
  if (begin_ > 0 && begin_ >= bytes_.size() - begin_) {
    bytes_.erase(bytes_.begin(), bytes_.begin() + static_cast<std::ptrdiff_t>(begin_));
    begin_ = 0;
  }
  didChange("internalBuffer");
}

void SerialBuffer::clearBuffer() {
  bytes_ = {};
  begin_ = 0;
  didChange("internalBuffer");
}

}  // namespace valmor
