#include "valmor/serial/uuid.h"

#include <sys/random.h>
#include <uuid/uuid.h>

#include <cstring>
#include <string_view>

namespace valmor {

Uuid Uuid::random() {
  Uuid u;
  // One getrandom() call; the library's generator makes five or six system
  // calls for each identifier, and a request and its reply's descriptor
  // take one each.
  if (::getrandom(u.bytes.data(), u.bytes.size(), 0) == static_cast<ssize_t>(u.bytes.size())) {
    u.bytes[6] = static_cast<std::uint8_t>((u.bytes[6] & 0x0F) | 0x40);  // version 4: random
    u.bytes[8] = static_cast<std::uint8_t>((u.bytes[8] & 0x3F) | 0x80);  // the RFC 4122 variant
    return u;
  }
  uuid_t raw;
  uuid_generate_random(raw);
  std::memcpy(u.bytes.data(), raw, u.bytes.size());
  return u;
}

std::string Uuid::string() const {
  uuid_t raw;
  std::memcpy(raw, bytes.data(), bytes.size());
  char text[37];
  uuid_unparse_upper(raw, text);
  return std::string(text, 36);
}

std::size_t Uuid::hash() const {
  return std::hash<std::string_view>{}(
      std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

}  // namespace valmor
