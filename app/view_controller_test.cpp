// The window as a user meets it: real widgets on the offscreen platform, real
// clicks, and units played by pseudo-terminals published in a temporary
// device directory (link/testing/pty_device.h records every byte; the
// simulated unit of tools/ answers like the real one).
#include "app/view_controller.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <linux/capability.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QScrollBar>
#include <QStyle>
#include <QStyleOptionComboBox>
#include <QSettings>
#include <QTest>
#include <QTimer>
#include <sstream>
#include <thread>

#include "valmor/discovery/device_registry_directory.h"
#include "discovery/testing/fake_device_registry.h"
#include "link/serial_port_handler.h"
#include "link/testing/pty_device.h"
#include "platform/testing/temp_dir.h"
#include "platform/unique_fd.h"
#include "serial/lines/terminal_attributes.h"
#include "tools/sim/simulated_unit.h"
#include "tools/testing/download_stream.h"

extern char** environ;

namespace valmor::test {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

std::vector<std::string> items(const QComboBox* popup) {
  std::vector<std::string> out;
  for (int i = 0; i < popup->count(); ++i) out.push_back(popup->itemText(i).toStdString());
  return out;
}

std::string text(const QLabel* label) { return label->text().toStdString(); }
std::string text(const StatusField* field) { return field->text().toStdString(); }

int countLines(const std::string& log, const std::string& line) {
  int n = 0;
  std::istringstream in(log);
  for (std::string l; std::getline(in, l);) n += l == line ? 1 : 0;
  return n;
}

// Another program that holds a device open and locked, as a terminal
// program or a second copy of the app would: flock(1) on the device, until
// release().
class LockHolder {
 public:
  explicit LockHolder(const std::string& path) {
    int in[2];
    int out[2];
    if (::pipe2(in, O_CLOEXEC) != 0) return;
    UniqueFd childIn(in[0]);
    input_.reset(in[1]);
    if (::pipe2(out, O_CLOEXEC) != 0) return;
    UniqueFd childOut(out[1]);
    output_.reset(out[0]);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, childIn.get(), STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, childOut.get(), STDOUT_FILENO);
    const char* argv[] = {"flock", "--exclusive", path.c_str(), "sh", "-c",
                          "echo locked; exec cat >/dev/null", nullptr};
    if (::posix_spawnp(&pid_, "flock", &actions, nullptr, const_cast<char**>(argv), environ) != 0) {
      pid_ = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    childOut.reset();
    // The shell speaks once flock holds the lock.
    pollfd ready{output_.get(), POLLIN, 0};
    char word[16];
    held_ = pid_ > 0 && ::poll(&ready, 1, 5000) == 1 && ::read(output_.get(), word, sizeof word) > 0;
  }
  ~LockHolder() { release(); }
  LockHolder(const LockHolder&) = delete;
  LockHolder& operator=(const LockHolder&) = delete;

  bool held() const { return held_; }
  // The program ends, and with it the lock.
  void release() {
    input_.reset();
    if (pid_ > 0) ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  UniqueFd input_;
  UniqueFd output_;
  pid_t pid_ = -1;
  bool held_ = false;
};

// A simulated unit served on a thread of its own, in `dir`.
class RunningSim {
 public:
  explicit RunningSim(const std::string& dir) : unit(dir, log_) {
    if (unit.plug()) thread_ = std::thread([this] { unit.run(); });
  }
  ~RunningSim() {
    if (!thread_.joinable()) return;
    unit.requestStop();
    thread_.join();
  }
  bool ready() const { return thread_.joinable(); }

  std::ostringstream log_;
  SimulatedUnit unit;

