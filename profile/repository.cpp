#include "profile/repository.h"

#include "profile/title_line.h"

namespace valmor {

std::optional<ProfileImage> Repository::profileImage(std::string_view name) const {
  return profileImageForName(name);
}

std::optional<std::string> Repository::titleLine(std::string_view name) const {
  return makeTitleLine(name);
}

}  // namespace valmor
