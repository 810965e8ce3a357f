#include "tools/cli/byte_text.h"

#include <cctype>
#include <cstdio>

namespace valmor {

namespace {

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

ParsedBytes failed(std::string error) { return {{}, std::move(error)}; }

}  // namespace

ParsedBytes parseEscapedText(std::string_view text) {
  ParsedBytes out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      out.bytes.push_back(static_cast<std::uint8_t>(text[i]));
      continue;
    }
    if (++i == text.size()) return failed("a backslash ends the text (write \\\\ for one)");
    const char c = text[i];
    switch (c) {
      case 'a': out.bytes.push_back(0x07); continue;
      case 'b': out.bytes.push_back(0x08); continue;
      case 'e': out.bytes.push_back(0x1B); continue;
      case 'f': out.bytes.push_back(0x0C); continue;
      case 'n': out.bytes.push_back(0x0A); continue;
      case 'r': out.bytes.push_back(0x0D); continue;
      case 't': out.bytes.push_back(0x09); continue;
      case 'v': out.bytes.push_back(0x0B); continue;
      case '\\': case '\'': case '"': case '?': out.bytes.push_back(static_cast<std::uint8_t>(c)); continue;
      default: break;
    }
    if (c == 'x') {
      int value = 0, digits = 0;
      while (digits < 2 && i + 1 < text.size() && hexValue(text[i + 1]) >= 0) {
        value = value * 16 + hexValue(text[++i]);
        ++digits;
      }
      if (digits == 0) return failed("\\x needs one or two hexadecimal digits");
      out.bytes.push_back(static_cast<std::uint8_t>(value));
      continue;
    }
    if (c >= '0' && c <= '7') {
      int value = c - '0', digits = 1;
      while (digits < 3 && i + 1 < text.size() && text[i + 1] >= '0' && text[i + 1] <= '7') {
        value = value * 8 + (text[++i] - '0');
        ++digits;
      }
      if (value > 0xFF) return failed("octal escape above \\377");
      out.bytes.push_back(static_cast<std::uint8_t>(value));
      continue;
    }
    return failed(std::string("unknown escape \\") + c);
  }
  return out;
}

ParsedBytes parseHexBytes(std::string_view text) {
  ParsedBytes out;
  std::size_t i = 0;
  auto isSeparator = [](char c) { return c == ' ' || c == '\t' || c == ':' || c == ',' || c == '-'; };
  while (i < text.size()) {
    if (isSeparator(text[i])) {
      ++i;
      continue;
    }
    if (text[i] == '0' && i + 1 < text.size() && (text[i + 1] == 'x' || text[i + 1] == 'X')) i += 2;
    // Digits run in pairs until a separator.
    std::size_t digits = 0;
    while (i < text.size() && !isSeparator(text[i])) {
      if (hexValue(text[i]) < 0) {
        return failed("malformed hex string: '" + std::string(1, text[i]) + "' at position " +
                      std::to_string(i + 1));
      }
      if (i + 1 >= text.size() || isSeparator(text[i + 1])) {
        return failed("malformed hex string: odd number of digits at position " + std::to_string(i + 1));
      }
      if (hexValue(text[i + 1]) < 0) {
        return failed("malformed hex string: '" + std::string(1, text[i + 1]) + "' at position " +
                      std::to_string(i + 2));
      }
      out.bytes.push_back(static_cast<std::uint8_t>(hexValue(text[i]) * 16 + hexValue(text[i + 1])));
      i += 2;
      digits += 2;
    }
    if (digits == 0) return failed("malformed hex string: 0x without digits");
  }
  if (out.bytes.empty()) return failed("malformed hex string: no bytes");
  return out;
}

std::string hexText(std::span<const std::uint8_t> bytes) {
  std::string out;
  char pair[4];
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    std::snprintf(pair, sizeof pair, "%02X", bytes[i]);
    if (i > 0) out += ' ';
    out += pair;
  }
  return out;
}

}  // namespace valmor
