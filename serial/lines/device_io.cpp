#include "serial/lines/device_io.h"

#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>

#include "valmor/platform/posix_error.h"
#include "serial/lines/terminal_attributes.h"

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

std::error_code DeviceIo::waitForModemLineChange(int fd, int mask) {
  // Not retried on EINTR: a signal is how the port ends the wait.
  if (::ioctl(fd, TIOCMIWAIT, mask) < 0) return lastError();
  return {};
}

std::error_code DeviceIo::getModemLineCounts(int fd, ModemLineCounts& counts) {
  serial_icounter_struct c{};
  if (::ioctl(fd, TIOCGICOUNT, &c) < 0) return lastError();
  counts = {static_cast<std::uint32_t>(c.cts), static_cast<std::uint32_t>(c.dsr),
            static_cast<std::uint32_t>(c.dcd), static_cast<std::uint32_t>(c.rng)};
  return {};
}

std::error_code DeviceIo::setBreak(int fd, bool on) {
  if (::ioctl(fd, on ? TIOCSBRK : TIOCCBRK) < 0) return lastError();
  return {};
}

std::error_code DeviceIo::flush(int fd, Queue queue) {
  if (::tcflush(fd, queue == Queue::input ? TCIFLUSH : TCOFLUSH) < 0) return lastError();
  return {};
}

std::error_code DeviceIo::queuedOutput(int fd, int& bytes) {
  if (::ioctl(fd, TIOCOUTQ, &bytes) < 0) return lastError();
  // The queue is empty before the last byte has left the UART's shift
  // register; a UART that reports its line status says when it has.
  int lsr = 0;
  if (bytes == 0 && ::ioctl(fd, TIOCSERGETLSR, &lsr) == 0 && !(lsr & TIOCSER_TEMT)) bytes = 1;
  return {};
}

std::error_code DeviceIo::getLowLatency(int fd, bool& on) {
  serial_struct info{};
  if (::ioctl(fd, TIOCGSERIAL, &info) < 0) return lastError();
  on = (info.flags & ASYNC_LOW_LATENCY) != 0;
  return {};
}

std::error_code DeviceIo::setLowLatency(int fd, bool on) {
  // Everything else goes back as read: the flag is one of those an
  // unprivileged user may change, the rest must stay as they are.
  serial_struct info{};
  if (::ioctl(fd, TIOCGSERIAL, &info) < 0) return lastError();
  info.flags = on ? (info.flags | ASYNC_LOW_LATENCY) : (info.flags & ~ASYNC_LOW_LATENCY);
  if (::ioctl(fd, TIOCSSERIAL, &info) < 0) return lastError();
  return {};
}

std::string DeviceIo::latencyTimerPath(int fd) {
  // The tty's sysfs node by device number; its "device" is the USB-serial
  // port, which carries latency_timer when the driver is ftdi_sio.
  struct stat st {};
  if (::fstat(fd, &st) < 0 || !S_ISCHR(st.st_mode)) return {};
  const std::string path = "/sys/dev/char/" + std::to_string(major(st.st_rdev)) + ":" +
                           std::to_string(minor(st.st_rdev)) + "/device/latency_timer";
  return ::access(path.c_str(), R_OK | W_OK) == 0 ? path : std::string();
}

std::error_code DeviceIo::getRS485(int fd, RS485Settings& settings) {
  serial_rs485 rs{};
  if (::ioctl(fd, TIOCGRS485, &rs) < 0) return lastError();
  settings.enabled = (rs.flags & SER_RS485_ENABLED) != 0;
  settings.RTSOnSend = (rs.flags & SER_RS485_RTS_ON_SEND) != 0;
  settings.RTSAfterSend = (rs.flags & SER_RS485_RTS_AFTER_SEND) != 0;
  settings.delayBeforeSend = std::chrono::milliseconds(rs.delay_rts_before_send);
  settings.delayAfterSend = std::chrono::milliseconds(rs.delay_rts_after_send);
  return {};
}

std::error_code DeviceIo::setRS485(int fd, const RS485Settings& settings) {
  // Read first so that the flags this library does not set (receiving
  // while sending, bus termination, addressing) stay as the driver has them.
  serial_rs485 rs{};
  if (::ioctl(fd, TIOCGRS485, &rs) < 0) return lastError();
  auto flag = [&](std::uint32_t bit, bool on) { rs.flags = on ? (rs.flags | bit) : (rs.flags & ~bit); };
  flag(SER_RS485_ENABLED, settings.enabled);
  flag(SER_RS485_RTS_ON_SEND, settings.RTSOnSend);
  flag(SER_RS485_RTS_AFTER_SEND, settings.RTSAfterSend);
  rs.delay_rts_before_send = static_cast<std::uint32_t>(settings.delayBeforeSend.count());
  rs.delay_rts_after_send = static_cast<std::uint32_t>(settings.delayAfterSend.count());
  if (::ioctl(fd, TIOCSRS485, &rs) < 0) return lastError();
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
