// SerialPortDelegate: what a SerialPort tells its user.
//
// Subclass it, override the calls you want, and declare them in the set of
// implemented methods given to the constructor: the port asks that set before
// every call and skips a method that is not in it. Some behaviour depends on
// the declaration, not only on the call: a close clears the port's request
// state only when serialPortWasClosed is declared.
//
//   class Handler : public SerialPortDelegate {
//    public:
//     Handler() : SerialPortDelegate(kWasRemovedFromSystem | kDidReceiveData) {}
//     void serialPortWasRemovedFromSystem(SerialPort& port) override;
//     void serialPortDidReceiveData(SerialPort& port,
//                                   std::span<const std::uint8_t> data) override;
//   };
//
// Every call runs on the main queue (valmor/platform/main_queue.h), or directly on
// the library's threads for a port whose delegate delivery says so
// (SerialPort::setDelegateDelivery), one at a time per port, and goes to the
// delegate that is set on the port when the call runs. The port is held
// alive for the length of each call, so a delegate may close, reopen or drop
// the port from inside any call. An exception that escapes a call is caught
// by the port, logged, and goes no further.
//
// A port refers to its delegate through a std::weak_ptr: the delegate must be
// owned by a std::shared_ptr somewhere else.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string_view>

#include "valmor/platform/export.h"
#include "valmor/platform/posix_error.h"

namespace valmor {

class SerialPort;
// Defined by the packet detection and the request queue of the library.
class SerialPacketDescriptor;
class SerialRequest;

class VALMOR_EXPORT SerialPortDelegate {
 public:
  // One bit per delegate method.
  enum Method : std::uint32_t {
    kWasRemovedFromSystem = 1u << 0,
    kDidReceiveData = 1u << 1,
    kDidEncounterError = 1u << 2,
    kWasOpened = 1u << 3,
    kWasClosed = 1u << 4,
    kDidReceivePacketMatchingDescriptor = 1u << 5,
    kDidReceiveResponseToRequest = 1u << 6,
    kRequestDidTimeout = 1u << 7,
  };
  using MethodSet = std::uint32_t;
  static constexpr MethodSet kAllMethods = 0xFFu;

  virtual ~SerialPortDelegate() = default;

  // True when the delegate declared the method. Overridable for delegates
  // whose answer changes over time.
  virtual bool implements(Method method) const { return (implemented_ & method) != 0; }

  // The device has gone (unplugged, hung up, or removed from the registry).
  // The port waits for this call to return, then closes. Required: every
  // delegate should handle it.
  virtual void serialPortWasRemovedFromSystem(SerialPort& port) { (void)port; }

  // One chunk read from the device, at most 1024 bytes, in the order read.
  // The bytes are valid for the length of the call. Queued; the port does not
  // wait.
  virtual void serialPortDidReceiveData(SerialPort& port, std::span<const std::uint8_t> data) {
    (void)port;
    (void)data;
  }

  // A system call on the port failed: error.code is its errno, error.path the
  // port's path.
  virtual void serialPortDidEncounterError(SerialPort& port, const PosixError& error) {
    (void)port;
    (void)error;
  }

  // open() succeeded. Queued; the port does not wait.
  virtual void serialPortWasOpened(SerialPort& port) { (void)port; }

  // The descriptor has been closed. The port waits for this call to return.
  virtual void serialPortWasClosed(SerialPort& port) { (void)port; }

  // Packet detection: a packet matching a descriptor the port listens for.
  virtual void serialPortDidReceivePacketMatchingDescriptor(
      SerialPort& port, std::span<const std::uint8_t> packet,
      const std::shared_ptr<SerialPacketDescriptor>& descriptor) {
    (void)port;
    (void)packet;
    (void)descriptor;
  }

  // Request queue: the reply to the pending request.
  virtual void serialPortDidReceiveResponseToRequest(SerialPort& port,
                                                     std::span<const std::uint8_t> response,
                                                     const std::shared_ptr<SerialRequest>& request) {
    (void)port;
    (void)response;
    (void)request;
  }

  // Request queue: the pending request's time-out passed without a reply.
  virtual void serialPortRequestDidTimeout(SerialPort& port,
                                           const std::shared_ptr<SerialRequest>& request) {
    (void)port;
    (void)request;
  }

  // The method's name, for log lines.
  static std::string_view methodName(Method method);

 protected:
  // implemented: the methods this delegate declares, a set of Method bits.
  explicit SerialPortDelegate(MethodSet implemented = kAllMethods) : implemented_(implemented) {}

  SerialPortDelegate(const SerialPortDelegate&) = default;
  SerialPortDelegate& operator=(const SerialPortDelegate&) = default;

 private:
  MethodSet implemented_;
};

}  // namespace valmor
