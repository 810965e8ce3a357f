// Stopping the command-line tool cleanly on SIGINT, SIGTERM and SIGHUP
// (Ctrl+C, a script or the session ending it): the signals are turned into a
// request to stop that the main loop sees, so that the tool closes its ports
// (the device gets its attributes back) and exits through the normal path,
// where the port manager's exit handler cleans up the rest.
//
// The signals are blocked in every thread and taken by one thread of their
// own with sigwait(), which may do what a signal handler may not: it sets
// the request and posts an empty task to the main queue to wake the loop. A
// second signal while the first is being handled ends the process at once
// with status 128 + signal number.
//
// Threading: call installStopSignals() once, on the main thread, after the
// main queue is installed and before any other thread is started (threads
// inherit the blocked set). The readers may be called from any thread.
#pragma once

namespace valmor {

void installStopSignals();

// True once one of the signals has come.
bool stopRequested();
// The signal that came, 0 before any.
int stopSignal();

}  // namespace valmor
