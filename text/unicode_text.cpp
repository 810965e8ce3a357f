#include "text/unicode_text.h"

#include <cstdint>
#include <memory>

#include <unicode/brkiter.h>
#include <unicode/locid.h>
#include <unicode/utext.h>
#include <unicode/utf8.h>

namespace valmor {
namespace {

struct UTextCloser {
  void operator()(UText* text) const { utext_close(text); }
};

}  // namespace

bool isWellFormedUtf8(std::string_view text) {
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
  const auto length = static_cast<std::int64_t>(text.size());
  std::int64_t i = 0;
  while (i < length) {
    UChar32 c;
    U8_NEXT(bytes, i, length, c);
    if (c < 0) {
      return false;
    }
  }
  return true;
}

std::optional<std::size_t> countUserCharacters(std::string_view text) {
  // ICU's UTF-8 text provider silently maps ill-formed bytes to U+FFFD, so
  // well-formedness is checked first with the strict decoder.
  if (!isWellFormedUtf8(text)) {
    return std::nullopt;
  }
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<UText, UTextCloser> utext(
      utext_openUTF8(nullptr, text.data(), static_cast<std::int64_t>(text.size()), &status));
  // Root locale: grapheme clusters do not depend on the user's language.
  std::unique_ptr<icu::BreakIterator> breaks(
      icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
  if (U_FAILURE(status) || !utext || !breaks) {
    return std::nullopt;
  }
  breaks->setText(utext.get(), status);
  if (U_FAILURE(status)) {
    return std::nullopt;
  }
  std::size_t count = 0;
  for (breaks->first(); breaks->next() != icu::BreakIterator::DONE;) {
    ++count;
  }
  return count;
}

}  // namespace valmor
