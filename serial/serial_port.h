// SerialPort: one serial device, opened exclusively, configured, written
// synchronously and read in the background, with every event reported to a
// SerialPortDelegate on the main queue.
//
//   auto port = SerialPort::serialPortWithPath("/dev/ttyUSB0");
//   if (!port) return;                 // no such serial device
//   port->setBaudRate(42105);
//   port->setAllowsNonStandardBaudRates(true);
//   port->setParity(kParityEven);
//   port->setDelegate(handler);        // a std::shared_ptr<SerialPortDelegate>
//   port->open();                      // outcome reported to the delegate
//   port->sendData("\n");
//
// Identity. Ports are made by the static factories only. A process holds at
// most one live port object per device: while a port lives, every factory
// call for the same device (by its callout or its dial-in path) gives the
// same object. A port is identified by its callout path.
//
// Lifetime. A port lives as long as its users hold a std::shared_ptr to it;
// the library's background work refers to it weakly. When the last user
// reference to an open port goes, the port is closed in the background
// without delegate calls: no descriptor is left behind, and the device gets
// its original attributes back.
//
// Opening. open() opens the path with O_RDWR | O_NOCTTY | O_NONBLOCK |
// O_CLOEXEC, takes an exclusive flock() (refused while another descriptor or
// process holds it), puts the descriptor in blocking mode, saves the device's
// attributes, applies the line settings and drives RTS and DTR. Failures are
// reported to the delegate; a failure to open or lock leaves the port closed,
// a refused setting leaves it open.
//
// Reading. While open, the port waits for the descriptor to become readable
// on the background pool, reads at most 1024 bytes each time and hands each
// chunk to the delegate's serialPortDidReceiveData on the main queue, in
// order. When the main queue falls about a thousand chunks behind, reading
// pauses until it catches up, so the data waits in the kernel (and, with
// flow control, at the sender) instead of in memory. A device that hangs up
// (end of file, EIO, ENXIO, ENODEV) is reported once, as removal followed by
// a close, and is not read again.
//
// Closing. close() starts the close and returns at once; it completes on the
// background pool (flow control cleared, original attributes restored,
// descriptor closed, serialPortWasClosed delivered). Until then isOpen() is
// still true. open() during that time opens the port again once the close has
// completed.
//
// Modem lines. RTS and DTR are driven while open. CTS, DSR and DCD are polled
// every 10 ms while open and published on the main queue. Devices without
// modem lines (pseudo-terminals) keep RTS and DTR as stored values and are not
// polled.
//
// Observable properties (platform/observable.h), named as their getters:
// fileDescriptor and isOpen (isOpen follows fileDescriptor), baudRate,
// allowsNonStandardBaudRates, numberOfStopBits, parity,
// shouldEchoReceivedData, usesRTSCTSFlowControl, usesDTRDSRFlowControl,
// usesDCDOutputFlowControl, RTS, DTR, CTS, DSR, DCD, delegate. Each is
// announced on the thread that made the change: CTS, DSR and DCD on the main
// thread, fileDescriptor on the thread that opens and on the pool when a
// close completes, settings on the thread that set them.
//
// Threading: every member may be called from any thread; the application
// calls them on the main thread. No member waits for the main thread or for
// the background pool, except cleanupAfterSystemRemoval(), which waits for
// the delegate's removal call on the main thread (direct when called there).
// Delegate calls are never made inside the member that causes them, except
// that removal call. A close completing in the background waits for a
// sendData() still writing. Runtime failures are reported, never thrown.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "discovery/device_registry.h"
#include "platform/observable.h"
#include "platform/posix_error.h"
#include "serial/line_settings.h"
#include "serial/serial_port_delegate.h"

namespace valmor {

class ReceivedByteProcessor;

class SerialPort : public Observable, public std::enable_shared_from_this<SerialPort> {
  struct PrivateTag {};

 public:
  // ---- Making ports ----

  // The port of the serial device whose callout or dial-in path is path; the
  // live port when there is one. Empty when the path names no serial device
  // of the device registry.
  static std::shared_ptr<SerialPort> serialPortWithPath(std::string_view path);

  // The port of a device-registry entry; the live port when there is one.
  // Empty when the device has no callout path.
  static std::shared_ptr<SerialPort> serialPortWithDevice(const DeviceHandle& device);

