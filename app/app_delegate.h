// AppDelegate: the application's answers to the desktop's questions. The app
// has one window, and closing it ends the app.
#pragma once

namespace valmor {

class AppDelegate {
 public:
  virtual ~AppDelegate() = default;

  // Before the event loop starts, once the window is shown.
  virtual void applicationDidFinishLaunching() {}
  // After the event loop has ended, before the window goes.
  virtual void applicationWillTerminate() {}
  // True: the app quits when its last window is closed.
  virtual bool applicationShouldTerminateAfterLastWindowClosed() const { return true; }
};

}  // namespace valmor
