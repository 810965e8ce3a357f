// The private state of a SerialPort, for the library's own parts only (the
// port itself, packet detection, the request queue); users of the library
// never include this.
//
// Threading, per field:
//  - device, path, name: set at construction, then read-only.
//  - fileDescriptor, cts/dsr/dcd/ri: atomics; fileDescriptor is written by
//    open() and by the completion of a close, the input lines on the main
//    thread.
//  - settings, rts, dtr, delegate, session, reopenAfterClose, closeCount:
//    guarded by mutex. applyMutex is held while settings or output lines are
//    put on the device and by open(), so that concurrent setters and open()
//    reach the device in the order their values were stored.
//  - The session calls back (PortSessionClient) on its strand, and with the
//    bytes it read (sessionDidRead) on its reading thread. Neither ever
//    waits for the main thread: what must follow a delegate call there (the
//    close after a removal, the clearing of requests after a close) is
//    queued as the call's continuation.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <algorithm>
#include <mutex>
#include <span>
#include <string>
#include <string_view>

#include "valmor/discovery/device_registry.h"
#include "platform/log.h"
#include "platform/thread_checks.h"
#include "serial/port/delegate_dispatch.h"
#include "valmor/serial/line_settings.h"
#include "serial/session/port_session.h"
#include "serial/port/request_strand.h"
#include "valmor/serial/serial_port.h"
#include "valmor/serial/serial_port_delegate.h"

namespace valmor {

struct VALMOR_NO_EXPORT SerialPort::Impl final : PortSessionClient {
  Impl(SerialPort& owner, DeviceHandle device, std::string path, std::string name);

  // ---- Delegate calls ----

  using DelegateCall = std::function<void(SerialPortDelegate&, SerialPort&)>;

  // Queues a delegate call behind every earlier one. It runs with the
  // delegate set at that time, only if that delegate implements method, with
  // the port held alive for its length; an exception it throws is logged.
  // Nothing runs once the port is gone.
  void queueDelegateCall(SerialPortDelegate::Method method, DelegateCall call);
  // The same, then runs then once the call has returned (or was skipped),
  // on the delivery context; the port is held until both have run. then
  // also runs when a main queue that has shut down drops the call.
  void queueDelegateCallThen(SerialPortDelegate::Method method, DelegateCall call, std::function<void()> then);
  // The same as queueDelegateCall, waiting until it has run (directly where
  // the dispatch runsDirectlyHere()). Only where dispatch->mayWaitHere().
  void waitForDelegateCall(SerialPortDelegate::Method method, DelegateCall call);
  // Makes the call now, on the delivery context, under the rules above.
  template <typename Call>
  void callDelegate(SerialPortDelegate::Method method, const Call& call);
  // The queued call that hands a piece of a chunk's bytes to
  // serialPortDidReceiveData.
  DelegateDispatch::Call receivedDataCall(const std::shared_ptr<const ReceivedChunk>& chunk,
                                          std::span<const std::uint8_t> piece);
  // Calls f with the chunk's bytes cut into pieces of at most
  // ReceivedChunk::kDeliveredSize, in order.
  template <typename F>
  static void forEachPiece(const ReceivedChunk& chunk, const F& f) {
    const std::span<const std::uint8_t> all(chunk.bytes);
    for (std::size_t at = 0; at < all.size(); at += ReceivedChunk::kDeliveredSize)
      f(all.subspan(at, std::min(ReceivedChunk::kDeliveredSize, all.size() - at)));
  }
  // Reports a failed call to the delegate, queued.
  void notifyDelegateOfPosixError(std::error_code error);

  // ---- Opening and closing ----

  void openUnlessClosedSince(const std::uint64_t* closeCount);
  // The port as the session's keep-alive reference: it shares the port's
  // ownership, so the port lives as long as it is held.
  std::shared_ptr<PortSessionClient> asClient();
  std::weak_ptr<SerialPort> weakPort() { return owner.weak_from_this(); }

  // PortSessionClient: sessionDidRead on the session's reading thread, the
  // rest on its strand.
  void sessionDidRead(ChunkList chunks) override;
  bool consumesOnReadingThread() const override;
  void sessionDidFail(std::error_code error) override;
  void sessionDeviceDidGo(std::error_code error) override;
  void sessionInputLinesDidChange(InputLines lines) override;
  void sessionDidClose(std::error_code closeError) override;

