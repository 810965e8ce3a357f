#include "serial/port/terminal_device.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace valmor {

namespace {

// True when /proc/tty/drivers lists a serial or pseudo-terminal slave driver
// whose major number and minor range hold the device. Lines read
// "NAME  /dev/PREFIX  MAJOR  MINOR[-MINOR]  TYPE".
bool isSerialLineDevice(dev_t device) {
  std::ifstream drivers("/proc/tty/drivers");
  std::string line;
  while (std::getline(drivers, line)) {
    std::istringstream fields(line);
    std::string name, prefix, minors, type;
    unsigned major = 0;
    if (!(fields >> name >> prefix >> major >> minors >> type)) continue;
    if (type != "serial" && type != "pty:slave") continue;
    unsigned first = 0, last = 0;
    const auto dash = minors.find('-');
    try {
      first = static_cast<unsigned>(std::stoul(minors.substr(0, dash)));
      last = dash == std::string::npos ? first : static_cast<unsigned>(std::stoul(minors.substr(dash + 1)));
    } catch (const std::exception&) {
      continue;
    }
    if (major == ::major(device) && ::minor(device) >= first && ::minor(device) <= last) return true;
  }
  return false;
}

}  // namespace

std::optional<std::string> serialTerminalName(std::string_view path) {
  if (path.empty()) return std::nullopt;
  const std::string p(path);
  struct stat info {};
  if (::stat(p.c_str(), &info) != 0 || !S_ISCHR(info.st_mode)) return std::nullopt;
  if (!isSerialLineDevice(info.st_rdev)) return std::nullopt;
  std::error_code ec;
  const std::string resolved = std::filesystem::canonical(p, ec).string();
  if (ec) return std::nullopt;
  constexpr std::string_view kDev = "/dev/";
  if (resolved.compare(0, kDev.size(), kDev) == 0) return resolved.substr(kDev.size());
  return std::filesystem::path(resolved).filename().string();
}

}  // namespace valmor
