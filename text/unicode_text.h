// Text utilities shared by the title line and the decoding of what the unit
// sends back: a strict UTF-8 check and the count of user-perceived characters
// (extended grapheme clusters, with ICU's character break iterator; a
// carriage return followed by a line feed counts as one).
//
// Pure computation: no state, safe on any thread.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

namespace valmor {

// True when `text` is well-formed UTF-8 (checked strictly: no overlong forms,
// surrogates, stray continuation bytes or truncated sequences).
bool isWellFormedUtf8(std::string_view text);

// Number of extended grapheme clusters in well-formed UTF-8 `text`; nullopt
// when `text` is ill-formed or ICU fails.
std::optional<std::size_t> countUserCharacters(std::string_view text);

}  // namespace valmor
