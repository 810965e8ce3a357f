#include "valmor/serial/serial_request.h"

#include <cxxabi.h>

#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <typeinfo>

#include "valmor/serial/uuid.h"

namespace valmor {

namespace {

// <0a0b0c0d 0e0f>: hexadecimal, in groups of four bytes.
std::string describeBytes(const SerialRequest::Bytes& bytes) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text = "<";
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i > 0 && i % 4 == 0) text += ' ';
    text += kHex[bytes[i] >> 4];
    text += kHex[bytes[i] & 0x0F];
  }
  return text + ">";
}

std::string typeName(const std::type_info& type) {
  int status = 0;
  char* demangled = abi::__cxa_demangle(type.name(), nullptr, nullptr, &status);
  std::string name = status == 0 && demangled ? demangled : type.name();
  std::free(demangled);
  return name;
}

std::string describeAny(const std::any& value) {
  if (!value.has_value()) return "(null)";
  if (const auto* s = std::any_cast<std::string>(&value)) return *s;
  if (const auto* s = std::any_cast<std::string_view>(&value)) return std::string(*s);
  if (const auto* s = std::any_cast<const char*>(&value)) return *s ? *s : "(null)";
  if (const auto* n = std::any_cast<int>(&value)) return std::to_string(*n);
  if (const auto* n = std::any_cast<long>(&value)) return std::to_string(*n);
  if (const auto* n = std::any_cast<long long>(&value)) return std::to_string(*n);
  if (const auto* n = std::any_cast<unsigned>(&value)) return std::to_string(*n);
  if (const auto* n = std::any_cast<unsigned long>(&value)) return std::to_string(*n);
  if (const auto* n = std::any_cast<unsigned long long>(&value)) return std::to_string(*n);
  if (const auto* n = std::any_cast<double>(&value)) return std::to_string(*n);
  if (const auto* b = std::any_cast<bool>(&value)) return *b ? "true" : "false";
  return "<" + typeName(value.type()) + ">";
}

}  // namespace

std::shared_ptr<SerialRequest> SerialRequest::requestWithDataToSend(
    Bytes dataToSend, std::any userInfo, double timeoutInterval,
    std::shared_ptr<SerialPacketDescriptor> responseDescriptor) {
  return std::make_shared<SerialRequest>(PrivateTag{}, std::move(dataToSend), std::move(userInfo), timeoutInterval,
                                         std::move(responseDescriptor));
}

SerialRequest::SerialRequest(PrivateTag, Bytes dataToSend, std::any userInfo, double timeoutInterval,
                             std::shared_ptr<SerialPacketDescriptor> responseDescriptor)
    : dataToSend_(std::make_shared<const Bytes>(std::move(dataToSend))),
      userInfo_(std::move(userInfo)),
      timeoutInterval_(timeoutInterval),
      responseDescriptor_(std::move(responseDescriptor)),
      uuidString_(Uuid::random().string()) {}

bool SerialRequest::dataIsValidResponse(std::span<const std::uint8_t> data) const {
  const auto descriptor = responseDescriptor();
  return !descriptor || descriptor->dataIsValidPacket(data);
}

std::string SerialRequest::description() const {
  std::shared_ptr<const Bytes> data;
  std::any info;
  double timeout;
  {
    std::lock_guard lock(mutex_);
    data = dataToSend_;
    info = userInfo_;
    timeout = timeoutInterval_;
  }
  char self[64];
  std::snprintf(self, sizeof self, "<SerialRequest: %p>", static_cast<const void*>(this));
  char interval[64];
  std::snprintf(interval, sizeof interval, "%f", timeout);
  return std::string(self) + " data: " + describeBytes(*data) + " userInfo: " + describeAny(info) +
         " timeout interval: " + interval;
}

std::shared_ptr<const SerialRequest::Bytes> SerialRequest::dataToSend() const {
  std::lock_guard lock(mutex_);
  return dataToSend_;
}

void SerialRequest::setDataToSend(Bytes data) {
  auto shared = std::make_shared<const Bytes>(std::move(data));
  std::lock_guard lock(mutex_);
  dataToSend_ = std::move(shared);
}

std::any SerialRequest::userInfo() const {
  std::lock_guard lock(mutex_);
  return userInfo_;
}

void SerialRequest::setUserInfo(std::any userInfo) {
  std::lock_guard lock(mutex_);
  userInfo_ = std::move(userInfo);
}

double SerialRequest::timeoutInterval() const {
  std::lock_guard lock(mutex_);
  return timeoutInterval_;
}

void SerialRequest::setTimeoutInterval(double seconds) {
  std::lock_guard lock(mutex_);
  timeoutInterval_ = seconds;
}

std::shared_ptr<SerialPacketDescriptor> SerialRequest::responseDescriptor() const {
  std::lock_guard lock(mutex_);
  return responseDescriptor_;
}

void SerialRequest::setResponseDescriptor(std::shared_ptr<SerialPacketDescriptor> descriptor) {
  std::lock_guard lock(mutex_);
  responseDescriptor_ = std::move(descriptor);
}

}  // namespace valmor