  // ---- Settings ----

  LineSettings settingsSnapshot() const;
  template <typename T>
  void setSetting(T LineSettings::*field, T value, std::string_view property, bool apply);
  void setFlowControlFlag(bool LineSettings::*flag, bool value, std::string_view property);
  void setOutputLine(bool Impl::*line, bool on, std::string_view property);
  void updateModemLines(const std::shared_ptr<PortSession>& session);

  SerialPort& owner;
  const DeviceHandle device;
  const std::string path;
  const std::string name;
  std::atomic<int> fileDescriptor{-1};
  std::atomic<bool> cts{false};
  std::atomic<bool> dsr{false};
  std::atomic<bool> dcd{false};

  std::mutex applyMutex;
  mutable std::mutex mutex;
  LineSettings settings;                       // Guarded by mutex.
  bool rts = false;                            // Guarded by mutex.
  bool dtr = false;                            // Guarded by mutex.
  std::weak_ptr<SerialPortDelegate> delegate;  // Guarded by mutex.
  // The open (or closing) descriptor; empty while closed. Guarded by mutex.
  std::shared_ptr<PortSession> session;
  // Open again once the current close completes. Guarded by mutex.
  bool reopenAfterClose = false;
  // Calls of close(), so that a reopen a close() overtook is dropped.
  // Guarded by mutex.
  std::uint64_t closeCount = 0;
  // The delegate has been told that the device went (or is being told), and
  // the port has not opened since: a hang-up and the registry both report an
  // unplug, and whichever sets this first tells the delegate.
  std::atomic<bool> removalReported{false};
  // The registry says the device went: cleans up after the removal unless a
  // hang-up has already done so.
  void deviceWasRemoved();
  // serialPortWasRemovedFromSystem, then the close once it has returned:
  // on the delivery context the call is made at once; where a thread may
  // wait for that context, it waits for it; elsewhere (the pool, the
  // session's strand, a thread making delegate calls) the close is the
  // call's continuation.
  void reportRemovalAndClose();

  // ---- Settings with ioctls of their own, RI (serial_port_lines.cpp) ----
  bool lowLatency = false;  // Guarded by mutex.
  RS485Settings rs485;      // Guarded by mutex.
  std::atomic<bool> ri{false};
  // Stores a setting that has an ioctl of its own and applies it to the open
  // device, like setSetting().
  template <typename T, typename Apply>
  void setControl(T Impl::*field, const T& value, std::string_view property, Apply apply);
  // At open, after the line settings: the ones asked for.
  void applyControls(const std::shared_ptr<PortSession>& session);
  // The session of an open port that is not closing, or empty.
  std::shared_ptr<PortSession> activeSession() const;

  const std::shared_ptr<DelegateDispatch> dispatch = DelegateDispatch::create();
  RequestStrand requests;

  // ---- Packet detection and the request queue (serial_port_requests.cpp) ----
  // Made on first use (the first start of listening or the first request),
  // so that a port that uses neither hands no byte to the request-handling
  // queue. Once made, they live as long as the port.
  struct PacketsAndRequests;
  PacketsAndRequests& packetsAndRequests();
  // Empty until first use; any thread.
  PacketsAndRequests* packetsAndRequestsIfMade() const { return packetsAndRequestsMade.load(); }
  std::once_flag packetsAndRequestsOnce;
  std::shared_ptr<PacketsAndRequests> packetsAndRequestsStore;  // set once, in packetsAndRequestsOnce
  std::atomic<PacketsAndRequests*> packetsAndRequestsMade{nullptr};
};

SerialPort::Impl& implOf(SerialPort& port);

template <typename Call>
void SerialPort::Impl::callDelegate(SerialPortDelegate::Method method, const Call& call) {
  VALMOR_CHECK_DELIVERY_CONTEXT(*dispatch);
  auto d = owner.delegate();
  if (!d || !d->implements(method)) return;
  try {
    call(*d, owner);
  } catch (...) {
    // The name is put together only for the log line: delegate calls are
    // made for every chunk received.
    logCurrentException(std::string(SerialPortDelegate::methodName(method)) + " of " + path);
  }
}

// A copy of a field guarded by m, taken under the lock: the getters of the
// port's settings and lines.
template <typename T>
T readGuarded(std::mutex& m, const T& value) {
  std::lock_guard lock(m);
  return value;
}

}  // namespace valmor
