// Repository: the one entry point through which the application gets what it
// sends to a VALMOR unit for a strobe model, the profile image and the title
// line. Both are pure functions of the model name; see profile_image.h and
// title_line.h for the layouts.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "profile/profile_image.h"

namespace valmor {

// What the main window needs from a repository; tests of the upload sequence
// can put a fake behind it.
class RepositoryProtocol {
 public:
  virtual ~RepositoryProtocol() = default;

  // The 320-byte image for `name` (exact, case-sensitive model name). An
  // unknown name gives 320 zero bytes. nullopt means the model's row holds a
  // value outside 0..65535: the caller must then send nothing.
  virtual std::optional<ProfileImage> profileImage(std::string_view name) const = 0;

  // The UTF-8 title line for `name`: 35 characters for names of up to 24
  // characters, prefix plus the unchanged name when longer. nullopt only for a
  // name that is not well-formed UTF-8.
  virtual std::optional<std::string> titleLine(std::string_view name) const = 0;

 protected:
  RepositoryProtocol() = default;
  RepositoryProtocol(const RepositoryProtocol&) = default;
  RepositoryProtocol& operator=(const RepositoryProtocol&) = default;
};

// The repository over the built-in model table. It holds no state: copies are
// interchangeable and one instance may be used from any thread.
class Repository final : public RepositoryProtocol {
 public:
  std::optional<ProfileImage> profileImage(std::string_view name) const override;
  std::optional<std::string> titleLine(std::string_view name) const override;
};

}  // namespace valmor
