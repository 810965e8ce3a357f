#include "valmor/qt/qt_main_queue.h"

#include <QCoreApplication>
#include <QEvent>
#include <utility>

namespace valmor {

namespace {

// One posted task, carried to the GUI thread as an event.
class TaskEvent final : public QEvent {
 public:
  static QEvent::Type eventType() {
    static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
  }
  explicit TaskEvent(MainQueue::Task task) : QEvent(eventType()), task(std::move(task)) {}
  MainQueue::Task task;
};

}  // namespace

// Lives on the GUI thread and runs the tasks that reach it. Qt delivers the
// events posted to one receiver in the order they were posted.
class VALMOR_NO_EXPORT QtMainQueue::Receiver final : public QObject {
 public:
  bool event(QEvent* event) override {
    if (event->type() != TaskEvent::eventType()) return QObject::event(event);
    runTask(static_cast<TaskEvent*>(event)->task);
    return true;
  }
};

QtMainQueue::QtMainQueue() : thread_(QThread::currentThread()), receiver_(new Receiver) {}

std::shared_ptr<QtMainQueue> QtMainQueue::install() {
  auto queue = std::make_shared<QtMainQueue>();
  setMainQueue(queue);
  if (auto* application = QCoreApplication::instance()) {
    // A weak reference: the queue may have been replaced and released by then.
    QObject::connect(application, &QCoreApplication::aboutToQuit,
                     [weak = std::weak_ptr<QtMainQueue>(queue)] {
                       if (auto q = weak.lock()) q->close();
                     });
  }
  return queue;
}

QtMainQueue::~QtMainQueue() { close(); }

void QtMainQueue::post(Task task) {
  // postEvent() is thread-safe; the lock only keeps the receiver from being
  // deleted by close() in between.
  std::lock_guard lock(mutex_);
  if (receiver_ == nullptr) return;
  QCoreApplication::postEvent(receiver_, new TaskEvent(std::move(task)));
}

bool QtMainQueue::isCurrent() const { return QThread::currentThread() == thread_; }

void QtMainQueue::close() {
  shutDown();
  Receiver* receiver = nullptr;
  {
    std::lock_guard lock(mutex_);
    receiver = std::exchange(receiver_, nullptr);
  }
  // Deleting the receiver discards the tasks still queued for it.
  delete receiver;
}

}  // namespace valmor