  // The live port whose callout path is path, or empty. Never creates one.
  static std::shared_ptr<SerialPort> existingPortWithPath(std::string_view path);

  // The registry device whose callout path or dial-in path is path, or empty.
  static DeviceHandle deviceFromBSDPath(std::string_view path);

  // String properties of a device (empty when it lacks them).
  static std::string bsdCalloutPathFromDevice(const DeviceHandle& device);
  static std::string bsdDialinPathFromDevice(const DeviceHandle& device);
  static std::string baseNameFromDevice(const DeviceHandle& device);
  static std::string serviceTypeFromDevice(const DeviceHandle& device);
  static std::string modemNameFromDevice(const DeviceHandle& device);
  static std::string suffixFromDevice(const DeviceHandle& device);

  SerialPort() = delete;
  SerialPort(PrivateTag, DeviceHandle device, std::string path, std::string name);
  ~SerialPort() override;

  // ---- Opening, writing, closing ----

  // Opens the device (see the top of this file). Does nothing on a port that
  // is open. Success is reported with serialPortWasOpened, failures with
  // serialPortDidEncounterError; neither is called inside open().
  void open();

  // Starts closing an open port; the close completes on the background pool.
  // Always true.
  bool close();

  // Writes all bytes on the calling thread, waiting while the device does not
  // accept them. True when all were written or there was nothing to write;
  // false when the port is not open or a write failed (reported to the
  // delegate; the bytes not yet written are dropped).
  bool sendData(std::span<const std::uint8_t> data);
  bool sendData(std::string_view text);

  // The device has gone: tells the delegate (serialPortWasRemovedFromSystem,
  // waiting for it on the main thread), then closes.
  void cleanupAfterSystemRemoval();

  // Logs a deprecation warning, then does cleanupAfterSystemRemoval().
  [[deprecated("call cleanupAfterSystemRemoval()")]] void cleanup();

  // ---- Identity and state ----

  // True from a successful open() until its close has completed.
  bool isOpen() const { return fileDescriptor() >= 0; }
  // The open descriptor, or -1.
  int fileDescriptor() const { return fileDescriptor_.load(std::memory_order_acquire); }

  const std::string& path() const { return path_; }      // callout path
  const std::string& name() const { return name_; }      // TTY name, ttyUSB0
  const std::string& description() const { return name_; }
  const DeviceHandle& device() const { return device_; }

  // Ports are equal when their paths are.
  bool operator==(const SerialPort& other) const { return path_ == other.path_; }
  std::size_t hash() const { return std::hash<std::string>{}(path_); }

  std::shared_ptr<SerialPortDelegate> delegate() const;
  void setDelegate(std::weak_ptr<SerialPortDelegate> delegate);

  // ---- Line settings ----
  // Setting a different value on an open port applies all settings at once
  // (errors reported to the delegate); on a closed port it only stores the
  // value for the next open(). Changing a flow-control flag on an open port
  // closes it and opens it again (serialPortWasClosed, then
  // serialPortWasOpened); the setter does not wait for that.

  std::uint64_t baudRate() const;
  void setBaudRate(std::uint64_t rate);
  // Whether a rate without a B<rate> constant may be used; read at the next
  // application of the settings. When not allowed, such a rate is reported
  // as EINVAL and the device keeps its attributes.
  bool allowsNonStandardBaudRates() const;
  void setAllowsNonStandardBaudRates(bool allowed);
  // 0 or 1: one stop bit; 2 or more: two.
  std::uint64_t numberOfStopBits() const;
  void setNumberOfStopBits(std::uint64_t bits);
  // kParityNone, kParityOdd or kParityEven; any other value is stored as none.
  std::uint64_t parity() const;
  void setParity(std::uint64_t parity);
  bool shouldEchoReceivedData() const;
  void setShouldEchoReceivedData(bool echo);
  bool usesRTSCTSFlowControl() const;
  void setUsesRTSCTSFlowControl(bool uses);
  // Linux has neither; the flag is stored and applying it reports ENOTSUP
  // (the other settings are applied).
  bool usesDTRDSRFlowControl() const;
  void setUsesDTRDSRFlowControl(bool uses);
  bool usesDCDOutputFlowControl() const;
  void setUsesDCDOutputFlowControl(bool uses);

