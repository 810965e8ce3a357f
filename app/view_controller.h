// ViewController: the app's one window. It looks for connected VALMOR units,
// lists them in deviceSelectorView and opens the last one found through its
// SerialPortHandler; fills the strobe model popup (selectorA) from UIConfig;
// runs Initialize and Download from its two buttons; and shows status texts
// and the unit's answers in textField.
//
//   ViewController window;      // builds the controls
//   window.viewDidLoad();       // wires them and looks for a unit
//   window.show();
//
// Finding the unit: updateConnectedDevices() lists the serial devices
// (DeviceFinder), keeps the units (unit_path.h) and logs "N device found".
// When none is found it runs again every second from `timer` until one is;
// the first refresh that finds one lists them all, shows "VALMOR connected",
// stops the timer and opens the last. The window then leaves the devices
// alone, until the handler loses its port because the unit was unplugged:
// the popup is emptied and the refresh resumes, so that the unit is found
// and opened again when it is plugged back in.
//
// Beyond that: the strobe model chosen last is remembered (QSettings, key
// kStrobeModelSetting) and chosen again at the next start; a port that
// cannot be opened for lack of permission puts a line in textField saying
// how to get access.
//
// Log lines go to the stream given at creation (standard output for the
// app), one per event, together with the handler's.
//
// Threading: GUI thread only. The handler's callbacks arrive there through
// the main queue, which must be the Qt one (qt_main_queue.h).
#pragma once

#include <QWidget>
#include <iostream>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "app/ui_config.h"
#include "platform/posix_error.h"
#include "profile/repository.h"

class QComboBox;
class QLabel;
class QPushButton;
class QTimer;

namespace valmor {

class SerialPortHandler;

inline constexpr const char* kStrobeModelSetting = "strobeModel";
inline constexpr const char* kStatusConnected = "VALMOR connected";
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
  QLabel* textField() const { return textField_; }
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
  // Callout paths of the units the last refresh found, in registry order.
  const std::vector<std::string>& connectedDevices() const { return connectedDevices_; }
  // The refresh timer; active only while the window looks for a unit.
  const QTimer& timer() const { return *timer_; }

  // Once, after creation: configureView(), one refresh, and the 1-second
  // refresh timer when that found no unit.
  virtual void viewDidLoad();
  // Wires the handler's callbacks and the buttons, and applies UIConfig.
  virtual void configureView();
  // Lists the units; see the top of this file.
  virtual void updateConnectedDevices();
  // Opens the unit selected in deviceSelectorView through the handler.
  virtual void openSelectedDevice();
  virtual void handlePortOpened();
  virtual void handlePortClosed();
  // The handler lost its port (the unit was unplugged): looks again.
  virtual void handlePortRemoved();
  // Shows a permission failure of the port; other errors are only logged.
  virtual void handlePortError(const PosixError& error);
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

 private:
  void layOutControls();
  void showStatus(const std::string& text);
  void restoreStrobeModel();
  void rememberStrobeModel();

  std::ostream& log_;

  QComboBox* deviceSelectorView_;
  QLabel* textField_;
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
  QTimer* timer_;
};

}  // namespace valmor
