#include "link/utf8_stream_decoder.h"

#include <unicode/utf8.h>

#include "text/unicode_text.h"

namespace valmor {

std::optional<std::string> Utf8StreamDecoder::takeComplete(std::string bytes) {
  const auto* s = reinterpret_cast<const std::uint8_t*>(bytes.data());
  auto length = static_cast<std::int32_t>(bytes.size());
  // Cuts a trailing sequence that is valid so far but lacks continuation
  // bytes; it only ever removes the last one to three bytes.
  U8_TRUNCATE_IF_INCOMPLETE(s, 0, length);
  if (!isWellFormedUtf8(std::string_view(bytes.data(), static_cast<std::size_t>(length))))
    return std::nullopt;
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
