// The window as a user meets it: real widgets on the offscreen platform, real
// clicks, and units played by pseudo-terminals published in a temporary
// device directory (link/testing/pty_device.h records every byte; the
// simulated unit of tools/ answers like the real one).
#include "app/view_controller.h"

#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <linux/capability.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QSettings>
#include <QTest>
#include <QTimer>
#include <sstream>
#include <thread>

#include "discovery/device_registry_directory.h"
#include "link/serial_port_handler.h"
#include "link/testing/pty_device.h"
#include "platform/testing/temp_dir.h"
#include "serial/line_settings.h"
#include "tools/sim/simulated_unit.h"
#include "tools/testing/download_stream.h"

namespace valmor {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

std::vector<std::string> items(const QComboBox* popup) {
  std::vector<std::string> out;
  for (int i = 0; i < popup->count(); ++i) out.push_back(popup->itemText(i).toStdString());
  return out;
}

std::string text(const QLabel* label) { return label->text().toStdString(); }

int countLines(const std::string& log, const std::string& line) {
  int n = 0;
  std::istringstream in(log);
  for (std::string l; std::getline(in, l);) n += l == line ? 1 : 0;
  return n;
}

class ViewControllerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.path().empty());
    setDeviceRegistryForTesting(std::make_shared<DirectoryDeviceRegistry>(dir_.path()));
    QSettings().clear();
  }

  void TearDown() override {
    // Let an open port close properly before its device goes.
    if (window_) {
      if (auto port = window_->serialPortHandler().serialPort(); port && port->isOpen()) {
        port->close();
        (void)QTest::qWaitFor([&] { return !port->isOpen(); }, 3000);
      }
    }
    window_.reset();
    setDeviceRegistryForTesting(nullptr);
  }

  // Starts the window as the app does.
  ViewController& load() {
    window_.reset();
    window_ = std::make_unique<ViewController>(log_);
    window_->viewDidLoad();
    window_->show();
    return *window_;
  }

  std::string log() const { return log_.str(); }
  // True once the handler holds an open port on `path`.
  bool opened(const std::string& path) const {
    auto port = window_->serialPortHandler().serialPort();
    return port && port->isOpen() && port->path() == path;
  }
  void chooseLastStrobeModel() {
    window_->selectorA()->setFocus();
    QTest::keyClick(window_->selectorA(), Qt::Key_End);
  }
  void click(QPushButton* button) { QTest::mouseClick(button, Qt::LeftButton); }

  test::TempDir dir_{"app-test"};
  std::ostringstream log_;  // outlives the window, whose handler logs to it
  std::unique_ptr<ViewController> window_;
};

TEST_F(ViewControllerTest, UnitPresentAtLaunchIsListedAndOpenedWithoutATimer) {
  test::PtyDevice unit(dir_.path(), "usbserial-A1");
  ASSERT_TRUE(unit.ready());
  ViewController& window = load();

  EXPECT_THAT(items(window.deviceSelectorView()), ElementsAre(unit.path()));
  EXPECT_EQ(window.deviceSelectorView()->currentIndex(), 0);
  EXPECT_EQ(text(window.textField()), "VALMOR connected");
  EXPECT_FALSE(window.timer().isActive());
  ASSERT_TRUE(QTest::qWaitFor([&] { return unit.received() == "\n"; }, 3000)) << log();
  EXPECT_TRUE(opened(unit.path()));
  EXPECT_EQ(readBaudRate(unit.masterFd()), 42105u);
  EXPECT_EQ(window.serialPortHandler().serialPort()->parity(), kParityEven);
  EXPECT_EQ(countLines(log(), "1 device found"), 1) << log();
  EXPECT_FALSE(window.timer().isActive());
}

// How often the window looks for a unit.
class ViewControllerTimingTest : public ViewControllerTest {};

TEST_F(ViewControllerTimingTest, RefreshRunsEverySecondUntilAUnitIsPluggedIn) {
  ViewController& window = load();
  EXPECT_TRUE(window.timer().isActive());
  QTest::qWait(2200);
  // At start, then about once a second.
  const int searches = countLines(log(), "0 device found");
  EXPECT_GE(searches, 2) << log();
  EXPECT_LE(searches, 4) << log();
  EXPECT_EQ(window.deviceSelectorView()->count(), 0);

  test::PtyDevice unit(dir_.path(), "usbserial-LATE");
  ASSERT_TRUE(QTest::qWaitFor([&] { return unit.received() == "\n"; }, 3000)) << log();
  EXPECT_THAT(items(window.deviceSelectorView()), ElementsAre(unit.path()));
  EXPECT_EQ(text(window.textField()), "VALMOR connected");
  EXPECT_FALSE(window.timer().isActive());
  const std::string afterFound = log();
  QTest::qWait(1300);
  EXPECT_EQ(countLines(log(), "0 device found") + countLines(log(), "1 device found"),
            countLines(afterFound, "0 device found") + 1)
      << "the refresh did not stop:\n" << log();
}

