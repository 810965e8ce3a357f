#include "link/utf8_stream_decoder.h"

#include <unicode/utf8.h>

namespace valmor {
namespace {

// ICU's U8_NEXT is the strict decoder: it gives a negative code point for
// every ill-formed sequence, overlongs and surrogates included.
bool isWellFormed(const std::string& bytes, std::int32_t length) {
  const auto* s = reinterpret_cast<const std::uint8_t*>(bytes.data());
  std::int32_t i = 0;
  while (i < length) {
    UChar32 c;
    U8_NEXT(s, i, length, c);
    if (c < 0) return false;
  }
  return true;
}

}  // namespace

std::optional<std::string> Utf8StreamDecoder::takeComplete(std::string bytes) {
  const auto* s = reinterpret_cast<const std::uint8_t*>(bytes.data());
  auto length = static_cast<std::int32_t>(bytes.size());
  // Cuts a trailing sequence that is valid so far but lacks continuation
  // bytes; it only ever removes the last one to three bytes.
  U8_TRUNCATE_IF_INCOMPLETE(s, 0, length);
  if (!isWellFormed(bytes, length)) return std::nullopt;
  pending_.assign(bytes, static_cast<std::size_t>(length));
  bytes.resize(static_cast<std::size_t>(length));
  return bytes;
}

std::optional<std::string> Utf8StreamDecoder::decode(std::span<const std::uint8_t> chunk) {
  const std::string alone(chunk.begin(), chunk.end());
  if (!pending_.empty()) {
    if (auto text = takeComplete(pending_ + alone)) return text;
    pending_.clear();
  }
  if (auto text = takeComplete(alone)) return text;
  pending_.clear();
  return std::nullopt;
}

}  // namespace valmor
