// Bytes as a user types them on the command line, and bytes shown back.
//
// Escaped text: every character stands for its UTF-8 bytes, except the C
// escapes \a \b \e \f \n \r \t \v \\ \' \" \? \0, \xH or \xHH (one or two
// hexadecimal digits) and \N, \NN or \NNN (octal, at most \377). Any other
// escape, or a backslash at the end, is an error.
//
// Hexadecimal: pairs of hexadecimal digits (either case), optionally
// separated by spaces, tabs, colons, commas or dashes between bytes, each
// byte optionally written with a 0x prefix: "0a 0B", "0a0b", "0x0a,0x0b".
// An odd digit, any other character or nothing at all is an error.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace valmor {

using ByteVector = std::vector<std::uint8_t>;

struct ParsedBytes {
  ByteVector bytes;
  std::string error;  // empty when parsing succeeded; says what and where otherwise
  bool ok() const { return error.empty(); }
};

ParsedBytes parseEscapedText(std::string_view text);
ParsedBytes parseHexBytes(std::string_view text);

// "0A 0B FF": upper-case pairs separated by single spaces.
std::string hexText(std::span<const std::uint8_t> bytes);

}  // namespace valmor
