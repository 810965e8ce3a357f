// QtMainQueue: the main queue of the desktop app, on Qt's event loop. Every
// task posted from any thread runs on the GUI thread, in the order posted, as
// an event delivered by Qt's event loop; nothing polls, so an idle window
// costs no CPU. Install it before the library does any work:
//
//   QApplication application(argc, argv);
//   auto queue = std::make_shared<QtMainQueue>();
//   setMainQueue(queue);
//   ...
//   application.exec();
//   queue->close();   // later posts are dropped, waiters released
//
// Threading: create and close() on the GUI thread; post() and isCurrent()
// from any thread. Tasks also run inside nested event loops (a modal dialog,
// QTest::qWait), as any posted event does.
#pragma once

#include <QObject>
#include <QThread>
#include <mutex>

#include "platform/main_queue.h"

namespace valmor {

class QtMainQueue final : public MainQueue {
 public:
  // A queue whose tasks run on the calling thread, which must run Qt's event
  // loop (the thread of the QApplication).
  QtMainQueue();
  ~QtMainQueue() override;

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
