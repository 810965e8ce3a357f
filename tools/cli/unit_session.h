// Initialize and Download from the command line: opens the unit's port as
// the desktop app does (through SerialPortHandler: 42105 baud, even parity,
// the greeting), runs the sequence, waits for the unit's answer and prints
// it on standard output, CR LF as LF, ending with one line feed.
//
// Failures are one line on the error stream, "valmor-cli: " first: no unit
// found (naming where it looked), a path that is no serial device, an open
// refused (in use, permission, gone), a write that failed, the unit pulled
// out during the sequence or before its answer, no answer in time, a stop
// signal.
//
// Threading: main thread only; runs the main queue given until done. The
// port is closed, and its close completed, before it returns.
#pragma once

#include <chrono>
#include <optional>
#include <ostream>
#include <string>

#include "valmor/platform/main_queue.h"

namespace valmor {

struct UnitJob {
  std::optional<std::string> port;  // else the first unit of the registry
  bool initialize = true;           // else Download of model
  std::string model;
  std::chrono::milliseconds wait{3000};
  std::string waitText = "3";  // as the user wrote it, for the message
  bool verbose = false;        // port events and status texts on the error stream
};

// The exit status: 0 answer printed, 1 failure, 128 + signal interrupted.
int talkToUnit(const UnitJob& job, RunLoopMainQueue& queue, std::ostream& out, std::ostream& err);

}  // namespace valmor