 private:
  std::thread thread_;
};

class ViewControllerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.path().empty());
    setDeviceRegistryForTesting(std::make_shared<DirectoryDeviceRegistry>(dir_.path()));
    QSettings().clear();
  }

  void TearDown() override {
    closeWindow();
    setDeviceRegistryForTesting(nullptr);
  }

  void closeWindow() {
    if (!window_) return;
    // Let an open port close properly before its device goes.
    if (auto port = window_->serialPortHandler().serialPort(); port && port->isOpen()) {
      port->close();
      (void)QTest::qWaitFor([&] { return !port->isOpen(); }, 3000);
    }
    // The handler goes with the window: nothing of a port still closing may
    // reach it later, since it logs to log_, which goes with this fixture.
    const std::weak_ptr<SerialPortHandler> handler = window_->serialPortHandler().shared_from_this();
    window_.reset();
    EXPECT_TRUE(QTest::qWaitFor([&] { return handler.expired(); }, 3000));
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
  std::string status() const { return text(window_->textField()); }
  // Downloads RED64 and waits until `unit` has all of it.
  void downloadTo(PtyDevice& unit) {
    chooseLastStrobeModel();
    unit.clearReceived();
    click(window_->downloadButton());
    const std::string upload = downloadStream("RED64");
    ASSERT_TRUE(unit.waitForBytes(upload.size(), std::chrono::seconds(3))) << log();
    EXPECT_EQ(unit.received(), upload);
  }

  TempDir dir_{"app-test"};
  std::ostringstream log_;  // outlives the window, whose handler logs to it
  std::unique_ptr<ViewController> window_;
};

TEST_F(ViewControllerTest, UnitPresentAtLaunchIsListedAndOpenedWithoutATimer) {
  PtyDevice unit(dir_.path(), "usbserial-A1");
  ASSERT_TRUE(unit.ready());
  ViewController& window = load();

  EXPECT_THAT(items(window.deviceSelectorView()), ElementsAre("usbserial-A1"));
  EXPECT_EQ(window.deviceSelectorView()->itemData(0, Qt::ToolTipRole).toString().toStdString(),
            unit.path());
  EXPECT_EQ(window.deviceSelectorView()->currentIndex(), 0);
  EXPECT_EQ(text(window.textField()), "VALMOR connected");
  EXPECT_FALSE(window.timer().isActive());
  ASSERT_TRUE(QTest::qWaitFor([&] { return unit.received() == "\n"; }, 3000)) << log();
  EXPECT_TRUE(opened(unit.path()));
  EXPECT_EQ(readBaudRate(unit.masterFd()), 42105u);
  EXPECT_EQ(window.serialPortHandler().serialPort()->parity(), kParityEven);
  EXPECT_EQ(countLines(log(), "1 device found"), 1) << log();
  EXPECT_EQ(countLines(log(), "Found unit usbserial-A1 at " + unit.path()), 1) << log();
  EXPECT_FALSE(window.timer().isActive());
}

// How often the window looks for a unit.
class ViewControllerTimingTest : public ViewControllerTest {};

TEST_F(ViewControllerTimingTest, RefreshRunsEverySecondUntilAUnitIsPluggedIn) {
  ViewController& window = load();
  EXPECT_TRUE(window.timer().isActive());
  QTest::qWait(2200);  // the searches of 2.2 s counted
  // At start, then about once a second.
  const int searches = countLines(log(), "0 device found");
  EXPECT_GE(searches, 2) << log();
  EXPECT_LE(searches, 4) << log();
  EXPECT_EQ(window.deviceSelectorView()->count(), 0);
  EXPECT_EQ(text(window.textField()), "No unit found. Plug in the VALMOR unit.");

  PtyDevice unit(dir_.path(), "usbserial-LATE");
  ASSERT_TRUE(QTest::qWaitFor([&] { return unit.received() == "\n"; }, 3000)) << log();
  EXPECT_THAT(items(window.deviceSelectorView()), ElementsAre("usbserial-LATE"));
  EXPECT_EQ(text(window.textField()), "VALMOR connected");
  EXPECT_FALSE(window.timer().isActive());
  const std::string afterFound = log();
  QTest::qWait(1300);  // no more searches
  EXPECT_EQ(countLines(log(), "0 device found") + countLines(log(), "1 device found"),
            countLines(afterFound, "0 device found") + 1)
      << "the refresh did not stop:\n" << log();
}

