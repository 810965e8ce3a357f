// SerialPort: one serial device, opened exclusively, configured, written
// synchronously and read in the background, with every event reported to a
// SerialPortDelegate on the main queue (or, when asked, on the library's own
// threads).
//
//   auto port = SerialPort::serialPortWithPath("/dev/ttyUSB0");
//   if (!port) return;                 // no such serial device
//   port->setBaudRate(42105);
//   port->setAllowsNonStandardBaudRates(true);
//   port->setParity(kParityEven);
//   port->setDelegate(handler);        // a std::shared_ptr<SerialPortDelegate>
//   port->open();                      // outcome reported to the delegate
//   if (!port->sendData("\n")) ...     // failure reported to the delegate
//
// Identity. Ports are made by the static factories only. A process holds at
// most one live port object per device: while a port lives, every factory
// call for the same device (by its callout or its dial-in path) gives the
// same object. A port is identified by its callout path.
//
// Lifetime. A port lives as long as its users hold a std::shared_ptr to it.
// Once a close has begun (by close(), a hang-up, or a removal), the port
// keeps itself alive until serialPortWasClosed has been delivered, so a
// delegate may drop its reference inside the removal call and still hear of
// the close. A port whose last user drops it while it is open and nothing is
// closing it is closed in the background without delegate calls: no
// descriptor is left behind, and the device gets its attributes back.
//
// Opening. open() opens the path with O_RDWR | O_NOCTTY | O_NONBLOCK |
// O_CLOEXEC and takes an exclusive flock() (refused while another descriptor
// or process holds it), saves the device's attributes, applies the line
// settings and drives RTS and DTR. The descriptor stays non-blocking. A
// failure to open or lock leaves the port closed; a refused setting leaves it
// open. serialPortWasOpened comes before any received byte.
//
// Reading. While open, a thread of the port's own waits for the device and
// takes what is waiting in one read() (up to 64 KiB), cuts it into chunks of
// at most 1024 bytes and hands each to the delegate's
// serialPortDidReceiveData, in order, a bounded slice at a time so that a
// fast line never starves the main thread. When the delegate falls about
// 1 MiB behind, reading pauses until it catches up, so the data waits in
// the kernel (and, with flow control, at the sender) instead of in memory.
// A device that hangs up (end of file, EIO, ENXIO, ENODEV) is reported once:
// the error if there is one, then removal, then the close, each delivered
// before the next.
//
// Delivery. By default every delegate call runs on the main queue. A
// program without a window (a command-line tool, a daemon, a test rig) may
// set the delegate delivery to DelegateDelivery::LibraryThread instead: the
// delegate is then called directly on the library's threads, with the same
// contract otherwise:
//  - one call at a time per port, in the same order: the opening before any
//    byte, every chunk before the packets and reply it completes, an error
//    before the removal before the close;
//  - the received bytes are delivered on the port's reading thread, as soon
//    as they are read, with no other thread woken; other calls (the
//    opening, the close, an error of a call made on the program's thread, a
//    reply found while the reading thread was busy) run on the library's
//    delivery thread, shared by the ports that deliver this way. Two ports'
//    calls may run at the same time on different threads;
//  - sendData(), sendRequest(), close() and the setters may be called from
//    inside a call. A call that waits (a sendData() the device holds up)
//    holds up the port's reading meanwhile, as it would a main loop; and a
//    close completes only once the reading thread has returned from the
//    delegate, so a call must never wait for the close it started;
//  - the delegate and what it shares with the program's other threads must
//    be safe for that (a mutex, atomics, or a post to the program's own
//    loop): nothing is on the main thread any more.
// CTS, DSR, DCD and RI then change on the delivery context too. Changing
// the delivery of a port takes effect for the calls not yet made; their
// order is kept.
//
// Writing. sendData() writes on the calling thread and returns when every
// byte has been handed to the device, waiting while the device accepts
// nothing (flow control, a far end that stopped reading). A close, from any
// thread, ends such a wait at once: sendData() then returns false and the
// delegate hears ECANCELED ("Operation canceled"), not a device fault.
//
// Closing. close() starts the close and returns at once; it completes on the
// background pool: flow control cleared, queued output given as long as it
// takes at the line rate plus a second and then discarded, original
// attributes restored, descriptor closed, serialPortWasClosed delivered. No
// thread of the pool ever waits on the device. Until the close completes
// isOpen() is still true; open() in that time opens again once the close has
// completed.
//
// Modem lines. RTS and DTR are driven while open. CTS, DSR, DCD and RI are
// published on the delivery context on each change, a short pulse as two changes:
// a thread of the port's own sleeps in the kernel until a line changes
// (TIOCMIWAIT); where the driver cannot do that, the lines are polled every
// 10 ms. Devices without modem lines (pseudo-terminals) keep RTS and DTR as
// stored values and are neither watched nor polled.
//
// Observable properties (valmor/platform/observable.h), named as their getters:
// fileDescriptor and isOpen (isOpen follows fileDescriptor), delegateDelivery, baudRate,
// allowsNonStandardBaudRates, numberOfStopBits, parity,
// shouldEchoReceivedData, usesRTSCTSFlowControl, usesDTRDSRFlowControl,
// usesDCDOutputFlowControl, RTS, DTR, CTS, DSR, DCD, delegate; and
// numberOfDataBits, usesXONXOFFFlowControl, resumesOutputOnAnyCharacter,
// lowLatency, RS485, RI. Each is announced on the thread that made the
// change: CTS, DSR, DCD and RI on the delivery context (the main thread by
// default), fileDescriptor on the thread that opens and on the pool when a
// close completes, settings on the thread that set them.
//
// Threading: every member may be called from any thread; the application
// calls them on the main thread. No thread of the background pool ever waits
// for the main thread, nor for anything that can wait for it (a port's
// request-handling queue never does): where a step must follow a delegate
// call (the close after a removal, the clearing of requests after a close,
// a reopen), it is queued as that call's continuation and runs once the
// call has returned, with no thread blocked meanwhile. So a busy main thread
// delays the delegate's calls, never another port's reading, closing, hot
// plug or requests. Only cleanupAfterSystemRemoval() may wait for the
// delivery context: called there (the main thread, or inside a delegate call
// of the port when it delivers on the library's threads), it makes the
// delegate's removal call at once; called on another thread of the
// program's own, it waits for that call; on the pool, or inside another
// port's delegate call made on the library's threads, it waits for nothing.
// Delegate calls are never made inside the member that causes them, except
// that removal call. Debug and sanitizer builds check these rules as the
// code runs. Runtime
// failures are reported, never thrown.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "valmor/discovery/device_registry.h"
#include "valmor/platform/export.h"
#include "valmor/platform/observable.h"
#include "valmor/serial/line_settings.h"
#include "valmor/serial/serial_port_delegate.h"

