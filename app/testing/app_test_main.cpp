// The main of the app's tests: one QApplication on the offscreen platform and
// the Qt main queue for the whole run, with the app's settings kept in a
// temporary directory instead of the user's.
#include <gtest/gtest.h>

#include <QApplication>
#include <QSettings>
#include <QTemporaryDir>
#include <memory>

#include "valmor/qt/qt_main_queue.h"

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication application(argc, argv);
  QTemporaryDir settingsDir;
  QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settingsDir.path());
  QApplication::setOrganizationName("VALMOR");
  QApplication::setApplicationName("valmor-setup-test");

  auto queue = std::make_shared<valmor::QtMainQueue>();
  valmor::setMainQueue(queue);
  const int status = RUN_ALL_TESTS();
  queue->close();
  return status;
}
