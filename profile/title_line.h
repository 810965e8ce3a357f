// The unit title line: the text sent to a VALMOR unit before the profile image
// to name the chosen strobe model. It is "o-VALMOR - ", the model name as
// given (no trimming, no change of case) and spaces up to 35 user-perceived
// characters (extended grapheme clusters, counted with ICU's character break
// iterator over the joined text; for ASCII one character is one byte).
//
// Pure computation: no state, safe on any thread.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace valmor {

inline constexpr std::string_view kTitlePrefix = "o-VALMOR - ";

// Length of a padded title line, in user-perceived characters.
inline constexpr std::size_t kTitleLineLength = 35;

// Returns the title line for `name`, UTF-8 in and out. Any name is accepted,
// including one that matches no model; the empty name gives the prefix and 24
// spaces.
//
// A name that makes the joined text longer than 35 characters (more than 24
// characters of name) is returned unpadded and unchanged: prefix plus the
// whole name. Cutting it would send the unit a different model name, possibly
// split inside a character; refusing would fail a Download over a cosmetic
// line while the image, which is what configures the strobe, is sound. No name
// in the model table comes near the limit.
//
// Returns nullopt only when `name` is not well-formed UTF-8 (it is then no
// text at all, and padding it by a guessed count would be wrong), or when ICU
// cannot provide a break iterator.
std::optional<std::string> makeTitleLine(std::string_view name);

}  // namespace valmor
