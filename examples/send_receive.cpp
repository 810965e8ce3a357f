// Opens a port with line settings, sends a line of text and prints what
// arrives for two seconds.
//
//   send_receive PATH RATE TEXT        e.g. send_receive /dev/ttyUSB0 9600 AT
//
// The rate may be any the adapter can make (42105 as well as 9600); 8 data
// bits, no parity, one stop bit. TEXT is sent with a line feed after it.
#include <chrono>
#include <iostream>
#include <memory>
#include <span>
#include <string>

#include "valmor/platform/main_queue.h"
#include "valmor/serial/serial_port.h"

using namespace valmor;
using namespace std::chrono_literals;

// What the port tells us, on the main queue.
class Printer : public SerialPortDelegate {
 public:
  Printer() : SerialPortDelegate(kWasOpened | kWasClosed | kDidReceiveData | kDidEncounterError | kWasRemovedFromSystem) {}
  void serialPortWasOpened(SerialPort&) override { opened = true; }
  void serialPortWasClosed(SerialPort&) override { closed = true; }
  void serialPortDidReceiveData(SerialPort&, std::span<const std::uint8_t> data) override {
    std::cout.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
    std::cout.flush();
  }
  void serialPortDidEncounterError(SerialPort&, const PosixError& error) override {
    std::cerr << error.description() << '\n';
    failed = true;
  }
  void serialPortWasRemovedFromSystem(SerialPort& port) override { std::cerr << port.path() << " was removed\n"; }
  bool opened = false, closed = false, failed = false;
};

int main(int argc, char** argv) {
  if (argc != 4) {
    std::cerr << "usage: send_receive PATH RATE TEXT\n";
    return 2;
  }
  auto queue = std::make_shared<RunLoopMainQueue>();
  setMainQueue(queue);

  auto port = SerialPort::serialPortWithPath(argv[1]);
  if (!port) {
    std::cerr << argv[1] << ": not a serial device\n";
    return 1;
  }
  port->setBaudRate(std::stoull(argv[2]));
  port->setAllowsNonStandardBaudRates(true);
  port->setNumberOfDataBits(8);
  port->setParity(kParityNone);
  port->setNumberOfStopBits(1);
  auto printer = std::make_shared<Printer>();
  port->setDelegate(printer);

  port->open();
  queue->runUntil([&] { return printer->opened || printer->failed; }, 5s);
  if (!printer->opened) return 1;
  const bool sent = port->sendData(std::string(argv[3]) + "\n");
  queue->runFor(2s);
  port->close();
  queue->runUntil([&] { return printer->closed; }, 5s);
  return sent && !printer->failed ? 0 : 1;
}
