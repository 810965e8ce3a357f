// With the adapter installed in one line, a task that the library's main
// queue is given on another thread runs on the GUI thread. Prints
// "on the GUI thread" and ends with status 0; status 1 when the task runs
// elsewhere or not within five seconds.
#include <QCoreApplication>
#include <QThread>
#include <QTimer>
#include <cstdio>
#include <thread>

#include "valmor/platform/main_queue.h"
#include "valmor/qt/qt_main_queue.h"

int main(int argc, char** argv) {
  QCoreApplication application(argc, argv);
  valmor::QtMainQueue::install();
  std::thread([] {
    valmor::mainQueue().post([] {
      const bool onGuiThread = QThread::currentThread() == QCoreApplication::instance()->thread();
      std::puts(onGuiThread && valmor::mainQueue().isCurrent() ? "on the GUI thread" : "elsewhere");
      QCoreApplication::exit(onGuiThread ? 0 : 1);
    });
  }).join();
  QTimer::singleShot(5000, [] { QCoreApplication::exit(1); });
  return application.exec();
}
