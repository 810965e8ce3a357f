// SerialBuffer: a window over the most recent bytes of a stream, at most
// maximumLength() of them, oldest first.
//
//   auto buffer = SerialBuffer::initWithMaximumLength(4);
//   buffer->appendData(bytes("abcdef"));   // data() is now "cdef"
//   buffer->clearBuffer();                 // data() is now empty
//
// Observable properties (valmor/platform/observable.h): internalBuffer, announced
// after each append (once the excess is trimmed) and after each clear, and
// data, which follows internalBuffer.
//
// Threading: one thread at a time (the packet scan keeps each buffer on its
// port's request-handling queue); observers may register from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "valmor/platform/export.h"
#include "valmor/platform/observable.h"

namespace valmor {

class VALMOR_EXPORT SerialBuffer : public Observable {
  struct PrivateTag {};

 public:
  // An empty buffer that keeps at most maximumLength bytes. With 0 it stays
  // empty.
  static std::shared_ptr<SerialBuffer> initWithMaximumLength(std::uint64_t maximumLength);

  SerialBuffer() = delete;
  SerialBuffer(PrivateTag, std::uint64_t maximumLength);

  // Appends the bytes, then drops the oldest ones beyond maximumLength().
  void appendData(std::span<const std::uint8_t> data);
  // Empties the buffer.
  void clearBuffer();

  // The bytes kept, oldest first: a view of the buffer itself, valid until
  // the next append or clear.
  std::span<const std::uint8_t> data() const {
    return std::span<const std::uint8_t>(bytes_).subspan(begin_);
  }
  std::uint64_t maximumLength() const { return maximumLength_; }

 private:
  const std::uint64_t maximumLength_;
  // The kept bytes are bytes_[begin_...]; dropped bytes are removed from the
  // front only once they outnumber the kept ones, so that an append costs
  // O(its length) amortised whatever the maximum.
  std::vector<std::uint8_t> bytes_;
  std::size_t begin_ = 0;
};

}  // namespace valmor
