// Qt ends the process with several lines and an abort (status 134) when its
// window system cannot start: a display that cannot be reached, a platform
// plugin that does not exist. ToolkitStartGuard, alive while the
// QApplication is made, turns that into one line on standard error that
// names the problem, and exit status 1:
//
//   valmor-setup: cannot open the window: could not connect to display :7 ...
//
// What Qt says meanwhile is held back; when the start succeeds it is passed
// on unchanged once the guard goes.
//
//   {
//     ToolkitStartGuard guard;
//     QApplication application(argc, argv);   // may end the process here
//   }
//
// Threading: the GUI thread, before anything else uses Qt. One at a time.
#pragma once

#include <QtGlobal>

namespace valmor {

class ToolkitStartGuard {
 public:
  ToolkitStartGuard();
  ~ToolkitStartGuard();

  // What Qt said so far is not passed on (the start ends with a line of
  // the program's own).
  void dropHeldMessages();

  ToolkitStartGuard(const ToolkitStartGuard&) = delete;
  ToolkitStartGuard& operator=(const ToolkitStartGuard&) = delete;

 private:
  QtMessageHandler previous_;
};

}  // namespace valmor
