// Sends a request and waits for its reply: the reply is a line that begins
// with REPLY_PREFIX and ends with CR LF, and it must come within two seconds.
//
//   request PATH RATE COMMAND REPLY_PREFIX     e.g. request /dev/ttyUSB0 9600 AT OK
//
// COMMAND is sent with a line feed after it. Exit status 0 with the reply
// printed, 1 when none came in time.
#include <chrono>
#include <iostream>
#include <memory>
#include <span>
#include <string>

#include "valmor/platform/main_queue.h"
#include "valmor/serial/serial_port.h"
#include "valmor/serial/serial_request.h"

using namespace valmor;
using namespace std::chrono_literals;

class Replies : public SerialPortDelegate {
 public:
  Replies() : SerialPortDelegate(kWasOpened | kWasClosed | kDidEncounterError | kDidReceiveResponseToRequest | kRequestDidTimeout) {}
  void serialPortWasOpened(SerialPort&) override { opened = true; }
  void serialPortWasClosed(SerialPort&) override { closed = true; }
  void serialPortDidEncounterError(SerialPort&, const PosixError& error) override {
    std::cerr << error.description() << '\n';
    failed = true;
  }
  void serialPortDidReceiveResponseToRequest(SerialPort&, std::span<const std::uint8_t> reply,
                                             const std::shared_ptr<SerialRequest>&) override {
    std::cout << std::string(reply.begin(), reply.end());
    answered = true;
  }
  void serialPortRequestDidTimeout(SerialPort&, const std::shared_ptr<SerialRequest>& request) override {
    std::cerr << "no reply within " << request->timeoutInterval() << " s\n";
    timedOut = true;
  }
  bool opened = false, closed = false, failed = false, answered = false, timedOut = false;
};

int main(int argc, char** argv) {
  if (argc != 5) {
    std::cerr << "usage: request PATH RATE COMMAND REPLY_PREFIX\n";
    return 2;
  }
  auto queue = std::make_shared<RunLoopMainQueue>();
  setMainQueue(queue);
  auto port = SerialPort::serialPortWithPath(argv[1]);
  if (!port) return 1;
  port->setBaudRate(std::stoull(argv[2]));
  port->setAllowsNonStandardBaudRates(true);
  auto replies = std::make_shared<Replies>();
  port->setDelegate(replies);
  port->open();
  queue->runUntil([&] { return replies->opened || replies->failed; }, 5s);
  if (!replies->opened) return 1;

  const std::string command = std::string(argv[3]) + "\n";
  auto reply = SerialPacketDescriptor::initWithPrefixString(argv[4], "\r\n", 256, {});
  auto request = SerialRequest::requestWithDataToSend({command.begin(), command.end()}, {}, 2.0, reply);
  if (!port->sendRequest(request)) return 1;
  queue->runUntil([&] { return replies->answered || replies->timedOut; }, 10s);
  port->close();  // complete once the device has its settings back
  queue->runUntil([&] { return replies->closed; }, std::chrono::seconds(5));
  return replies->answered ? 0 : 1;
}
