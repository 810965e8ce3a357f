#include "tools/cli/messages.h"

#include <grp.h>
#include <sys/stat.h>

#include <cerrno>
#include <filesystem>

#include "valmor/discovery/device_registry_directory.h"

namespace valmor {

namespace {

std::string groupOf(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return {};
  const group* g = ::getgrgid(info.st_gid);
  return g != nullptr ? g->gr_name : std::to_string(info.st_gid);
}

}  // namespace

std::string whereDevicesAreLooked(DeviceRegistry& registry) {
  if (auto* directory = dynamic_cast<DirectoryDeviceRegistry*>(&registry)) {
    return directory->directory() + " (VALMOR_DEVICE_DIR)";
  }
  return "udev";
}

std::optional<std::string> registryUnusable(DeviceRegistry& registry) {
  auto* directory = dynamic_cast<DirectoryDeviceRegistry*>(&registry);
  if (directory == nullptr) return std::nullopt;
  const std::error_code error = directory->directoryError();
  if (!error) return std::nullopt;
  std::string why;
  if (error == std::errc::no_such_file_or_directory) {
    why = "does not exist";
  } else if (error == std::errc::not_a_directory) {
    why = "is not a directory";
  } else {
    why = "cannot be read: " + error.message();
  }
  return "the device directory " + directory->directory() + " (VALMOR_DEVICE_DIR) " + why;
}

std::string noUnitFound(DeviceRegistry& registry) {
  if (auto unusable = registryUnusable(registry)) return *unusable;
  if (auto* directory = dynamic_cast<DirectoryDeviceRegistry*>(&registry)) {
    return "no VALMOR unit found in " + directory->directory() +
           " (the directory VALMOR_DEVICE_DIR names: no entry cu.NAME there whose name contains "
           "\"usbserial\"; start valmor-sim there, or give --port)";
  }
  return "no VALMOR unit found among the serial devices udev lists (none whose path contains "
         "\"usbserial\" or named ttyUSB<n>; plug it in, or give --port)";
}

std::string notASerialDevice(const std::string& path) {
  std::error_code ec;
  if (!std::filesystem::exists(path, ec)) {
    return "no such device: " + path + " (it is not a serial device of the device registry)";
  }
  return path + " is not a serial device of the device registry, nor a terminal device";
}

std::string openFailure(const std::string& what, const PosixError& error) {
  const std::string& path = error.path;
  switch (error.value()) {
    case EWOULDBLOCK:
      return what + " is in use by another process";
    case EACCES:
    case EPERM: {
      std::string text = "no permission to open " + path +
                         ": add your user to the dialout group (sudo usermod -aG dialout $USER), then "
                         "log in again";
      const std::string group = groupOf(path);
      if (!group.empty() && group != "dialout") text += " (this device belongs to the group " + group + ")";
      return text;
    }
    case ENOENT:
      return what + " is not there any more (unplugged?)";
    default:
      if (isDeviceGone(error.code)) return what + " was unplugged";
      return "cannot open " + what + ": " + error.message();
  }
}

}  // namespace valmor
