#include "app/view_controller.h"

#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QSettings>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>
#include <cerrno>
#include <optional>

#include "app/device_finder.h"
#include "app/unit_path.h"
#include "link/serial_port_handler.h"
#include "link/upload_protocol.h"

namespace valmor {

namespace {

QComboBox* makeSelector(const char* name, QWidget* parent) {
  auto* selector = new QComboBox(parent);
  selector->setObjectName(name);
  return selector;
}

QLabel* makeCaption(const char* name, QWidget* parent) {
  auto* label = new QLabel(parent);
  label->setObjectName(name);
  return label;
}

QString toQString(const std::string& text) { return QString::fromStdString(text); }

}  // namespace

ViewController::ViewController(std::ostream& log, QWidget* parent)
    : QWidget(parent),
      log_(log),
      deviceSelectorView_(makeSelector("deviceSelectorView", this)),
      textField_(makeCaption("textField", this)),
      initializationButton_(new QPushButton(tr("&Initialize"), this)),
      downloadButton_(new QPushButton(tr("&Download"), this)),
      selectorA_(makeSelector("selectorA", this)),
      selectorB_(makeSelector("selectorB", this)),
      selectorC_(makeSelector("selectorC", this)),
      selectorD_(makeSelector("selectorD", this)),
      labelA_(makeCaption("labelA", this)),
      labelB_(makeCaption("labelB", this)),
      labelC_(makeCaption("labelC", this)),
      labelD_(makeCaption("labelD", this)),
      serialPortHandler_(SerialPortHandler::create(log)),
      timer_(new QTimer(this)) {
  initializationButton_->setObjectName("initializationButton");
  downloadButton_->setObjectName("downloadButton");
  timer_->setInterval(kRefreshIntervalMs);
  QObject::connect(timer_, &QTimer::timeout, this, [this] { updateConnectedDevices(); });
  layOutControls();
}

ViewController::~ViewController() {
  // The handler may outlive the window by the length of a delegate call;
  // its callbacks must not reach a destroyed window.
  serialPortHandler_->onOpened = nullptr;
  serialPortHandler_->onClosed = nullptr;
  serialPortHandler_->onRemoved = nullptr;
  serialPortHandler_->onError = nullptr;
  serialPortHandler_->onDataReceived = nullptr;
}

void ViewController::layOutControls() {
  setWindowTitle(tr("VALMOR Setup"));

  auto* unitCaption = new QLabel(tr("&Unit:"), this);
  unitCaption->setBuddy(deviceSelectorView_);
  deviceSelectorView_->setPlaceholderText(tr("No unit found"));
  // Long paths (a simulated unit's) are elided rather than widen the window.
  deviceSelectorView_->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
  deviceSelectorView_->setMinimumContentsLength(28);
  labelA_->setBuddy(selectorA_);
  labelB_->setBuddy(selectorB_);
  labelC_->setBuddy(selectorC_);
  labelD_->setBuddy(selectorD_);

  // The status shows the unit's answers, which the user may want to copy.
  auto* statusCaption = new QLabel(tr("Status:"), this);
  textField_->setText(tr("Looking for a VALMOR unit\u2026"));
  textField_->setTextFormat(Qt::PlainText);
  textField_->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
  textField_->setWordWrap(true);
  textField_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  textField_->setFrameShape(QFrame::StyledPanel);
  textField_->setFrameShadow(QFrame::Sunken);
  textField_->setMargin(4);
  textField_->setMinimumHeight(3 * textField_->fontMetrics().lineSpacing() + 12);
  textField_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
  statusCaption->setBuddy(textField_);

  initializationButton_->setToolTip(tr("Send the Initialize command to the unit"));
  downloadButton_->setToolTip(tr("Send the chosen strobe model's profile to the unit"));

  auto* grid = new QGridLayout;
  grid->setColumnStretch(1, 1);
  int row = 0;
  const auto addRow = [&](QLabel* caption, QWidget* field, Qt::Alignment captionAlignment) {
    grid->addWidget(caption, row, 0, captionAlignment);
    grid->addWidget(field, row, 1);
    ++row;
  };
  const Qt::Alignment centred = Qt::AlignRight | Qt::AlignVCenter;
  addRow(unitCaption, deviceSelectorView_, centred);
  addRow(labelA_, selectorA_, centred);
  addRow(labelB_, selectorB_, centred);
  addRow(labelC_, selectorC_, centred);
  addRow(labelD_, selectorD_, centred);
  addRow(statusCaption, textField_, Qt::AlignRight | Qt::AlignTop);
  grid->setRowStretch(row - 1, 1);

  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(initializationButton_);
  buttons->addWidget(downloadButton_);

  auto* layout = new QVBoxLayout(this);
  layout->addLayout(grid, 1);
  layout->addLayout(buttons);
}

QSize ViewController::sizeHint() const {
  const QFontMetrics metrics = fontMetrics();
  return QWidget::sizeHint().expandedTo(
      QSize(52 * metrics.averageCharWidth(), QWidget::sizeHint().height() + metrics.lineSpacing()));
}

void ViewController::viewDidLoad() {
  configureView();
  // The window opens at the size its filled controls ask for.
  resize(sizeHint());
  updateConnectedDevices();
  if (connectedDevices_.empty()) timer_->start();
}

void ViewController::configureView() {
  serialPortHandler_->onOpened = [this] { handlePortOpened(); };
  serialPortHandler_->onClosed = [this] { handlePortClosed(); };
  serialPortHandler_->onRemoved = [this] { handlePortRemoved(); };
  serialPortHandler_->onError = [this](const PosixError& error) { handlePortError(error); };
  serialPortHandler_->onDataReceived = [this](const std::string& text) {
    handleReceivedText(text);
  };

  QObject::connect(initializationButton_, &QPushButton::clicked, this,
                   [this] { onInitiaizeClicked(); });
  QObject::connect(downloadButton_, &QPushButton::clicked, this, [this] { onDownloadClicked(); });

  applyConfiguration(UIConfig{});
  restoreStrobeModel();
  QObject::connect(selectorA_, &QComboBox::currentIndexChanged, this,
                   [this] { rememberStrobeModel(); });
}

void ViewController::applyConfiguration(const UIConfig& config) {
  const auto fill = [](QComboBox* selector, const std::vector<std::string>& options) {
    for (const std::string& option : options) selector->addItem(toQString(option));
  };
  labelA_->setText(toQString(config.labelA + ":"));
  fill(selectorA_, config.optionsA);
  const struct {
    QLabel* label;
    QComboBox* selector;
    const std::string& caption;
    const std::vector<std::string>& options;
  } others[] = {
      {labelB_, selectorB_, config.labelB, config.optionsB},
      {labelC_, selectorC_, config.labelC, config.optionsC},
      {labelD_, selectorD_, config.labelD, config.optionsD},
  };
  for (const auto& pair : others) {
    if (pair.options.empty()) {
      pair.label->setHidden(true);
      pair.selector->setHidden(true);
    } else {
      pair.label->setText(toQString(pair.caption + ":"));
      fill(pair.selector, pair.options);
    }
  }
}

void ViewController::updateConnectedDevices() {
  DeviceIterator devices;
  std::vector<std::string> paths;
  if (DeviceFinder::findSerialServices(kIOSerialStream, devices) == kDeviceFinderSuccess) {
    paths = DeviceFinder::calloutDevicePaths(std::move(devices));
  }
  std::erase_if(paths, [](const std::string& path) { return !isUnitPath(path); });
  connectedDevices_ = std::move(paths);

  if (!connectedDevices_.empty()) {
    // Already empty at the first find and after an unplug
    // (handlePortRemoved); cleared anyway so that no unit is listed twice.
    deviceSelectorView_->clear();
    for (const std::string& path : connectedDevices_) {
      deviceSelectorView_->addItem(toQString(unitTitle(path)));
    }
    showStatus(kStatusConnected);
    deviceSelectorView_->setCurrentIndex(static_cast<int>(connectedDevices_.size()) - 1);
    timer_->stop();
    openSelectedDevice();
  }
  log_ << connectedDevices_.size() << " device found\n" << std::flush;
}

void ViewController::openSelectedDevice() {
  const int index = deviceSelectorView_->currentIndex();
  if (index < 0 || static_cast<std::size_t>(index) >= connectedDevices_.size()) return;
  serialPortHandler_->openPort(connectedDevices_[static_cast<std::size_t>(index)]);
}

void ViewController::handlePortOpened() {}

void ViewController::handlePortClosed() {}

void ViewController::handlePortRemoved() {
  deviceSelectorView_->clear();
  connectedDevices_.clear();
  timer_->start();
}

void ViewController::handlePortError(const PosixError& error) {
  // Opening is refused with EACCES when the device node belongs to a group
  // the user is not in; nothing else tells the user why the unit is silent.
  if (error.value() == EACCES || error.value() == EPERM) showStatus(permissionText(error.path));
}

std::string ViewController::permissionText(const std::string& path) {
  return "No permission to open " + path +
         ": add your user to the dialout group (sudo usermod -aG dialout $USER), then log out "
         "and in again.";
}

void ViewController::handleReceivedText(const std::string& text) { showStatus(text); }

void ViewController::onInitiaizeClicked() { initialize(*serialPortHandler_); }

void ViewController::onDownloadClicked() {
  std::optional<std::string> model;
  if (selectorA_->currentIndex() >= 0) model = selectorA_->currentText().toStdString();
  download(*serialPortHandler_, repository_, model,
           [this](const std::string& status) { showStatus(status); });
}

void ViewController::showStatus(const std::string& text) { textField_->setText(toQString(text)); }

void ViewController::restoreStrobeModel() {
  const QString remembered = QSettings().value(kStrobeModelSetting).toString();
  if (const int index = selectorA_->findText(remembered); !remembered.isEmpty() && index >= 0) {
    selectorA_->setCurrentIndex(index);
  }
}

void ViewController::rememberStrobeModel() {
  if (selectorA_->currentIndex() < 0) return;
  QSettings().setValue(kStrobeModelSetting, selectorA_->currentText());
}

}  // namespace valmor
