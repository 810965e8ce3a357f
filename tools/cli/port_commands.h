// The port commands of valmor-cli, through the library's port manager:
//
// list: the ports present, one line each (port_listing.h), or with json a
//   JSON array; with unitsOnly, VALMOR units only. With no port to show in
//   text form, a line on the error stream says where it looked.
// watch: a line per port connected or disconnected, as the manager's
//   notifications report them, until a stop signal (then exit status 0);
//   with json, one JSON object per line, with "event": "connected" or
//   "disconnected" beside the port's fields. A first line on the error
//   stream says where it watches once it does.
//
// Threading: main thread only; watch runs the main queue given.
#pragma once

#include <ostream>

#include "valmor/platform/main_queue.h"

namespace valmor {

struct ListJob {
  bool unitsOnly = false;
  bool json = false;
};

int listPorts(const ListJob& job, std::ostream& out, std::ostream& err);

int watchPorts(bool json, RunLoopMainQueue& queue, std::ostream& out, std::ostream& err);

}  // namespace valmor
