// SerialPort: data bits, software flow control, low latency, RS-485, break,
// flush, drain and RI. See serial_port.h.
#include <utility>

#include "valmor/serial/serial_port.h"
#include "serial/port/serial_port_impl.h"

namespace valmor {

namespace {

std::error_code invalidArgument() { return std::make_error_code(std::errc::invalid_argument); }

}  // namespace

// ---- Settings in the terminal record ----

std::uint64_t SerialPort::numberOfDataBits() const {
  return readGuarded(impl_->mutex, impl_->settings.numberOfDataBits);
}
void SerialPort::setNumberOfDataBits(std::uint64_t bits) {
  if (bits < kMinDataBits || bits > kMaxDataBits) {
    impl_->notifyDelegateOfPosixError(invalidArgument());
    return;
  }
  impl_->setSetting(&LineSettings::numberOfDataBits, bits, "numberOfDataBits", true);
}

bool SerialPort::usesXONXOFFFlowControl() const {
  return readGuarded(impl_->mutex, impl_->settings.usesXONXOFFFlowControl);
}
void SerialPort::setUsesXONXOFFFlowControl(bool uses) {
  impl_->setSetting(&LineSettings::usesXONXOFFFlowControl, uses, "usesXONXOFFFlowControl", true);
}

bool SerialPort::resumesOutputOnAnyCharacter() const {
  return readGuarded(impl_->mutex, impl_->settings.resumesOutputOnAnyCharacter);
}
void SerialPort::setResumesOutputOnAnyCharacter(bool resumes) {
  impl_->setSetting(&LineSettings::resumesOutputOnAnyCharacter, resumes, "resumesOutputOnAnyCharacter", true);
}

// ---- Settings with ioctls of their own ----

template <typename T, typename Apply>
void SerialPort::Impl::setControl(T Impl::*field, const T& value, std::string_view property, Apply apply) {
  {
    // Held while the value reaches the device, so that concurrent setters
    // and open() put values on it in the order they were stored.
    std::lock_guard applyLock(applyMutex);
    std::shared_ptr<PortSession> current;
    {
      std::lock_guard lock(mutex);
      if (this->*field == value) return;
      this->*field = value;
      current = session;
    }
    if (current) {
      if (auto error = apply(*current, value)) notifyDelegateOfPosixError(error);
    }
  }
  owner.didChange(property);
}

void SerialPort::Impl::applyControls(const std::shared_ptr<PortSession>& s) {
  // Requires applyMutex. Only what was asked for: a port left at the
  // defaults never touches these ioctls, which most drivers do not have.
  bool low;
  RS485Settings rs;
  {
    std::lock_guard lock(mutex);
    low = lowLatency;
    rs = rs485;
  }
  if (low) {
    if (auto error = s->applyLowLatency(true)) notifyDelegateOfPosixError(error);
  }
  if (rs.enabled) {
    if (auto error = s->applyRS485(rs)) notifyDelegateOfPosixError(error);
  }
}

bool SerialPort::lowLatency() const { return readGuarded(impl_->mutex, impl_->lowLatency); }
void SerialPort::setLowLatency(bool on) {
  impl_->setControl(&Impl::lowLatency, on, "lowLatency",
                    [](PortSession& s, bool value) { return s.applyLowLatency(value); });
}

RS485Settings SerialPort::RS485() const { return readGuarded(impl_->mutex, impl_->rs485); }
void SerialPort::setRS485(const RS485Settings& settings) {
  if (settings.delayBeforeSend.count() < 0 || settings.delayAfterSend.count() < 0) {
    impl_->notifyDelegateOfPosixError(invalidArgument());
    return;
  }
  impl_->setControl(&Impl::rs485, settings, "RS485",
                    [](PortSession& s, const RS485Settings& value) { return s.applyRS485(value); });
}

// ---- Break, flush, drain ----

std::shared_ptr<PortSession> SerialPort::Impl::activeSession() const {
  std::lock_guard lock(mutex);
  if (!session || session->closeRequested()) return nullptr;
  return session;
}

namespace {

// True on success; a close that overtook the call is no failure of the
// device and is not reported.
bool finish(auto& impl, std::error_code error) {
  if (!error) return true;
  if (error != std::errc::operation_canceled) impl.notifyDelegateOfPosixError(error);
  return false;
}

}  // namespace

bool SerialPort::sendBreak(std::chrono::microseconds duration) {
  const auto s = impl_->activeSession();
  if (!s) return false;
  const std::error_code error = s->sendBreak(duration);
  // Cut short by a close: reported, as a write a close ends is.
  if (error == std::errc::operation_canceled) impl_->notifyDelegateOfPosixError(error);
  return finish(*impl_, error);
}

bool SerialPort::setBreak(bool on) {
  const auto s = impl_->activeSession();
  return s && finish(*impl_, s->setBreak(on));
}

bool SerialPort::flushInput() {
  const auto s = impl_->activeSession();
  return s && finish(*impl_, s->flush(DeviceIo::Queue::input));
}

bool SerialPort::flushOutput() {
  const auto s = impl_->activeSession();
  return s && finish(*impl_, s->flush(DeviceIo::Queue::output));
}

bool SerialPort::drain(std::chrono::milliseconds timeout) {
  const auto s = impl_->activeSession();
  if (!s) return false;
  const std::error_code error = s->drain(std::chrono::steady_clock::now() + timeout);
  // A time-out is the answer asked for, not a failure of the device.
  if (error == std::errc::timed_out) return false;
  return finish(*impl_, error);
}

bool SerialPort::RI() const { return impl_->ri.load(); }

}  // namespace valmor
