// Utf8StreamDecoder: turns the chunks of bytes a serial port delivers into
// text, strictly as UTF-8, without losing a character that the port happened
// to split between two chunks.
//
// Each chunk is decoded together with the incomplete tail (at most three
// bytes) kept back from the chunk before it. The longest part that ends on a
// character boundary is returned; a trailing incomplete but so far valid
// sequence is kept back for the next chunk. Ill-formed input (stray
// continuation bytes, overlong forms, surrogates, bytes 0xF5..0xFF, a lead
// byte followed by something other than its continuation bytes) makes the
// whole chunk invalid: it is dropped. A kept-back tail that the next chunk
// does not continue was an orphan fragment: it is dropped and the chunk is
// decoded on its own.
//
// Threading: one decoder belongs to one thread (the main thread for the
// handler).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace valmor {

class Utf8StreamDecoder {
 public:
  // The text that this chunk completes (possibly empty, when every byte is
  // kept back), or none when the chunk is not valid UTF-8 and was dropped.
  std::optional<std::string> decode(std::span<const std::uint8_t> chunk);

  // Forgets a kept-back tail.
  void reset() { pending_.clear(); }

  // Bytes kept back, waiting for the rest of their character.
  std::size_t pendingSize() const { return pending_.size(); }

 private:
  std::optional<std::string> takeComplete(std::string bytes);

  std::string pending_;
};

}  // namespace valmor