namespace valmor {

class VALMOR_EXPORT SerialPort : public Observable, public std::enable_shared_from_this<SerialPort> {
  struct PrivateTag {};

 public:
  // ---- Making ports ----

  // The port of the serial device whose callout or dial-in path is path; the
  // live port when there is one. A path the device registry does not list but
  // that names a terminal device, directly or by a link (a pseudo-terminal, a
  // port udev has not set up), gives a port with empty registry properties.
  // Empty when the path names no terminal device.
  [[nodiscard]] static std::shared_ptr<SerialPort> serialPortWithPath(std::string_view path);

  // The port of a device-registry entry; the live port when there is one.
  // Empty when the device has no callout path.
  [[nodiscard]] static std::shared_ptr<SerialPort> serialPortWithDevice(const DeviceHandle& device);

  // The live port whose callout path is path, or empty. Never creates one.
  [[nodiscard]] static std::shared_ptr<SerialPort> existingPortWithPath(std::string_view path);

  // The registry device whose callout path or dial-in path is path, or empty.
  [[nodiscard]] static DeviceHandle deviceFromBSDPath(std::string_view path);

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
  // false when the port is not open, a close ended the wait, or a write
  // failed (the last two reported to the delegate; bytes not yet written are
  // dropped).
  [[nodiscard]] bool sendData(std::span<const std::uint8_t> data);
  [[nodiscard]] bool sendData(std::string_view text);

  // The device has gone: tells the delegate (serialPortWasRemovedFromSystem),
  // then closes once that call has returned. On the main thread the call is
  // made inside this one; on a thread of the program's own this waits for
  // it; on a thread of the background pool it returns at once.
  void cleanupAfterSystemRemoval();

