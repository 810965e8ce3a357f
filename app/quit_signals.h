// Ends Qt's event loop cleanly on SIGINT, SIGTERM and SIGHUP (Ctrl+C in the
// terminal that started the app, the session ending, a script stopping it),
// so that the window is closed and the unit's port released as when the
// user closes the window. A signal handler may not call Qt, so the handler
// writes one byte to a pipe whose read end Qt's event loop watches.
//
// Threading: create on the GUI thread, after the QApplication. At most one
// instance at a time.
#pragma once

#include <QSocketNotifier>
#include <memory>
#include <vector>

#include "platform/unique_fd.h"

namespace valmor {

class QuitOnSignals {
 public:
  QuitOnSignals();
  ~QuitOnSignals();  // restores the default actions

  QuitOnSignals(const QuitOnSignals&) = delete;
  QuitOnSignals& operator=(const QuitOnSignals&) = delete;

 private:
  UniqueFd read_;
  UniqueFd write_;
  std::unique_ptr<QSocketNotifier> notifier_;
  std::vector<int> installed_;  // the signals handled here
};

}  // namespace valmor
