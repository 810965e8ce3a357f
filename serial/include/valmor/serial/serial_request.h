// SerialRequest: one exchange with a device through a port's request queue:
// the bytes to write, how to recognise the reply, how long to wait for it.
//
//   auto ping = SerialRequest::requestWithDataToSend(
//       {'P', '\n'}, std::string("ping"), 0.5,
//       SerialPacketDescriptor::initWithPacketData({'O', 'K', '\n'}, {}));
//   port->sendRequest(ping);
//
// A request without a response descriptor expects no reply: it is finished
// as soon as its bytes are written. A time-out of 0 or less waits without
// limit. The fields may be changed at any time; a port reads the descriptor
// and the time-out once, when it starts the request.
//
// Threading: every member may be called from any thread.
#pragma once

#include <any>
#include <concepts>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "valmor/platform/export.h"
#include "valmor/serial/serial_packet_descriptor.h"

namespace valmor {

class VALMOR_EXPORT SerialRequest {
  struct PrivateTag {};

 public:
  using Bytes = std::vector<std::uint8_t>;

  // Stores the values as given.
  static std::shared_ptr<SerialRequest> requestWithDataToSend(
      Bytes dataToSend, std::any userInfo, double timeoutInterval,
      std::shared_ptr<SerialPacketDescriptor> responseDescriptor);

  // The reply is whatever responseEvaluator accepts: the request gets a
  // descriptor of unlimited maximum packet length, without user info, that
  // uses the evaluator.
  template <typename Evaluator>
    requires std::predicate<Evaluator&, std::span<const std::uint8_t>>
  static std::shared_ptr<SerialRequest> requestWithDataToSend(Bytes dataToSend, std::any userInfo,
                                                              double timeoutInterval,
                                                              Evaluator responseEvaluator) {
    return requestWithDataToSend(std::move(dataToSend), std::move(userInfo), timeoutInterval,
                                 SerialPacketDescriptor::initWithMaximumPacketLength(
                                     SerialPacketDescriptor::kUnlimitedPacketLength, {},
                                     SerialPacketDescriptor::ResponseEvaluator(std::move(responseEvaluator))));
  }

  SerialRequest() = delete;
  SerialRequest(PrivateTag, Bytes dataToSend, std::any userInfo, double timeoutInterval,
                std::shared_ptr<SerialPacketDescriptor> responseDescriptor);
  SerialRequest(const SerialRequest&) = delete;
  SerialRequest& operator=(const SerialRequest&) = delete;

  // True when the request expects no reply; otherwise the descriptor's
  // verdict on data.
  bool dataIsValidResponse(std::span<const std::uint8_t> data) const;

  // "<SerialRequest: 0x…> data: <0a0b0c0d 0e> userInfo: … timeout interval: 0.500000".
  // userInfo shows as (null) when empty, as itself when it holds text or a
  // number, and as <type> otherwise.
  std::string description() const;

  // Shared, so that a write in progress keeps the bytes it was given when
  // they are replaced.
  std::shared_ptr<const Bytes> dataToSend() const;
  void setDataToSend(Bytes data);
  std::any userInfo() const;
  void setUserInfo(std::any userInfo);
  double timeoutInterval() const;
  void setTimeoutInterval(double seconds);
  std::shared_ptr<SerialPacketDescriptor> responseDescriptor() const;
  void setResponseDescriptor(std::shared_ptr<SerialPacketDescriptor> descriptor);
  // A fresh UUID made with the request, in its canonical upper-case form.
  const std::string& UUIDString() const { return uuidString_; }

 private:
  mutable std::mutex mutex_;
  std::shared_ptr<const Bytes> dataToSend_;                 // Guarded by mutex_.
  std::any userInfo_;                                       // Guarded by mutex_.
  double timeoutInterval_;                                  // Guarded by mutex_.
  std::shared_ptr<SerialPacketDescriptor> responseDescriptor_;  // Guarded by mutex_.
  const std::string uuidString_;
};

}  // namespace valmor
