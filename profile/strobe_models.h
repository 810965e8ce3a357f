// The twelve strobe models a VALMOR unit can be set up for. Each row holds the
// ten header words and the run of table values that the profile image builder
// (profile_image.h) lays out. The data are the unit's settings for that strobe:
// they are stored and sent, never computed, scaled or checked beyond the
// 16-bit range check at build time.
//
// The table is constant, lives for the whole process and may be read from any
// thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace valmor {

inline constexpr std::size_t kStrobeModelCount = 12;

// Header words per model; they fill image words 0 to 9.
inline constexpr std::size_t kHeaderWordCount = 10;

// Table entries 0 to 149; entry 0 is never set by a model.
inline constexpr std::size_t kTableEntryCount = 150;

// One row of the model table. Values are signed 64-bit on purpose: a faulty row
// (a negative value, or one of 65536 and above) is then representable, and the
// image builder refuses it instead of wrapping it into 16 bits.
//
// The row does not own its table values: `tableValues` views storage that the
// creator keeps alive for as long as the row is used (static storage for the
// built-in table).
struct StrobeModel {
  // Exact, case-sensitive name; the key of the lookup and the popup's text.
  std::string_view name;
  // Header words 1 to 10, in order.
  std::array<std::int64_t, kHeaderWordCount> headerWords;
  // Table entry that receives tableValues[0]; the following values fill the
  // following entries, one each, with no gap.
  std::size_t firstEntry;
  std::span<const std::int64_t> tableValues;
};

// The twelve rows in lookup and popup order: "Ikelite Ds160" first, "RED64"
// last.
std::span<const StrobeModel, kStrobeModelCount> strobeModels();

// The twelve model names, in the same order as strobeModels().
std::array<std::string_view, kStrobeModelCount> strobeModelNames();

// The row whose name equals `name` exactly (same bytes: no trimming, no case
// folding, no prefix match), or nullptr when no row has that name. The pointer
// refers to static storage and stays valid for the life of the process.
const StrobeModel* findStrobeModel(std::string_view name);

}  // namespace valmor
