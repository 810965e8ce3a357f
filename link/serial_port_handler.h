// SerialPortHandler: the application's owner of the one serial port that
// leads to the VALMOR unit. It creates and configures the port (42105 baud,
// non-standard rates allowed, even parity, the port's defaults otherwise), is
// the port's delegate, logs every event of the port, greets the unit with a
// line feed once the port has opened, and collects the text the unit sends
// until at least 25 user-perceived characters have arrived, which it then
// hands on whole.
//
//   auto handler = SerialPortHandler::create();      // logs to std::cout
//   handler->onDataReceived = [](const std::string& text) { show(text); };
//   handler->openPort("/dev/ttyUSB0");
//
// Log lines, one per event, each ended by a line feed, flushed at once:
//   "Serial port NAME was opened"          then the greeting's write line
//   "Serial port NAME was closed"
//   "Serial port NAME was removed from the system"
//   "Serial port (NAME) encountered error: PATH: TEXT (errno N)"
//   "Serial port PATH was not found"       openPort found no such device
//   "Data received:TEXT"
//   "Writing data: TEXT"                   (sendString)
//
// Received text: each chunk is decoded as strict UTF-8. A character split
// between two chunks waits for its remaining bytes; a chunk that is invalid
// for any other reason is dropped without a log line. Decoded text is
// appended to line(); once line() holds 25 or more extended grapheme clusters
// (CR LF counts as one) it is passed to onDataReceived whole and emptied. It
// is never split.
//
// Ownership: the handler owns its port; the port refers to the handler
// weakly, so the handler must be owned by a std::shared_ptr (create() makes
// one). Callbacks keep what they capture alive.
//
// Threading: main thread only. The port delivers every delegate call there;
// callbacks run inside those calls.
#pragma once

#include <functional>
#include <iostream>
#include <memory>
#include <ostream>
#include <span>
#include <string>
#include <string_view>

#include "link/utf8_stream_decoder.h"
#include "valmor/serial/serial_port.h"
#include "valmor/serial/serial_port_delegate.h"

namespace valmor {

// Line settings the handler gives the unit's port.
inline constexpr std::uint64_t kUnitBaudRate = 42105;
inline constexpr std::uint64_t kUnitParity = kParityEven;

// Received text is handed on once it holds at least this many characters.
inline constexpr std::size_t kAnswerMinimumCharacters = 25;

// Logs "Writing data: " and the text to `log`, then writes exactly the
// text's bytes (UTF-8, nothing added) with port.sendData(). Gives the result
// of sendData(): false when the port is not open or the write failed (the
// port reports the failure to its delegate).
bool sendString(SerialPort& port, std::string_view text, std::ostream& log = std::cout);

class SerialPortHandler final : public SerialPortDelegate,
                                public std::enable_shared_from_this<SerialPortHandler> {
  struct PrivateTag {};

 public:
  // A handler whose log lines go to `log` (which must outlive it).
  static std::shared_ptr<SerialPortHandler> create(std::ostream& log = std::cout);

  SerialPortHandler(PrivateTag, std::ostream& log);

  // The terminator written after commands and data and as the greeting.
  const std::string lineFeedChar = "\n";

  // Called after the port has opened (after the greeting was written).
  std::function<void()> onOpened = [] {};
  // Called after the port has closed. Not called for a removal.
  std::function<void()> onClosed = [] {};
  // Called after the log line of the removal of the port the handler held,
  // which it then no longer holds; so that the window can look for the unit
  // again when it is plugged back in. Not called for the removal of a port
  // the handler had already let go.
  std::function<void()> onRemoved = [] {};
  // Called with each completed piece of received text.
  std::function<void(const std::string&)> onDataReceived = [](const std::string&) {};
  // Called after the log line of each error the port reports (a failed
  // open, a refused lock, a failed write), so that a caller without a
  // window, such as the command-line tool, can tell the user why.
  std::function<void(const PosixError&)> onError = [](const PosixError&) {};
  // Called after onError when the error is why the open that openPort()
  // started failed (in use by another program, no permission, not a serial
  // device...). The handler keeps the closed port, so that openPort() with
  // the same path tries again. At most once per openPort().
  std::function<void(const PosixError&)> onOpenFailed = [](const PosixError&) {};

  // The port made by the last openPort(); empty before the first, when
  // openPort() found no device, and after the device was removed.
  const std::shared_ptr<SerialPort>& serialPort() const { return serialPort_; }

  // Received text not yet handed on.
  const std::string& line() const { return line_; }

  // Discards received text not yet handed on, and any partial character
  // waiting for its remaining bytes.
  void clearLine();

  // Opens the device at `path` (a callout path of the device registry): makes
  // the log unbuffered, makes or finds the port, stores it (dropping the port
  // held before), sets the line settings and itself as delegate, and opens
  // it. The outcome comes through the delegate calls and their callbacks;
  // none runs inside this call. When the registry has no such device, the
  // handler holds no port and logs that.
  void openPort(std::string_view path);

  // Lets go of the port: starts closing it when it is open (its close is
  // still logged, and onClosed called, when it completes) and holds no port
  // from now on; nothing more of that port reaches onOpenFailed or
  // onRemoved. Does nothing without a port.
  void closePort();

  // Where the log lines go.
  std::ostream& log() const { return log_; }

  // Delegate calls (from the port, on the main thread).
  void serialPortWasOpened(SerialPort& port) override;
  void serialPortWasClosed(SerialPort& port) override;
  void serialPortWasRemovedFromSystem(SerialPort& port) override;
  void serialPortDidEncounterError(SerialPort& port, const PosixError& error) override;
  void serialPortDidReceiveData(SerialPort& port, std::span<const std::uint8_t> data) override;

 private:
  std::ostream& log_;
  std::shared_ptr<SerialPort> serialPort_;
  // openPort() opened serialPort_ and neither its opening nor its failure
  // has been delivered yet. An error that arrives meanwhile while the port
  // is not open is the reason the open failed. (The open of a port that is
  // still closing happens once the close completes, so the flag outlives
  // that close.)
  bool awaitingOpen_ = false;
  std::string line_;
  Utf8StreamDecoder decoder_;
};

}  // namespace valmor
