// The diagnostic log of the library: one line per event on standard error,
// led by a timestamp. The application's own event lines go to standard output
// instead and do not use this.
//
// Threading: may be called from any thread; lines are never interleaved.
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace valmor {

void logLine(std::string_view line);

// Sends log lines to a sink of the caller's (for tests) instead of standard
// error; an empty sink restores standard error.
void setLogSinkForTesting(std::function<void(const std::string&)> sink);

}  // namespace valmor
