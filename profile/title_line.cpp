#include "profile/title_line.h"

#include "text/unicode_text.h"

namespace valmor {

std::optional<std::string> makeTitleLine(std::string_view name) {
  std::string line(kTitlePrefix);
  line += name;
  // Counted on the joined text, as the unit displays it: a name starting with
  // a combining mark merges with the prefix's last space.
  const std::optional<std::size_t> count = countUserCharacters(line);
  if (!count) {
    return std::nullopt;
  }
  if (*count < kTitleLineLength) {
    line.append(kTitleLineLength - *count, ' ');
  }
  return line;
}

}  // namespace valmor
