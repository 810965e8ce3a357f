#include "profile/profile_image.h"

namespace valmor {
namespace {

constexpr std::size_t kFirstTableByte = 2 * kHeaderWordCount;

// Writes v high byte first at word position `word`. The check is the whole
// point: a value out of range must fail the build rather than lose its high
// bits.
[[nodiscard]] bool putWord(ProfileImage& image, std::size_t word, std::int64_t v) {
  if (v < 0 || v > 0xFFFF) {
    return false;
  }
  image[2 * word] = static_cast<std::uint8_t>(v >> 8);
  image[2 * word + 1] = static_cast<std::uint8_t>(v & 0xFF);
  return true;
}

}  // namespace

std::optional<ProfileImage> buildProfileImage(const StrobeModel& model) {
  // Entry 0 is always 0, and the run must end within the table; comparing
  // sizes (not first + size) keeps a huge firstEntry from overflowing.
  if (model.firstEntry == 0 || model.firstEntry >= kTableEntryCount ||
      model.tableValues.size() > kTableEntryCount - model.firstEntry) {
    return std::nullopt;
  }

  ProfileImage image{};
  for (std::size_t k = 0; k < kHeaderWordCount; ++k) {
    if (!putWord(image, k, model.headerWords[k])) {
      return std::nullopt;
    }
  }
  const std::size_t firstWord = kFirstTableByte / 2 + model.firstEntry;
  for (std::size_t i = 0; i < model.tableValues.size(); ++i) {
    if (!putWord(image, firstWord + i, model.tableValues[i])) {
      return std::nullopt;
    }
  }
  return image;
}

std::optional<ProfileImage> profileImageForName(std::string_view name) {
  const StrobeModel* model = findStrobeModel(name);
  if (model == nullptr) {
    return ProfileImage{};
  }
  return buildProfileImage(*model);
}

}  // namespace valmor
