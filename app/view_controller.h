// ViewController: the app's one window. It looks for connected VALMOR units,
// lists them in deviceSelectorView and opens one through its
// SerialPortHandler; fills the strobe model popup (selectorA) from UIConfig;
// runs Initialize and Download from its two buttons; and shows status texts
// and the unit's answers in textField.
//
//   ViewController window;      // builds the controls
//   window.viewDidLoad();       // wires them and looks for a unit
//   window.show();
//
// Finding the unit: updateConnectedDevices() lists the units (unit_list.h)
// and logs "N device found". It runs at start, every second from `timer`
// while no unit is open, and whenever the registry reports a device plugged
// in or pulled out (then only when the units listed changed); a registry
// that cannot report hot plug is refreshed every second throughout. While
// no unit is listed the status says to plug one in. When there are units and
// none is open, the last is selected, shown as "VALMOR connected" once its
// port has opened, and kept open; units that come and go meanwhile are
// listed, and the open one stays selected. Choosing another unit in the
// popup closes the open port and opens the chosen one: the unit the popup
// shows is always the unit Download writes to.
//
// A unit whose port fails to open (in use by another program, no
// permission, not a serial device) is shown as such in textField, in one
// line, and tried again every second until it opens or is no longer listed.
// A unit that is pulled out is dropped from the popup, and another one
// present is opened.
//
// Beyond that: the strobe model chosen last and the window's size and
// position are remembered (QSettings) and restored at the next start. The
// status field wraps long answers anywhere and scrolls; it never widens the
// window. Each unit's item shows its device name and the adapter's product
// and serial number where known; its tooltip and the log give the full
// path.
//
// Log lines go to the stream given at creation (standard output for the
// app), one per event, together with the handler's.
//
// Threading: GUI thread only. The handler's callbacks and the registry's
// hot-plug events arrive there through the main queue, which must be the Qt
// one (qt_main_queue.h).
#pragma once

#include <QWidget>
#include <iostream>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "app/status_field.h"
#include "app/ui_config.h"
#include "app/unit_list.h"
#include "valmor/discovery/device_registry.h"
#include "valmor/platform/posix_error.h"
#include "profile/repository.h"

class QComboBox;
class QLabel;
class QPushButton;
class QTimer;

namespace valmor {

class SerialPortHandler;

inline constexpr const char* kStrobeModelSetting = "strobeModel";
inline constexpr const char* kWindowGeometrySetting = "windowGeometry";
inline constexpr const char* kStatusConnected = "VALMOR connected";
inline constexpr const char* kStatusNoUnit = "No unit found. Plug in the VALMOR unit.";
inline constexpr int kRefreshIntervalMs = 1000;

class ViewController : public QWidget {
 public:
  // Builds the window's controls, with the popups empty. Log lines go to
  // `log`, which must outlive the controller.
  explicit ViewController(std::ostream& log = std::cout, QWidget* parent = nullptr);
  ~ViewController() override;

  ViewController(const ViewController&) = delete;
  ViewController& operator=(const ViewController&) = delete;

  // The controls, each also findable by its name as objectName.
  QComboBox* deviceSelectorView() const { return deviceSelectorView_; }
  StatusField* textField() const { return textField_; }
  QPushButton* initializationButton() const { return initializationButton_; }
  QPushButton* downloadButton() const { return downloadButton_; }
  QComboBox* selectorA() const { return selectorA_; }
  QComboBox* selectorB() const { return selectorB_; }
  QComboBox* selectorC() const { return selectorC_; }
  QComboBox* selectorD() const { return selectorD_; }
  QLabel* labelA() const { return labelA_; }
  QLabel* labelB() const { return labelB_; }
  QLabel* labelC() const { return labelC_; }
  QLabel* labelD() const { return labelD_; }

  const Repository& repository() const { return repository_; }
  SerialPortHandler& serialPortHandler() const { return *serialPortHandler_; }
  // Callout paths of the units listed in deviceSelectorView, in its order.
  const std::vector<std::string>& connectedDevices() const { return connectedDevices_; }
  // The refresh timer; active while no unit is open (and always when the
  // registry cannot report hot plug).
  const QTimer& timer() const { return *timer_; }

  // Once, after creation: configureView(), the remembered window geometry,
  // the registry's hot-plug events, and one refresh.
  virtual void viewDidLoad();
  // Wires the handler's callbacks and the buttons, and applies UIConfig.
  virtual void configureView();
  // Lists the units; see the top of this file.
  virtual void updateConnectedDevices();
  // Opens the unit selected in deviceSelectorView through the handler,
  // unless it is open already.
  virtual void openSelectedDevice();
  // The user chose the unit at `index` in deviceSelectorView.
  virtual void handleUnitChosen(int index);
  virtual void handlePortOpened();
  virtual void handlePortClosed();
  // The handler lost its port (the unit was unplugged): drops the unit and
  // opens another one present, or looks again.
  virtual void handlePortRemoved();
  // Shows why the selected unit's port did not open; it is tried again.
  virtual void handleOpenFailed(const PosixError& error);
  // Replaces the status text with text received from the unit.
  virtual void handleReceivedText(const std::string& text);
  virtual void onInitiaizeClicked();
  virtual void onDownloadClicked();

  // Fills the captions and option selectors from `config`: the first pair
  // always, the others only when they have options (hidden otherwise).
  void applyConfiguration(const UIConfig& config);

  // Room for a unit's path and a two-line answer, at any scale.
  QSize sizeHint() const override;

  // The status line shown when the unit's port may not be opened.
  static std::string permissionText(const std::string& path);
  // The one-line status shown when the port of the unit `name` failed to
  // open with `error` (which carries the unit's path).
  static std::string openFailureText(const std::string& name, const PosixError& error);

 private:
  void layOutControls();
  void showStatus(const std::string& text);
  // Lists `units` in deviceSelectorView and connectedDevices, keeping the
  // held port's unit selected; logs units that came and went.
  void listUnits(std::vector<Unit> units);
  // Refreshes after a hot-plug event when the units listed have changed.
  void handleDevicesChanged();
  // A unit is open: the refresh stops, unless the registry gives no
  // hot-plug events; then it goes on every second.
  void refreshWhileOpen();
  void restoreStrobeModel();
  void rememberStrobeModel();

  std::ostream& log_;

  QComboBox* deviceSelectorView_;
  StatusField* textField_;
  QPushButton* initializationButton_;
  QPushButton* downloadButton_;
  QComboBox* selectorA_;
  QComboBox* selectorB_;
  QComboBox* selectorC_;
  QComboBox* selectorD_;
  QLabel* labelA_;
  QLabel* labelB_;
  QLabel* labelC_;
  QLabel* labelD_;

  Repository repository_;
  std::shared_ptr<SerialPortHandler> serialPortHandler_;
  std::vector<std::string> connectedDevices_;
  std::vector<Unit> units_;  // as listed, in the same order
  std::string openedPath_;  // of the unit last given to the handler to open
  QTimer* timer_;
  std::unique_ptr<DeviceSubscription> hotPlug_;
  bool showingOpenFailure_ = false;
  bool showingNoUnit_ = false;
};

}  // namespace valmor
