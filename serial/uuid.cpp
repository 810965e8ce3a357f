#include "serial/uuid.h"

#include <uuid/uuid.h>

#include <cstring>
#include <string_view>

namespace valmor {

Uuid Uuid::random() {
  Uuid u;
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