  // Logs a deprecation warning, then does cleanupAfterSystemRemoval().
  [[deprecated("call cleanupAfterSystemRemoval()")]] void cleanup();

  // ---- Identity and state ----

  // True from a successful open() until its close has completed.
  bool isOpen() const { return fileDescriptor() >= 0; }
  // The open descriptor, or -1.
  int fileDescriptor() const;

  const std::string& path() const;  // callout path
  const std::string& name() const;  // TTY name, ttyUSB0
  const std::string& description() const { return name(); }
  const DeviceHandle& device() const;

  // Ports are equal when their paths are.
  bool operator==(const SerialPort& other) const { return path() == other.path(); }
  std::size_t hash() const { return std::hash<std::string>{}(path()); }

  std::shared_ptr<SerialPortDelegate> delegate() const;
  void setDelegate(std::weak_ptr<SerialPortDelegate> delegate);

  // Where the delegate's calls run (see Delivery at the top of this file).
  enum class DelegateDelivery {
    MainQueue,      // on the main queue (the default)
    LibraryThread,  // directly on the library's threads, one call at a time
  };
  DelegateDelivery delegateDelivery() const;
  void setDelegateDelivery(DelegateDelivery delivery);

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
  // 0 or 1: one stop bit; 2 or more: two; kOneAndAHalfStopBits is reported
  // as ENOTSUP (Linux has none) and sends two.
  std::uint64_t numberOfStopBits() const;
  void setNumberOfStopBits(std::uint64_t bits);
  // kParityNone, kParityOdd, kParityEven, kParityMark or kParitySpace; any
  // other value is stored as none.
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

  // ---- More line settings ----
  // Like the settings above: stored, and applied at once to an open port;
  // refusals go to the delegate with their errno, the other settings stay
  // in effect.

  // 5 to 8 (default 8). Any other value is not stored and is reported as
  // EINVAL.
  std::uint64_t numberOfDataBits() const;
  void setNumberOfDataBits(std::uint64_t bits);
  // XON/XOFF flow control (IXON and IXOFF); may be combined with RTS/CTS.
  bool usesXONXOFFFlowControl() const;
  void setUsesXONXOFFFlowControl(bool uses);
  // With XON/XOFF: any byte from the device resumes stopped output (IXANY).
  bool resumesOutputOnAnyCharacter() const;
  void setResumesOutputOnAnyCharacter(bool resumes);

  // Low latency: the driver hands received bytes on at once
  // (ASYNC_LOW_LATENCY), and an FTDI adapter's latency timer is 1 ms instead
  // of its usual 16 (sysfs latency_timer, where writable). False leaves the
  // device as found at open; switching it off on an open port turns it
  // off. Both are read back after being set: a driver that keeps the old
  // value is reported as ENOTSUP, one without either (a pseudo-terminal)
  // as ENOTTY. The close puts back what the device had.
  bool lowLatency() const;
  void setLowLatency(bool on);

  // RS-485 direction control (TIOCSRS485), applied at open when enabled and
  // at once on an open port, then read back. A driver without RS-485 is
  // reported as ENOTTY (except when disabling), one that does not do what
  // was asked (read back differently) as ENOTSUP. Negative delays are not
  // stored and are reported as EINVAL. The close puts back what the device
  // had.
  RS485Settings RS485() const;
  void setRS485(const RS485Settings& settings);

  // ---- Break, flush, drain ----
  // Each acts on the open device at once and gives false, reporting
  // nothing, on a port that is closed or closing. Failures of the device go
  // to the delegate.

  // Holds the line in break for duration, waiting on the calling thread;
  // true when the break was sent in full. A close ends it early: false, and
  // the delegate hears ECANCELED.
  bool sendBreak(std::chrono::microseconds duration);
  // Puts the line into break, or takes it out. A break left on ends at close.
  bool setBreak(bool on);
  // Discards bytes received and not yet read by the port, or written and not
  // yet sent.
  bool flushInput();
  bool flushOutput();
  // Waits on the calling thread, at most timeout, until everything written
  // has been sent. False on time-out, when a close begins, or on failure.
  bool drain(std::chrono::milliseconds timeout);

  // Ring indicator, as CTS, DSR and DCD.
  bool RI() const;

  // ---- Modem lines ----

