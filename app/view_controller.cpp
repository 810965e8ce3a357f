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
      textField_(new StatusField(this)),
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
  textField_->setObjectName("textField");
  initializationButton_->setObjectName("initializationButton");
  downloadButton_->setObjectName("downloadButton");
  timer_->setInterval(kRefreshIntervalMs);
  QObject::connect(timer_, &QTimer::timeout, this, [this] { updateConnectedDevices(); });
  layOutControls();
}

ViewController::~ViewController() {
  QSettings().setValue(kWindowGeometrySetting, saveGeometry());
  hotPlug_.reset();
  // The handler may outlive the window by the length of a delegate call;
  // its callbacks must not reach a destroyed window.
  serialPortHandler_->onOpened = nullptr;
  serialPortHandler_->onClosed = nullptr;
  serialPortHandler_->onRemoved = nullptr;
  serialPortHandler_->onError = nullptr;
  serialPortHandler_->onOpenFailed = nullptr;
  serialPortHandler_->onDataReceived = nullptr;
}

void ViewController::layOutControls() {
  setWindowTitle(tr("VALMOR Setup"));

  auto* unitCaption = new QLabel(tr("&Unit:"), this);
  unitCaption->setBuddy(deviceSelectorView_);
  deviceSelectorView_->setPlaceholderText(tr("No unit found"));
  // Long titles are elided rather than widen the window; the list shows
  // them whole.
  deviceSelectorView_->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
  deviceSelectorView_->setMinimumContentsLength(28);
  labelA_->setBuddy(selectorA_);
  labelB_->setBuddy(selectorB_);
  labelC_->setBuddy(selectorC_);
  labelD_->setBuddy(selectorD_);

  auto* statusCaption = new QLabel(tr("Status:"), this);
  textField_->setText(tr("Looking for a VALMOR unit\u2026"));
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
  // The window opens where and as large as it was left, else at the size
  // its filled controls ask for.
  if (!restoreGeometry(QSettings().value(kWindowGeometrySetting).toByteArray())) {
    resize(sizeHint());
  }
  // Subscribed before the first listing, so that no plug-in is missed.
  hotPlug_ = deviceRegistry().subscribe([this](DeviceIterator) { handleDevicesChanged(); },
                                        [this](DeviceIterator) { handleDevicesChanged(); });
  updateConnectedDevices();
}

void ViewController::configureView() {
  serialPortHandler_->onOpened = [this] { handlePortOpened(); };
  serialPortHandler_->onClosed = [this] { handlePortClosed(); };
  serialPortHandler_->onRemoved = [this] { handlePortRemoved(); };
  serialPortHandler_->onOpenFailed = [this](const PosixError& error) { handleOpenFailed(error); };
  serialPortHandler_->onDataReceived = [this](const std::string& text) {
    handleReceivedText(text);
  };

  QObject::connect(initializationButton_, &QPushButton::clicked, this,
                   [this] { onInitiaizeClicked(); });
  QObject::connect(downloadButton_, &QPushButton::clicked, this, [this] { onDownloadClicked(); });
  QObject::connect(deviceSelectorView_, &QComboBox::activated, this,
                   [this](int index) { handleUnitChosen(index); });
  // The popup's own tooltip is that of the unit it shows.
  QObject::connect(deviceSelectorView_, &QComboBox::currentIndexChanged, this, [this](int index) {
    deviceSelectorView_->setToolTip(
        deviceSelectorView_->itemData(index, Qt::ToolTipRole).toString());
  });

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
  listUnits(findUnits());
  std::shared_ptr<SerialPort> held = serialPortHandler_->serialPort();
  if (connectedDevices_.empty()) {
    if (!showingNoUnit_) showStatus(kStatusNoUnit);
    showingNoUnit_ = true;
    showingOpenFailure_ = false;
    timer_->start();
  } else if (!held) {
    deviceSelectorView_->setCurrentIndex(static_cast<int>(connectedDevices_.size()) - 1);
    openSelectedDevice();
  } else if (!held->isOpen()) {
    openSelectedDevice();  // tried again: it failed to open, or closed
  }
  log_ << connectedDevices_.size() << " device found\n" << std::flush;
}

void ViewController::handleDevicesChanged() {
  std::vector<std::string> paths;
  for (const Unit& unit : findUnits()) paths.push_back(unit.path);
  if (paths != connectedDevices_) updateConnectedDevices();
}

