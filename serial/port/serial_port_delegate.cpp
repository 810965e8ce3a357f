#include "valmor/serial/serial_port_delegate.h"

namespace valmor {

std::string_view SerialPortDelegate::methodName(Method method) {
  switch (method) {
    case kWasRemovedFromSystem: return "serialPortWasRemovedFromSystem";
    case kDidReceiveData: return "serialPortDidReceiveData";
    case kDidEncounterError: return "serialPortDidEncounterError";
    case kWasOpened: return "serialPortWasOpened";
    case kWasClosed: return "serialPortWasClosed";
    case kDidReceivePacketMatchingDescriptor: return "serialPortDidReceivePacketMatchingDescriptor";
    case kDidReceiveResponseToRequest: return "serialPortDidReceiveResponseToRequest";
    case kRequestDidTimeout: return "serialPortRequestDidTimeout";
  }
  return "unknown delegate method";
}

}  // namespace valmor
