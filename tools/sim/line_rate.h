// The rate at which the host sends on a pseudo-terminal: the output rate of
// the slave's terminal record, read with TCGETS2, so that a non-standard rate
// set with BOTHER (42105 baud) reads back as itself.
//
// The descriptor may be the slave or the master: Linux applies terminal
// ioctls made on a master to its slave's record. Parity and data bits cannot
// be read this way: a pseudo-terminal clears PARENB and forces 8 data bits
// whatever the host asks for.
#pragma once

#include <cstdint>
#include <optional>

namespace valmor {

// None when the descriptor is no terminal or the call fails.
std::optional<std::uint32_t> readLineRate(int fd);

}  // namespace valmor
