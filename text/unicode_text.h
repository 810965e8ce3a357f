// Text utilities shared by the profile, the serial library and the link: a
// strict UTF-8 check and the count of user-perceived characters (extended
// grapheme clusters, with ICU's character break iterator; a carriage return
// followed by a line feed counts as one). This folder includes nothing else
// of ours, so that the profile, which holds pure data, may use it.
//
// Pure computation: no state, safe on any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace valmor {

// True when `text` is well-formed UTF-8 (checked strictly: no overlong forms,
// surrogates, stray continuation bytes, truncated sequences or code points
// above U+10FFFF).
bool isWellFormedUtf8(std::string_view text);
inline bool isWellFormedUtf8(std::span<const std::uint8_t> bytes) {
  return isWellFormedUtf8(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

// Number of extended grapheme clusters in well-formed UTF-8 `text`; nullopt
// when `text` is ill-formed or ICU fails.
std::optional<std::size_t> countUserCharacters(std::string_view text);

}  // namespace valmor
