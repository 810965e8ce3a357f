// What every valmor-cli command shares: exit statuses and error lines.
#pragma once

#include <ostream>
#include <string>

#include "tools/cli/stop_signals.h"

namespace valmor {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;  // the work could not be done
inline constexpr int kExitUsage = 2;    // the command line is wrong

// Writes "valmor-cli: MESSAGE" as one line; gives kExitFailure.
inline int failure(std::ostream& err, const std::string& message) {
  err << "valmor-cli: " << message << '\n' << std::flush;
  return kExitFailure;
}

// A signal ended the work early: 128 + its number, as shells report it.
inline int interrupted(std::ostream& err) {
  err << "valmor-cli: interrupted\n" << std::flush;
  return 128 + stopSignal();
}

}  // namespace valmor
