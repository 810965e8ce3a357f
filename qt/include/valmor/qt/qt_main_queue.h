// QtMainQueue: the library's main queue on Qt's event loop, for Qt
// programs. Every task posted from any thread runs on the GUI thread, in the
// order posted, as an event delivered by Qt's event loop; nothing polls, so
// an idle window costs no CPU. With it installed, every delegate call of a
// port, every published modem-line change and every hot-plug event of the
// library reaches the program on its GUI thread. One line, after the
// application object and before the library does any work:
//
//   QApplication application(argc, argv);
//   valmor::QtMainQueue::install();
//   ...
//   return application.exec();
//
// The queue installed that way closes itself when the application's event
// loop ends (QCoreApplication::aboutToQuit). A program that makes its own:
//
//   auto queue = std::make_shared<valmor::QtMainQueue>();
//   valmor::setMainQueue(queue);
//   application.exec();
//   queue->close();   // later posts are dropped, waiters released
//
// Threading: create, install and close() on the GUI thread; post() and
// isCurrent() from any thread. Tasks also run inside nested event loops (a
// modal dialog, QTest::qWait), as any posted event does.
#pragma once

#include <QObject>
#include <QThread>
#include <memory>
#include <mutex>

#include "valmor/platform/export.h"
#include "valmor/platform/main_queue.h"

namespace valmor {

class VALMOR_EXPORT QtMainQueue final : public MainQueue {
 public:
  // A queue whose tasks run on the calling thread, which must run Qt's event
  // loop (the thread of the QApplication).
  QtMainQueue();
  ~QtMainQueue() override;

  // Makes a queue on the calling thread (which must be the thread of the
  // QCoreApplication, already created), installs it as the process's main
  // queue (setMainQueue) and closes it when the application is about to
  // quit. Gives the queue.
  static std::shared_ptr<QtMainQueue> install();

  QtMainQueue(const QtMainQueue&) = delete;
  QtMainQueue& operator=(const QtMainQueue&) = delete;

  void post(Task task) override;
  bool isCurrent() const override;

  // Ends the queue for good: tasks not yet run are discarded, later posts are
  // dropped and threads waiting in postAndWait() are released. Call it on
  // the GUI thread once the event loop has ended, never from inside a task.
  void close();

 private:
  class Receiver;

  QThread* const thread_;
  std::mutex mutex_;
  Receiver* receiver_;  // Guarded by mutex_; null once closed.
};

}  // namespace valmor
