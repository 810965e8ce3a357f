#include "tools/cli/unit_finder.h"

#include <algorithm>
#include <cctype>

namespace valmor {

bool looksLikeUnit(std::string_view calloutPath, std::string_view ttyName) {
  std::string lower(calloutPath);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (lower.find("usbserial") != std::string::npos) return true;
  constexpr std::string_view kUsb = "ttyUSB";
  if (ttyName.size() <= kUsb.size() || ttyName.substr(0, kUsb.size()) != kUsb) return false;
  const std::string_view digits = ttyName.substr(kUsb.size());
  return std::all_of(digits.begin(), digits.end(),
                     [](unsigned char c) { return std::isdigit(c) != 0; });
}

std::optional<std::string> findUnitPath(DeviceRegistry& registry) {
  DeviceIterator devices = registry.serialStreamDevices();
  while (DeviceHandle device = devices.next()) {
    const auto callout = DeviceRegistry::property(device, kIOCalloutDevice);
    if (!callout || callout->empty()) continue;
    const auto name = DeviceRegistry::property(device, kIOTTYDevice).value_or("");
    if (looksLikeUnit(*callout, name)) return callout;
  }
  return std::nullopt;
}

std::optional<std::string> portToUse(const std::optional<std::string>& named, DeviceRegistry& registry) {
  return named ? named : findUnitPath(registry);
}

}  // namespace valmor
