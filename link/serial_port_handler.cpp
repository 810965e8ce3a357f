#include "link/serial_port_handler.h"

#include <utility>

#include "text/unicode_text.h"

namespace valmor {

bool sendString(SerialPort& port, std::string_view text, std::ostream& log) {
  log << "Writing data: " << text << '\n' << std::flush;
  return port.sendData(text);
}

std::shared_ptr<SerialPortHandler> SerialPortHandler::create(std::ostream& log) {
  return std::make_shared<SerialPortHandler>(PrivateTag{}, log);
}

SerialPortHandler::SerialPortHandler(PrivateTag, std::ostream& log)
    : SerialPortDelegate(kWasRemovedFromSystem | kDidReceiveData | kDidEncounterError |
                         kWasOpened | kWasClosed),
      log_(log) {}

void SerialPortHandler::clearLine() {
  line_.clear();
  decoder_.reset();
}

void SerialPortHandler::openPort(std::string_view path) {
  // Every log line is written out at once: unitbuf flushes after each output
  // operation, and flushing std::cout flushes the C library's stdout buffer
  // too, which is what matters when standard output is a pipe or a file.
  log_ << std::unitbuf;

  serialPort_ = SerialPort::serialPortWithPath(path);
  if (!serialPort_) {
    log_ << "Serial port " << path << " was not found\n";
    return;
  }
  serialPort_->setBaudRate(kUnitBaudRate);
  serialPort_->setAllowsNonStandardBaudRates(true);
  serialPort_->setParity(kUnitParity);
  serialPort_->setDelegate(weak_from_this());
  awaitingOpen_ = true;
  serialPort_->open();
}

void SerialPortHandler::closePort() {
  awaitingOpen_ = false;
  const std::shared_ptr<SerialPort> port = std::exchange(serialPort_, nullptr);
  if (port && port->isOpen()) port->close();
}

void SerialPortHandler::serialPortWasOpened(SerialPort& port) {
  if (&port == serialPort_.get()) awaitingOpen_ = false;
  log_ << "Serial port " << port.description() << " was opened\n" << std::flush;
  sendString(port, lineFeedChar, log_);
  if (onOpened) onOpened();
}

void SerialPortHandler::serialPortWasClosed(SerialPort& port) {
  log_ << "Serial port " << port.description() << " was closed\n" << std::flush;
  if (onClosed) onClosed();
}

void SerialPortHandler::serialPortWasRemovedFromSystem(SerialPort& port) {
  // A removal of a port this handler no longer holds must not drop the one
  // it holds now.
  const bool held = serialPort_.get() == &port;
  if (held) {
    serialPort_.reset();
    awaitingOpen_ = false;
  }
  log_ << "Serial port " << port.description() << " was removed from the system\n" << std::flush;
  if (held && onRemoved) onRemoved();
}

void SerialPortHandler::serialPortDidEncounterError(SerialPort& port, const PosixError& error) {
  log_ << "Serial port (" << port.description() << ") encountered error: " << error.description()
       << '\n'
       << std::flush;
  // Errors of a port let go, or of an open port (a write, a setting), are
  // only logged and passed to onError.
  const bool openFailed = &port == serialPort_.get() && awaitingOpen_ && !port.isOpen();
  if (openFailed) awaitingOpen_ = false;
  if (onError) onError(error);
  if (openFailed && onOpenFailed) onOpenFailed(error);
}

void SerialPortHandler::serialPortDidReceiveData(SerialPort& port,
                                                 std::span<const std::uint8_t> data) {
  (void)port;
  const std::optional<std::string> text = decoder_.decode(data);
  // Invalid chunks are dropped silently; an empty text only started a
  // character whose remaining bytes are still to come.
  if (!text || text->empty()) return;
  log_ << "Data received:" << *text << '\n' << std::flush;
  line_ += *text;
  // line_ is always well-formed; the byte count only stands in should ICU
  // fail, so that text is never held back for good.
  const std::size_t count = countUserCharacters(line_).value_or(line_.size());
  if (count >= kAnswerMinimumCharacters) {
    const std::string piece = std::move(line_);
    line_.clear();
    if (onDataReceived) onDataReceived(piece);
  }
}

}  // namespace valmor