TEST_F(ViewControllerTest, EveryUnitIsListedInRegistryOrderAndTheLastIsOpened) {
  // Listed by name: "USBSerial-1" < "modem-1" < "ttyUSB7".
  test::PtyDevice first(dir_.path(), "USBSerial-1");
  test::PtyDevice modem(dir_.path(), "modem-1");
  test::PtyDevice second(dir_.path(), "ttyUSB7");
  ViewController& window = load();

  EXPECT_THAT(window.connectedDevices(), ElementsAre(first.path(), second.path()));
  EXPECT_THAT(items(window.deviceSelectorView()), ElementsAre(first.path(), second.path()));
  EXPECT_EQ(window.deviceSelectorView()->currentIndex(), 1);
  ASSERT_TRUE(QTest::qWaitFor([&] { return second.received() == "\n"; }, 3000)) << log();
  EXPECT_TRUE(opened(second.path()));
  EXPECT_EQ(first.received(), "");
  EXPECT_EQ(modem.received(), "");
  EXPECT_EQ(countLines(log(), "2 device found"), 1) << log();
}

TEST_F(ViewControllerTest, StrobePopupListsTheTwelveModelsAndUnusedSelectorsAreHidden) {
  ViewController& window = load();
  EXPECT_THAT(items(window.selectorA()),
              ElementsAre("Ikelite Ds160", "Inon Z240/Z330", "S&S YS250", "S&S YS D1",
                          "S&S YS D2_optical", "SUBTRONIC 160", "S&S YS 110A", "SUBTRONIC 270",
                          "ONEUW", "RETRAPRO", "S&S YSD3", "RED64"));
  EXPECT_EQ(window.selectorA()->currentText(), "Ikelite Ds160");
  EXPECT_EQ(text(window.labelA()), "Strobe model:");
  EXPECT_FALSE(window.labelA()->isHidden());
  EXPECT_FALSE(window.selectorA()->isHidden());
  for (QWidget* hidden : std::initializer_list<QWidget*>{window.labelB(), window.labelC(),
                                                         window.labelD(), window.selectorB(),
                                                         window.selectorC(), window.selectorD()}) {
    EXPECT_TRUE(hidden->isHidden()) << hidden->objectName().toStdString();
  }

  // A selector with options is shown with its caption; the others stay hidden.
  ViewController other(log_);
  UIConfig config;
  config.labelC = "Mode";
  config.optionsC = {"TTL", "Manual"};
  other.applyConfiguration(config);
  EXPECT_EQ(text(other.labelC()), "Mode:");
  EXPECT_THAT(items(other.selectorC()), ElementsAre("TTL", "Manual"));
  EXPECT_FALSE(other.selectorC()->isHidden());
  EXPECT_TRUE(other.selectorB()->isHidden());
  EXPECT_TRUE(other.selectorD()->isHidden());
}

TEST_F(ViewControllerTest, StrobeModelChosenLastIsChosenAtTheNextStart) {
  load();
  EXPECT_EQ(window_->selectorA()->currentText(), "Ikelite Ds160");
  chooseLastStrobeModel();
  ASSERT_EQ(window_->selectorA()->currentText(), "RED64");
  window_.reset();

  load();
  EXPECT_EQ(window_->selectorA()->currentText(), "RED64");
}

TEST_F(ViewControllerTest, ButtonsSendExactlyTheSequencesAndTheAnswerReplacesTheStatus) {
  test::PtyDevice unit(dir_.path(), "usbserial-A1");
  ViewController& window = load();
  ASSERT_TRUE(QTest::qWaitFor([&] { return unit.received() == "\n"; }, 3000)) << log();
  chooseLastStrobeModel();

  unit.clearReceived();
  click(window.downloadButton());
  EXPECT_EQ(text(window.textField()), "Loading");
  const std::string upload = test::downloadStream("RED64");
  ASSERT_EQ(upload.size(), 359u);
  ASSERT_TRUE(unit.waitForBytes(upload.size(), std::chrono::seconds(3)));
  EXPECT_EQ(unit.received(), upload);

  const std::string answer = "VALMOR: profile RED64 stored\r\n";
  ASSERT_TRUE(unit.write(answer));
  EXPECT_TRUE(QTest::qWaitFor([&] { return text(window.textField()) == answer; }, 3000))
      << text(window.textField());

  unit.clearReceived();
  click(window.initializationButton());
  ASSERT_TRUE(unit.waitForBytes(2, std::chrono::seconds(3)));
  QTest::qWait(50);
  EXPECT_EQ(unit.received(), "1\n");
  EXPECT_EQ(text(window.textField()), answer);  // Initialize shows nothing
}