TEST_F(ViewControllerTest, EveryUnitIsListedInRegistryOrderAndTheLastIsOpened) {
  // Listed by name: "USBSerial-1" < "modem-1" < "ttyUSB7".
  PtyDevice first(dir_.path(), "USBSerial-1");
  PtyDevice modem(dir_.path(), "modem-1");
  PtyDevice second(dir_.path(), "ttyUSB7");
  ViewController& window = load();

  EXPECT_THAT(window.connectedDevices(), ElementsAre(first.path(), second.path()));
  EXPECT_THAT(items(window.deviceSelectorView()), ElementsAre("USBSerial-1", "ttyUSB7"));
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

TEST_F(ViewControllerTest, StrobeModelAndWindowPlaceChosenLastAreRestoredAtTheNextStart) {
  load();
  EXPECT_EQ(window_->selectorA()->currentText(), "Ikelite Ds160");
  chooseLastStrobeModel();
  ASSERT_EQ(window_->selectorA()->currentText(), "RED64");
  const QRect place(window_->pos() + QPoint(37, 21), window_->size() + QSize(90, 60));
  window_->setGeometry(place);
  ASSERT_TRUE(QTest::qWaitFor([&] { return window_->geometry() == place; }, 3000));
  window_.reset();

  load();
  EXPECT_EQ(window_->selectorA()->currentText(), "RED64");
  EXPECT_EQ(window_->geometry(), place);
}

TEST_F(ViewControllerTest, ButtonsSendExactlyTheSequencesAndTheAnswerReplacesTheStatus) {
  PtyDevice unit(dir_.path(), "usbserial-A1");
  ViewController& window = load();
  ASSERT_TRUE(QTest::qWaitFor([&] { return unit.received() == "\n"; }, 3000)) << log();
  chooseLastStrobeModel();

  unit.clearReceived();
  click(window.downloadButton());
  EXPECT_EQ(text(window.textField()), "Loading");
  const std::string upload = downloadStream("RED64");
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
  QTest::qWait(50);  // nothing more is written
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
  EXPECT_EQ(text(window.textField()), "No unit found. Plug in the VALMOR unit.");
  click(window.downloadButton());
  EXPECT_EQ(text(window.textField()), "Upload failed");

  sim.requestPlug();
  ASSERT_TRUE(QTest::qWaitFor([&] { return opens() == 2; }, 4000)) << log();
  EXPECT_THAT(items(window.deviceSelectorView()), ElementsAre("usbserial-SIM0"));
  EXPECT_EQ(window.deviceSelectorView()->toolTip().toStdString(), path);
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

  closeWindow();
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
  PtyDevice unit(dir_.path(), "usbserial-A1");
  ASSERT_EQ(::chmod(unit.slavePath().c_str(), 0), 0);
  {
    FileModesApply asUser;
    ASSERT_TRUE(asUser.ok());
    load();
  }
  ASSERT_TRUE(QTest::qWaitFor(
      [&] { return text(window_->textField()) == ViewController::permissionText(unit.path()); },
      3000))
      << text(window_->textField()) << "\n" << log();
  EXPECT_THAT(text(window_->textField()), HasSubstr("dialout"));
  EXPECT_EQ(unit.received(), "");
  ::chmod(unit.slavePath().c_str(), 0620);
}

// The other program lets go after 2 s: the window shows why the unit is
// silent meanwhile, tries again every second, and then uses it.
TEST_F(ViewControllerTest, UnitInUseAtStartIsShownAndOpenedOnceTheOtherProgramLetsGo) {
  PtyDevice unit(dir_.path(), "usbserial-A1");
  LockHolder other(unit.slavePath());
  ASSERT_TRUE(other.held());
  ViewController& window = load();
  const std::string inUse =
      "Cannot open the unit usbserial-A1: it is in use by another program. Trying again every "
      "second.";
  ASSERT_TRUE(QTest::qWaitFor([&] { return status() == inUse; }, 3000)) << status() << log();
  EXPECT_TRUE(window.timer().isActive());

  EXPECT_TRUE(QTest::qWaitFor([&] { return countLines(log(), "1 device found") >= 2; }, 5000))
      << "not tried again:\n" << log();
  EXPECT_EQ(status(), inUse);
  other.release();
  ASSERT_TRUE(QTest::qWaitFor([&] { return unit.received() == "\n"; }, 3000)) << log();
  EXPECT_EQ(status(), "VALMOR connected");
  EXPECT_FALSE(window.timer().isActive());
  downloadTo(unit);
}

TEST_F(ViewControllerTest, LinkToANonSerialDeviceIsShownAndTriedUntilRemoved) {
  const std::string link = dir_.path() + "/cu.usbserial-NUL";
  ASSERT_EQ(::symlink("/dev/null", link.c_str()), 0);
  ViewController& window = load();
  ASSERT_TRUE(QTest::qWaitFor([&] { return status().find("not a serial device") != std::string::npos; },
                              3000))
      << status() << log();
  EXPECT_EQ(status(),
            "Cannot open the unit usbserial-NUL: it is not a serial device. Trying again every "
            "second.");
  const auto tries = [&] { return countLines(log(), "1 device found"); };
  EXPECT_TRUE(QTest::qWaitFor([&] { return tries() >= 2; }, 3000)) << log();

  ASSERT_EQ(::unlink(link.c_str()), 0);
  ASSERT_TRUE(QTest::qWaitFor([&] { return status() == kStatusNoUnit; }, 3000)) << log();
  EXPECT_FALSE(window.serialPortHandler().serialPort());
  EXPECT_EQ(window.deviceSelectorView()->count(), 0);
}

TEST_F(ViewControllerTest, UnitChosenInThePopupIsOpenedAndTheOnlyOneDownloadedTo) {
  PtyDevice first(dir_.path(), "usbserial-A1");
  PtyDevice second(dir_.path(), "usbserial-B2");
  ViewController& window = load();
  ASSERT_TRUE(QTest::qWaitFor([&] { return second.received() == "\n"; }, 3000)) << log();

  window.deviceSelectorView()->setFocus();
  QTest::keyClick(window.deviceSelectorView(), Qt::Key_Up);
  EXPECT_EQ(window.deviceSelectorView()->currentText(), "usbserial-A1");
  ASSERT_TRUE(QTest::qWaitFor([&] { return first.received() == "\n"; }, 3000)) << log();
  EXPECT_TRUE(opened(first.path()));
  EXPECT_TRUE(QTest::qWaitFor(
      [&] { return countLines(log(), "Serial port usbserial-B2 was closed") == 1; }, 3000))
      << log();
  second.clearReceived();
  downloadTo(first);
  EXPECT_EQ(second.received(), "");

  // Units plugged in and pulled out meanwhile are listed; the open one stays
  // selected and open.
  {
    PtyDevice third(dir_.path(), "usbserial-C3");
    ASSERT_TRUE(QTest::qWaitFor([&] { return window.deviceSelectorView()->count() == 3; }, 3000))
        << log();
    EXPECT_THAT(items(window.deviceSelectorView()),
                ElementsAre("usbserial-A1", "usbserial-B2", "usbserial-C3"));
    EXPECT_EQ(window.deviceSelectorView()->currentText(), "usbserial-A1");
  }
  ASSERT_TRUE(QTest::qWaitFor([&] { return window.deviceSelectorView()->count() == 2; }, 3000))
      << log();
  EXPECT_EQ(window.deviceSelectorView()->currentText(), "usbserial-A1");
  EXPECT_TRUE(opened(first.path()));
}

TEST_F(ViewControllerTest, LongAnswerWrapsAnywhereAndNeverWidensTheWindow) {
  PtyDevice unit(dir_.path(), "usbserial-A1");
  ViewController& window = load();
  ASSERT_TRUE(QTest::qWaitFor([&] { return opened(unit.path()); }, 3000)) << log();
  const QSize size = window.size();
  for (const int length : {40, 100, 3000}) {
    std::string answer;
    for (int i = 0; i < length; ++i) answer += static_cast<char>('A' + i % 26);
    // Handed over as the port hands over a chunk.
    window.serialPortHandler().serialPortDidReceiveData(
        *window.serialPortHandler().serialPort(),
        {reinterpret_cast<const std::uint8_t*>(answer.data()), answer.size()});
    QApplication::sendPostedEvents();
    QApplication::processEvents();
    EXPECT_EQ(status(), answer);
    EXPECT_EQ(window.size(), size) << length << " characters";
    EXPECT_LE(window.minimumSizeHint().width(), size.width()) << length << " characters";
  }
}

TEST_F(ViewControllerTest, RegistryWithoutHotPlugIsRefreshedEverySecondWhileAUnitIsOpen) {
  PtyDevice first(dir_.path(), "ttyUSB0");
  PtyDevice second(dir_.path(), "ttyUSB1");
  auto registry = std::make_shared<FakeDeviceRegistry>();
  registry->setSubscribeFails(true);
  registry->setDevices({FakeDeviceRegistry::device(first.path(), "ttyUSB0")});
  setDeviceRegistryForTesting(registry);
  ViewController& window = load();
  ASSERT_TRUE(QTest::qWaitFor([&] { return first.received() == "\n"; }, 3000)) << log();

  registry->addDevice(FakeDeviceRegistry::device(second.path(), "ttyUSB1"));
  EXPECT_TRUE(QTest::qWaitFor([&] { return window.deviceSelectorView()->count() == 2; }, 3000)) << log();
  EXPECT_EQ(window.deviceSelectorView()->currentText(), "ttyUSB0");
}

TEST_F(ViewControllerTest, UnitsAreShownByNameAndAdapterWithTheirPathInTheTooltip) {
  PtyDevice plain(dir_.path(), "ttyUSB0");
  PtyDevice adapter(dir_.path(), "ttyUSB1");
  auto properties = FakeDeviceRegistry::device(adapter.path(), "ttyUSB1")->properties();
  properties.insert({{"USBVendorName", "FTDI"},
                     {"USBProductName", "FT232R USB UART"},
                     {"USBSerialNumber", "A10K3M8P"}});
  auto registry = std::make_shared<FakeDeviceRegistry>();
  registry->setDevices({FakeDeviceRegistry::device(plain.path(), "ttyUSB0"),
                        std::make_shared<const Device>(properties)});
  setDeviceRegistryForTesting(registry);

  ViewController& window = load();
  EXPECT_THAT(items(window.deviceSelectorView()),
              ElementsAre("ttyUSB0", "ttyUSB1 \u2014 FT232R USB UART, serial A10K3M8P"));
  EXPECT_EQ(window.deviceSelectorView()->itemData(1, Qt::ToolTipRole).toString().toStdString(),
            adapter.path() + "\nMaker: FTDI\nProduct: FT232R USB UART\nSerial number: A10K3M8P");
  EXPECT_TRUE(QTest::qWaitFor([&] { return adapter.received() == "\n"; }, 3000)) << log();
  EXPECT_THAT(log(), HasSubstr("Found unit ttyUSB0 at " + plain.path() + "\n"));
}

// Whether a popup shows its current text whole, not elided.
bool showsWholeText(const QComboBox* popup) {
  QStyleOptionComboBox option;
  option.initFrom(popup);
  option.subControls = QStyle::SC_All;
  option.currentText = popup->currentText();
  const QRect field =
      popup->style()->subControlRect(QStyle::CC_ComboBox, &option, QStyle::SC_ComboBoxEditField, popup);
  return popup->fontMetrics().horizontalAdvance(popup->currentText()) <= field.width();
}

// Pictures of the window, next to the build, at its opening size and a
// larger one, with the simulated unit (after a Download) and with two. The
// suite runs again at QT_SCALE_FACTOR=2 (app_screenshots_at_scale_2). What
// the pictures show is checked through the widgets.
TEST_F(ViewControllerTest, ScreenshotsAtTwoSizesReadWell) {
  const double scale = qEnvironmentVariableIsSet("QT_SCALE_FACTOR")
                           ? qEnvironmentVariable("QT_SCALE_FACTOR").toDouble()
                           : 1.0;
  for (const int units : {1, 2}) {
    SCOPED_TRACE(std::to_string(units) + " unit(s)");
    std::vector<std::unique_ptr<RunningSim>> sims;
    for (int i = 0; i < units; ++i) {
      sims.push_back(std::make_unique<RunningSim>(dir_.path()));
      ASSERT_TRUE(sims.back()->ready());
    }
    const std::string shown = "usbserial-SIM" + std::to_string(units - 1);
    QSettings().remove(kWindowGeometrySetting);  // at the size it opens with
    ViewController& window = load();
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return countLines(log(), "Serial port " + shown + " was opened") == 1; }, 3000))
        << log();
    if (units == 1) {
      chooseLastStrobeModel();
      click(window.downloadButton());
      ASSERT_TRUE(QTest::qWaitFor(
          [&] { return status().find("VALMOR SIM: profile RED64 stored OK") != std::string::npos; },
          3000))
          << status() << log();
    }
    const std::string shownStatus = status();

    const QSize opening = window.size();
    const int popupOpening = window.deviceSelectorView()->width();
    const int statusOpening = window.textField()->width();
    for (const QSize size : {opening, QSize(opening.width() * 3 / 2, opening.height() * 5 / 4)}) {
      SCOPED_TRACE(std::to_string(size.width()) + "x" + std::to_string(size.height()));
      window.resize(size);
      ASSERT_TRUE(QTest::qWaitFor([&] { return window.size() == size; }, 3000));
      QApplication::sendPostedEvents();
      QApplication::processEvents();
      const QPixmap shot = window.grab();
      EXPECT_DOUBLE_EQ(shot.devicePixelRatio(), scale);
      const QString name = QString("valmor-setup-%1-unit%2-%3x%4@%5x.png")
                               .arg(units)
                               .arg(units > 1 ? "s" : "")
                               .arg(size.width())
                               .arg(size.height())
                               .arg(scale);
      EXPECT_TRUE(shot.save(QString(VALMOR_SCREENSHOT_DIR) + "/" + name));

      EXPECT_EQ(window.size(), size);
      EXPECT_EQ(window.deviceSelectorView()->currentText().toStdString(), shown);
      EXPECT_TRUE(showsWholeText(window.deviceSelectorView()));
      EXPECT_EQ(status(), shownStatus);
      EXPECT_EQ(window.textField()->verticalScrollBar()->maximum(), 0) << "the status scrolls";
      for (const QWidget* control : window.findChildren<QWidget*>()) {
        if (!control->isVisible() || !(qobject_cast<const QLabel*>(control) ||
                                       qobject_cast<const QPushButton*>(control))) {
          continue;
        }
        EXPECT_GE(control->width(), control->sizeHint().width()) << control->objectName().toStdString();
        EXPECT_GE(control->height(), control->sizeHint().height()) << control->objectName().toStdString();
      }
      // The popup and the status field take what the window grew by.
      EXPECT_EQ(window.deviceSelectorView()->width() - popupOpening, size.width() - opening.width());
      EXPECT_EQ(window.textField()->width() - statusOpening, size.width() - opening.width());
    }
    closeWindow();
  }
}

}  // namespace
}  // namespace valmor::test
