#include "serial/device_io.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>

#include "platform/posix_error.h"

namespace valmor {

namespace {

struct Installed {
  std::mutex mutex;
  std::shared_ptr<DeviceIo> io;  // Guarded by mutex.
};

Installed& installed() {
  // Never destroyed: ports may still close while static destructors run.
  static Installed* i = new Installed{{}, std::make_shared<DeviceIo>()};
  return *i;
}

}  // namespace

std::error_code DeviceIo::getModemLines(int fd, int& bits) {
  if (::ioctl(fd, TIOCMGET, &bits) < 0) return lastError();
  return {};
}

std::error_code DeviceIo::setModemLines(int fd, int bits) {
  if (::ioctl(fd, TIOCMSET, &bits) < 0) return lastError();
  return {};
}

std::error_code DeviceIo::applyLineSettings(int fd, const LineSettings& settings) {
  return valmor::applyLineSettings(fd, settings);
}

std::error_code DeviceIo::closeDescriptor(int fd) {
  // Not retried on EINTR: the descriptor is gone after the first call.
  if (::close(fd) < 0) return lastError();
  return {};
}

bool hasNoModemLines(std::error_code error) {
  return error == std::errc::inappropriate_io_control_operation ||
         error == std::errc::invalid_argument;
}

std::shared_ptr<DeviceIo> currentDeviceIo() {
  auto& i = installed();
  std::lock_guard lock(i.mutex);
  return i.io;
}

void setDeviceIoForTesting(std::shared_ptr<DeviceIo> io) {
  auto& i = installed();
  std::lock_guard lock(i.mutex);
  i.io = io ? std::move(io) : std::make_shared<DeviceIo>();
}

}  // namespace valmor
