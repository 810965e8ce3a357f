// The profile image: the 320-byte block that configures a VALMOR unit for one
// strobe model. It is 160 unsigned 16-bit words, high byte first, with no
// magic number, length field, checksum or padding:
//
//   words 0-9     header words 1 to 10 of the model
//   words 10-159  table entries 0 to 149 (entry i at bytes 20+2i, 21+2i)
//
// Entries that the model does not set, entry 0 among them, are 0. Building is
// a pure computation: no state, safe on any thread, same input, same bytes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "profile/strobe_models.h"

namespace valmor {

inline constexpr std::size_t kProfileImageSize = 320;

// An image is a plain value; the caller writes all of its bytes raw.
using ProfileImage = std::array<std::uint8_t, kProfileImageSize>;

// Lays out one model row. Returns no image, never a wrapped or partial one,
// when a header word or table value lies outside 0..65535, or when the row's
// run of entries does not fit in entries 1 to 149 (it starts at entry 0, or
// ends past entry 149).
std::optional<ProfileImage> buildProfileImage(const StrobeModel& model);

// The image for a model name, looked up exactly as findStrobeModel() does. A
// name that matches no model (empty, other case, extra spaces) is not an
// error: it gives 320 zero bytes. No image only when the matching row itself
// is faulty, which the built-in table never is.
std::optional<ProfileImage> profileImageForName(std::string_view name);

}  // namespace valmor