void ViewController::listUnits(std::vector<Unit> units) {
  const std::shared_ptr<SerialPort> held = serialPortHandler_->serialPort();
  const auto listed = [&](const std::vector<Unit>& list, const std::string& path) {
    return std::find_if(list.begin(), list.end(), [&](const Unit& u) { return u.path == path; });
  };
  if (held && listed(units, held->path()) == units.end()) {
    if (held->isOpen()) {
      // Gone from the registry but not yet hung up: kept until its removal
      // is reported, so that an open port is never dropped on hearsay.
      if (auto known = listed(units_, held->path()); known != units_.end()) units.push_back(*known);
    } else {
      serialPortHandler_->closePort();  // the unit that failed to open went
    }
  }
  for (const Unit& unit : units) {
    if (listed(units_, unit.path) == units_.end()) {
      log_ << "Found unit " << unit.title << " at " << unit.path << '\n' << std::flush;
    }
  }
  for (const Unit& unit : units_) {
    if (listed(units, unit.path) == units.end()) {
      log_ << "Unit " << unit.title << " at " << unit.path << " is gone\n" << std::flush;
    }
  }
  if (units != units_) {
    const std::shared_ptr<SerialPort> open = serialPortHandler_->serialPort();
    deviceSelectorView_->clear();
    for (const Unit& unit : units) {
      deviceSelectorView_->addItem(toQString(unit.title), toQString(unit.path));
      deviceSelectorView_->setItemData(deviceSelectorView_->count() - 1, toQString(unit.tooltip),
                                       Qt::ToolTipRole);
    }
    const auto selected = open ? listed(units, open->path()) : units.end();
    deviceSelectorView_->setCurrentIndex(
        selected == units.end() ? -1 : static_cast<int>(selected - units.begin()));
  }
  units_ = std::move(units);
  connectedDevices_.clear();
  for (const Unit& unit : units_) connectedDevices_.push_back(unit.path);
  if (!units_.empty()) showingNoUnit_ = false;
}

void ViewController::openSelectedDevice() {
  const int index = deviceSelectorView_->currentIndex();
  if (index < 0 || static_cast<std::size_t>(index) >= connectedDevices_.size()) return;
  const std::string& path = connectedDevices_[static_cast<std::size_t>(index)];
  if (auto held = serialPortHandler_->serialPort(); held && held->path() == path) {
    if (held->isOpen()) return;
  } else if (held) {
    serialPortHandler_->closePort();
  }
  openedPath_ = path;
  serialPortHandler_->openPort(path);
  // The open happens inside openPort(); why it failed is told later
  // (handleOpenFailed), and until it is open the refresh goes on.
  if (auto port = serialPortHandler_->serialPort(); port && port->isOpen()) {
    showStatus(kStatusConnected);
    showingOpenFailure_ = false;
    refreshWhileOpen();
  } else {
    timer_->start();
  }
}

void ViewController::handleUnitChosen(int index) {
  if (index != deviceSelectorView_->currentIndex()) deviceSelectorView_->setCurrentIndex(index);
  openSelectedDevice();
}

void ViewController::refreshWhileOpen() {
  // Without hot-plug events the refresh is the only way to hear of units
  // that come and go.
  if (hotPlug_) {
    timer_->stop();
  } else if (!timer_->isActive()) {
    timer_->start();
  }
}

void ViewController::handlePortOpened() {
  refreshWhileOpen();
  if (showingOpenFailure_) showStatus(kStatusConnected);
  showingOpenFailure_ = false;
}

void ViewController::handlePortClosed() {
  // The unit's port closed while the window still uses it: open it again.
  if (auto held = serialPortHandler_->serialPort(); held && !held->isOpen()) timer_->start();
}

void ViewController::handlePortRemoved() {
  std::vector<Unit> units = units_;
  std::erase_if(units, [&](const Unit& unit) { return unit.path == openedPath_; });
  listUnits(std::move(units));
  if (connectedDevices_.empty()) {
    showStatus(kStatusNoUnit);
    showingNoUnit_ = true;
    showingOpenFailure_ = false;
    timer_->start();
    return;
  }
  deviceSelectorView_->setCurrentIndex(static_cast<int>(connectedDevices_.size()) - 1);
  openSelectedDevice();
}

void ViewController::handleOpenFailed(const PosixError& error) {
  showStatus(openFailureText(unitName(error.path), error));
  showingOpenFailure_ = true;
  timer_->start();
}

std::string ViewController::permissionText(const std::string& path) {
  return "No permission to open " + path +
         ": add your user to the dialout group (sudo usermod -aG dialout $USER), then log out "
         "and in again.";
}

std::string ViewController::openFailureText(const std::string& name, const PosixError& error) {
  std::string why;
  switch (error.value()) {
    case EACCES:
    case EPERM:
      // Refused when the device node belongs to a group the user is not in.
      return permissionText(error.path);
    case EWOULDBLOCK:
    case EBUSY:
      why = "it is in use by another program";
      break;
    case ENOTTY:
      why = "it is not a serial device";
      break;
    default:
      why = error.message();
      break;
  }
  return "Cannot open the unit " + name + ": " + why + ". Trying again every second.";
}

void ViewController::handleReceivedText(const std::string& text) { showStatus(text); }

void ViewController::onInitiaizeClicked() { initialize(*serialPortHandler_); }

void ViewController::onDownloadClicked() {
  std::optional<std::string> model;
  if (selectorA_->currentIndex() >= 0) model = selectorA_->currentText().toStdString();
  download(*serialPortHandler_, repository_, model,
           [this](const std::string& status) { showStatus(status); });
}

void ViewController::showStatus(const std::string& text) {
  textField_->setText(toQString(text));
}

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