// The simulated unit is pulled out and plugged in again, as a user would do
// with the real one: the window finds it and opens it again.
TEST_F(ViewControllerTest, UnpluggedUnitFailsTheDownloadAndIsOpenedAgainWhenBack) {
  std::ostringstream simLog;
  SimulatedUnit sim(dir_.path(), simLog);
  ASSERT_TRUE(sim.plug());
  std::thread simThread([&] { sim.run(); });
  const std::string path = sim.linkPath();
  const auto opens = [&] { return countLines(log(), "Serial port usbserial-SIM0 was opened"); };

  ViewController& window = load();
  ASSERT_TRUE(QTest::qWaitFor([&] { return opens() == 1; }, 3000)) << log();
  chooseLastStrobeModel();

  sim.requestUnplug();
  ASSERT_TRUE(QTest::qWaitFor([&] { return window.timer().isActive(); }, 3000)) << log();
  EXPECT_FALSE(window.serialPortHandler().serialPort());
  EXPECT_EQ(window.deviceSelectorView()->count(), 0);
  click(window.downloadButton());
  EXPECT_EQ(text(window.textField()), "Upload failed");

  sim.requestPlug();
  ASSERT_TRUE(QTest::qWaitFor([&] { return opens() == 2; }, 4000)) << log();
  EXPECT_THAT(items(window.deviceSelectorView()), ElementsAre(path));
  EXPECT_FALSE(window.timer().isActive());
  click(window.downloadButton());
  const std::string answer = "VALMOR SIM: profile RED64 stored OK";
  EXPECT_TRUE(QTest::qWaitFor(
      [&] { return text(window.textField()).find(answer) != std::string::npos; }, 3000))
      << text(window.textField()) << "\n" << log();
  EXPECT_EQ(sim.acceptedCount(), 1);
  EXPECT_EQ(sim.rejectedCount(), 0);

  // For a reviewer: the window after a successful Download.
  const QPixmap shot = window.grab();
  const QString name = shot.devicePixelRatio() > 1 ? "valmor-setup@2x.png" : "valmor-setup.png";
  EXPECT_TRUE(shot.save(QString(VALMOR_SCREENSHOT_DIR) + "/" + name));

  TearDown();
  sim.requestStop();
  simThread.join();
}

// Removes the capabilities that let root open any file from this thread,
// which does the open, so that file modes apply as for a user.
class FileModesApply {
 public:
  FileModesApply() {
    if (::syscall(SYS_capget, &header_, saved_) != 0) return;
    __user_cap_data_struct dropped[2] = {saved_[0], saved_[1]};
    for (int cap : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH}) {
      dropped[cap / 32].effective &= ~(1u << (cap % 32));
    }
    ok_ = ::syscall(SYS_capset, &header_, dropped) == 0;
  }
  ~FileModesApply() {
    if (ok_) ::syscall(SYS_capset, &header_, saved_);
  }
  bool ok() const { return ok_; }

 private:
  __user_cap_header_struct header_{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct saved_[2]{};
  bool ok_ = false;
};

TEST_F(ViewControllerTest, PortRefusedForLackOfPermissionSaysHowToGetAccess) {
  test::PtyDevice unit(dir_.path(), "usbserial-A1");
  ASSERT_EQ(::chmod(unit.slavePath().c_str(), 0), 0);
  {
    FileModesApply asUser;
    ASSERT_TRUE(asUser.ok());
    load();
  }
  ASSERT_TRUE(QTest::qWaitFor(
      [&] { return text(window_->textField()) != "VALMOR connected"; }, 3000))
      << log();
  EXPECT_EQ(text(window_->textField()), ViewController::permissionText(unit.path()));
  EXPECT_THAT(text(window_->textField()), HasSubstr("dialout"));
  EXPECT_EQ(unit.received(), "");
  ::chmod(unit.slavePath().c_str(), 0620);
}

}  // namespace
}  // namespace valmor
