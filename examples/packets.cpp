// Listens for framed packets: lines that begin with PREFIX and end with
// CR LF (NMEA sentences begin with "$GP"), and prints each one as it is
// found, for SECONDS. SEND, when given, is sent first with a line feed after
// it, for a device that speaks only when asked.
//
//   packets PATH RATE PREFIX SECONDS [SEND]   e.g. packets /dev/ttyUSB0 4800 '$GP' 10
#include <chrono>
#include <iostream>
#include <memory>
#include <span>
#include <string>

#include "valmor/platform/main_queue.h"
#include "valmor/serial/serial_packet_descriptor.h"
#include "valmor/serial/serial_port.h"

using namespace valmor;

class Packets : public SerialPortDelegate {
 public:
  Packets() : SerialPortDelegate(kWasOpened | kWasClosed | kDidEncounterError | kDidReceivePacketMatchingDescriptor) {}
  void serialPortWasOpened(SerialPort&) override { opened = true; }
  void serialPortWasClosed(SerialPort&) override { closed = true; }
  void serialPortDidEncounterError(SerialPort&, const PosixError& error) override {
    std::cerr << error.description() << '\n';
    failed = true;
  }
  void serialPortDidReceivePacketMatchingDescriptor(SerialPort&, std::span<const std::uint8_t> packet,
                                                    const std::shared_ptr<SerialPacketDescriptor>&) override {
    std::cout << "packet: " << std::string(packet.begin(), packet.end() - 2) << std::endl;  // without CR LF
  }
  bool opened = false, closed = false, failed = false;
};

int main(int argc, char** argv) {
  if (argc != 5 && argc != 6) {
    std::cerr << "usage: packets PATH RATE PREFIX SECONDS [SEND]\n";
    return 2;
  }
  auto queue = std::make_shared<RunLoopMainQueue>();
  setMainQueue(queue);
  auto port = SerialPort::serialPortWithPath(argv[1]);
  if (!port) return 1;
  port->setBaudRate(std::stoull(argv[2]));
  port->setAllowsNonStandardBaudRates(true);
  auto packets = std::make_shared<Packets>();
  port->setDelegate(packets);
  port->startListeningForPacketsMatchingDescriptor(
      SerialPacketDescriptor::initWithPrefixString(argv[3], "\r\n", 1024, {}));

  port->open();
  queue->runUntil([&] { return packets->opened || packets->failed; }, std::chrono::seconds(5));
  if (!packets->opened) return 1;
  if (argc == 6 && !port->sendData(std::string(argv[5]) + "\n")) return 1;
  queue->runFor(std::chrono::seconds(std::stoi(argv[4])));
  port->close();  // complete once the device has its settings back
  queue->runUntil([&] { return packets->closed; }, std::chrono::seconds(5));
  return packets->failed ? 1 : 0;
}
