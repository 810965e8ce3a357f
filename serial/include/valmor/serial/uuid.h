// Uuid: a random 128-bit identifier, for the identity of packet descriptors
// and requests, with its canonical 36-character upper-case text form
// ("1B4E28BA-2FA1-11D2-883F-0016D3CCA427").
//
// Threading: a plain value; random() may be called from any thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "valmor/platform/export.h"

namespace valmor {

struct VALMOR_EXPORT Uuid {
  std::array<std::uint8_t, 16> bytes{};

  // A fresh random (version 4) identifier.
  static Uuid random();

  std::string string() const;

  bool operator==(const Uuid&) const = default;
  std::size_t hash() const;
};

}  // namespace valmor

template <>
struct std::hash<valmor::Uuid> {
  std::size_t operator()(const valmor::Uuid& uuid) const { return uuid.hash(); }
};
