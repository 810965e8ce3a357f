// PacketExpression: the regular-expression test of expression descriptors.
// A candidate packet passes when it is valid UTF-8 and the expression
// matches at its first character; the match need not reach the last one.
// "^" and "$" match at the candidate's ends, and look-behind sees nothing
// before it. The dialect is ICU's (unicode/regex.h).
//
//   auto expression = PacketExpression::compile("\\$GP[A-Z]{3},");
//   auto matcher = expression->matcher();
//   matcher.matchesAtStart(bytes);
//
// Threading: a PacketExpression is immutable and may be shared by any number
// of threads; a Matcher is used by one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

namespace valmor {

class PacketExpression {
  struct PrivateTag {};

 public:
  // Compiles pattern (UTF-8) with ICU's URegexpFlag bits. Empty, with the
  // reason in *error when given, if the pattern is not valid.
  static std::shared_ptr<const PacketExpression> compile(std::string_view pattern,
                                                         std::uint32_t flags = 0,
                                                         std::string* error = nullptr);

  struct Compiled;
  PacketExpression(PrivateTag, std::string pattern, std::uint32_t flags, std::unique_ptr<Compiled> compiled);
  ~PacketExpression();

  const std::string& pattern() const { return pattern_; }
  std::uint32_t flags() const { return flags_; }

  class Matcher {
   public:
    Matcher(Matcher&&) noexcept;
    Matcher& operator=(Matcher&&) noexcept;
    ~Matcher();

    // The test above on one candidate, without copying it.
    bool test(std::span<const std::uint8_t> candidate);

    // The length of the shortest tail of bytes that passes the test, or 0.
    // Only tails that begin at a character boundary of a valid UTF-8 end of
    // bytes are tried, so a tail that begins inside a character, or that
    // holds a malformed sequence, is never matched.
    std::size_t shortestMatchingTail(std::span<const std::uint8_t> bytes);

   private:
    friend class PacketExpression;
    struct Impl;
    explicit Matcher(std::unique_ptr<Impl> impl);
    // The expression applied to bytes already known to be valid UTF-8.
    bool matchesAtStart(std::span<const std::uint8_t> utf8);
    std::unique_ptr<Impl> impl_;
  };

  Matcher matcher() const;

 private:
  const std::string pattern_;
  const std::uint32_t flags_;
  const std::unique_ptr<Compiled> compiled_;
};

}  // namespace valmor
