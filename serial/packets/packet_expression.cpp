#include "serial/packets/packet_expression.h"

#include <unicode/regex.h>
#include <unicode/stringpiece.h>
#include <unicode/unistr.h>
#include <unicode/utext.h>
#include <unicode/utf8.h>

#include "text/unicode_text.h"

namespace valmor {

struct PacketExpression::Compiled {
  std::unique_ptr<icu::RegexPattern> pattern;
};

struct PacketExpression::Matcher::Impl {
  std::unique_ptr<icu::RegexMatcher> matcher;
};

namespace {

bool isContinuation(std::uint8_t byte) { return (byte & 0xC0) == 0x80; }

}  // namespace

std::shared_ptr<const PacketExpression> PacketExpression::compile(std::string_view pattern,
                                                                  std::uint32_t flags,
                                                                  std::string* error) {
  UErrorCode status = U_ZERO_ERROR;
  UParseError parseError{};
  std::unique_ptr<icu::RegexPattern> compiled;
  if (isWellFormedUtf8(pattern)) {
    const auto text = icu::UnicodeString::fromUTF8(icu::StringPiece(pattern.data(), static_cast<std::int32_t>(pattern.size())));
    compiled.reset(icu::RegexPattern::compile(text, flags, parseError, status));
  } else {
    status = U_INVALID_CHAR_FOUND;
  }
  if (U_FAILURE(status) || !compiled) {
    if (error) *error = u_errorName(status);
    return nullptr;
  }
  return std::make_shared<const PacketExpression>(PrivateTag{}, std::string(pattern), flags,
                                                  std::make_unique<Compiled>(Compiled{std::move(compiled)}));
}

PacketExpression::PacketExpression(PrivateTag, std::string pattern, std::uint32_t flags,
                                   std::unique_ptr<Compiled> compiled)
    : pattern_(std::move(pattern)), flags_(flags), compiled_(std::move(compiled)) {}

PacketExpression::~PacketExpression() = default;

PacketExpression::Matcher PacketExpression::matcher() const {
  UErrorCode status = U_ZERO_ERROR;
  auto impl = std::make_unique<Matcher::Impl>();
  impl->matcher.reset(compiled_->pattern->matcher(status));
  if (U_FAILURE(status)) impl->matcher.reset();
  return Matcher(std::move(impl));
}

PacketExpression::Matcher::Matcher(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
PacketExpression::Matcher::Matcher(Matcher&&) noexcept = default;
PacketExpression::Matcher& PacketExpression::Matcher::operator=(Matcher&&) noexcept = default;
PacketExpression::Matcher::~Matcher() = default;

bool PacketExpression::Matcher::matchesAtStart(std::span<const std::uint8_t> utf8) {
  if (!impl_->matcher) return false;
  UErrorCode status = U_ZERO_ERROR;
  UText text = UTEXT_INITIALIZER;
  // The matcher reads the bytes in place; it keeps a shallow clone of the
  // text, which is not used again until the next reset.
  utext_openUTF8(&text, reinterpret_cast<const char*>(utf8.data()), static_cast<std::int64_t>(utf8.size()),
                 &status);
  bool matched = false;
  if (U_SUCCESS(status)) {
    impl_->matcher->reset(&text);
    matched = impl_->matcher->lookingAt(status);
    if (U_FAILURE(status)) matched = false;
  }
  utext_close(&text);
  return matched;
}

bool PacketExpression::Matcher::test(std::span<const std::uint8_t> candidate) {
  return isWellFormedUtf8(candidate) && matchesAtStart(candidate);
}

std::size_t PacketExpression::Matcher::shortestMatchingTail(std::span<const std::uint8_t> bytes) {
  // Walk back one character at a time. A tail is valid UTF-8 exactly when
  // every character from its start to the end is, so the first character
  // that does not decode ends the walk: every longer tail contains it.
  const std::uint8_t* s = bytes.data();
  std::size_t end = bytes.size();
  while (end > 0) {
    std::size_t start = end - 1;
    for (int trail = 0; trail < 3 && start > 0 && isContinuation(s[start]); ++trail) --start;
    if (isContinuation(s[start])) return 0;
    std::int32_t i = 0;
    const auto length = static_cast<std::int32_t>(end - start);
    UChar32 c;
    U8_NEXT(s + start, i, length, c);
    if (c < 0 || i != length) return 0;
    if (matchesAtStart(bytes.subspan(start))) return bytes.size() - start;
    end = start;
  }
  return 0;
}

}  // namespace valmor