  // ---- Modem lines ----

  bool RTS() const;
  void setRTS(bool on);
  bool DTR() const;
  void setDTR(bool on);
  // Input lines as last polled; keep their values after a close.
  bool CTS() const { return cts_.load(); }
  bool DSR() const { return dsr_.load(); }
  bool DCD() const { return dcd_.load(); }

  // ---- For the library's packet detection and request queue ----

  // Runs a task on the port's request-handling queue: a strand on the
  // background pool, created with the port. Never runs it inside this call.
  void postToRequestHandlingQueue(std::function<void()> task);
  bool isOnRequestHandlingQueue() const;

  // Adds a processor of received bytes (see received_byte_processor.h).
  // Processors are called in the order added.
  void addReceivedByteProcessor(std::shared_ptr<ReceivedByteProcessor> processor);

  // Queues a delegate call to the main queue. It runs with the delegate set
  // at that time, only if it implements method; exceptions are caught and
  // logged. Does nothing once the port is gone.
  using DelegateCall = std::function<void(SerialPortDelegate&, SerialPort&)>;
  void queueDelegateCall(SerialPortDelegate::Method method, DelegateCall call);

 private:
  struct Session;
  struct Internals;
  struct DeliveryBatch;

  void openUnlessClosedSince(const std::uint64_t* closeCount);
  LineSettings settingsSnapshot() const;
  template <typename T>
  void setSetting(T LineSettings::*field, T value, std::string_view property, bool apply);
  void applySettingsLocked(const std::shared_ptr<Session>& session, const LineSettings& settings);
  void setFlowControlFlag(bool LineSettings::*flag, bool value, std::string_view property);
  void setOutputLine(bool SerialPort::*line, bool on, std::string_view property);
  void updateModemLines(const std::shared_ptr<Session>& session);
  void publishInputLines(bool cts, bool dsr, bool dcd);
  void didFinishClose(const std::shared_ptr<Session>& session, std::error_code closeError);
  void deviceDidGo(std::error_code error);
  struct Chunk;
  void receiveData(std::vector<std::shared_ptr<Chunk>> chunks);
  void deliverBatch(DeliveryBatch& batch);
  void closeDeliveryBatch();
  std::vector<std::shared_ptr<ReceivedByteProcessor>> processorsSnapshot() const;

  // Error reports: queued to the main queue, or, with wait, delivered there
  // before returning.
  void notifyDelegateOfPosixError(std::error_code error, bool wait = false);
  void callDelegate(SerialPortDelegate::Method method, const DelegateCall& call);
  void waitForDelegateCall(SerialPortDelegate::Method method, const DelegateCall& call);
  void waitOnMainQueue(std::function<void()> task);

  const DeviceHandle device_;
  const std::string path_;
  const std::string name_;
  std::atomic<int> fileDescriptor_{-1};
  std::atomic<bool> cts_{false};
  std::atomic<bool> dsr_{false};
  std::atomic<bool> dcd_{false};

  // Held while settings or output lines are put on the device, and by
  // open(), so that concurrent setters and open() reach the device in the
  // order their values were stored.
  std::mutex applyMutex_;
  mutable std::mutex mutex_;
  LineSettings settings_;                       // Guarded by mutex_.
  bool rts_ = false;                            // Guarded by mutex_.
  bool dtr_ = false;                            // Guarded by mutex_.
  std::weak_ptr<SerialPortDelegate> delegate_;  // Guarded by mutex_.
  // The open (or closing) descriptor; empty while closed. Guarded by mutex_.
  std::shared_ptr<Session> session_;
  // Open again once the current close completes. Guarded by mutex_.
  bool reopenAfterClose_ = false;
  // Calls of close(), so that a reopen that a close() overtook is dropped.
  // Guarded by mutex_.
  std::uint64_t closeCount_ = 0;

  std::unique_ptr<Internals> internals_;         // request strand and byte processors
};

}  // namespace valmor

template <>
struct std::hash<valmor::SerialPort> {
  std::size_t operator()(const valmor::SerialPort& port) const { return port.hash(); }
};