  bool RTS() const;
  void setRTS(bool on);
  bool DTR() const;
  void setDTR(bool on);
  // Input lines as last read; keep their values after a close.
  bool CTS() const;
  bool DSR() const;
  bool DCD() const;

  // ---- Packets and requests (serial_port_requests.cpp) ----
  // Received bytes are scanned for packets and for the pending request's
  // reply on the port's request-handling queue, a strand on the background
  // pool, one byte at a time and in order: first every descriptor listened
  // for, in the order they were added, then the pending request. The reports
  // go to the delegate through the same ordered list as the rest of its
  // calls, so for one chunk serialPortDidReceiveData comes before any packet
  // or reply that the chunk completes, and a byte's packets come before the
  // reply it completes. A port that never listens and never sends a request
  // hands no byte to that queue; one with nothing to look for at the moment
  // does no per-byte work.
  //
  //   auto line = SerialPacketDescriptor::initWithPrefixString("$", "\r\n", 82, {});
  //   port->startListeningForPacketsMatchingDescriptor(line);
  //   port->sendRequest(SerialRequest::requestWithDataToSend(
  //       {'V', '\n'}, {}, 0.5, SerialPacketDescriptor::initWithPrefixString("V", "\n", 64, {})));
  //
  // Requests are written one at a time, in the order sent: a request is
  // written once every request sent before it has finished (its reply
  // found, its time-out reported, written when it expects no reply, or its
  // write failed while it had no time-out). The bytes are written on a thread
  // of the port's own, never on the background pool, and a close ends a
  // write that the device holds up. A close clears the waiting and the
  // pending request when the delegate implements serialPortWasClosed.
  //
  // Descriptors and buffers survive closing and reopening. Observable:
  // packetDescriptors (announced with packetDescriptorsAndBuffers, on the
  // thread that starts or stops listening) and queuedRequests (announced
  // with requestsQueue, on the request-handling queue: insertions and
  // removals with their indexes, a replaced list as a plain change).

  // Starts reporting packets that match descriptor, with an empty buffer.
  // Listening again for a descriptor (an equal UUID) keeps its buffer and
  // announces nothing. Waits for the request-handling queue.
  void startListeningForPacketsMatchingDescriptor(const std::shared_ptr<SerialPacketDescriptor>& descriptor);
  // Stops, dropping its buffer. Announced even when it was not listened for.
  // Waits for the request-handling queue.
  void stopListeningForPacketsMatchingDescriptor(const std::shared_ptr<SerialPacketDescriptor>& descriptor);
  // The descriptors listened for, in the order they were added.
  std::vector<std::shared_ptr<SerialPacketDescriptor>> packetDescriptors() const;

  // Queues request behind the pending one (true), or starts it and gives
  // whether all its bytes were written: false when the port is not open,
  // the write failed (reported to the delegate) or a close ended it. Waits
  // for the write; must not be called from the request-handling queue,
  // where observers of queuedRequests run (it then refuses, logs, and gives
  // false). The reply comes as serialPortDidReceiveResponseToRequest, a
  // passed time-out as serialPortRequestDidTimeout (once the delegate has
  // been told, the next request starts); a reply that completes after the
  // time-out fired is ignored.
  bool sendRequest(const std::shared_ptr<SerialRequest>& request);
  // Removes request if it is still waiting (that very object); a started
  // request cannot be cancelled. Takes effect shortly afterwards.
  void cancelQueuedRequest(const std::shared_ptr<SerialRequest>& request);
  // Removes every waiting request; the pending one goes on. Takes effect
  // shortly afterwards.
  void cancelAllQueuedRequests();
  // The waiting requests, oldest first, as they were at one moment.
  std::vector<std::shared_ptr<SerialRequest>> queuedRequests() const;

 private:
  // The private state, defined in the library (serial/port/serial_port_impl.h).
  // The library's own parts (packet detection, the request queue, the
  // manager) reach it through implOf(); its tests through SerialPortTesting
  // (serial/testing/serial_port_testing.h).
  struct Impl;
  friend Impl& implOf(SerialPort& port);
  friend class SerialPortTesting;
  const std::unique_ptr<Impl> impl_;
};

}  // namespace valmor

template <>
struct std::hash<valmor::SerialPort> {
  std::size_t operator()(const valmor::SerialPort& port) const { return port.hash(); }
};
