// The main of the Qt adapter's tests: one QCoreApplication and the Qt main
// queue, installed as a Qt program would, for the whole run.
#include <gtest/gtest.h>

#include <QCoreApplication>

#include "valmor/qt/qt_main_queue.h"

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  QCoreApplication application(argc, argv);
  valmor::QtMainQueue::install();
  return RUN_ALL_TESTS();
}
