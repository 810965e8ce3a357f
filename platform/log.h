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

// Runs task. An exception it throws goes no further: it is logged as
// "WHERE threw an exception: WHAT" (or "threw an unknown exception"), so
// that one faulty callback cannot end the loop or the thread that runs it.
void runLoggingExceptions(const std::function<void()>& task, std::string_view where);

// Logs the exception being handled as runLoggingExceptions() does. Call it
// only inside a catch block; for a hot path that names the place only when
// something was thrown:
//
//   try { call(); } catch (...) { logCurrentException(nameOfTheCall()); }
void logCurrentException(std::string_view where);

// Sends log lines to a sink of the caller's (for tests) instead of standard
// error; an empty sink restores standard error.
void setLogSinkForTesting(std::function<void(const std::string&)> sink);

}  // namespace valmor
