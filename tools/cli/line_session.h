// send and request: bytes written to a serial port and what comes back, for
// scripts and for a look at a device by hand.
//
// send: opens the port with the line settings given, writes the bytes and
//   prints on standard output what arrives until `wait` has passed, raw (or
//   in hexadecimal, one line). With a reply form it listens for packets of
//   that form instead (the library's packet detection) and ends with the
//   first one, printing only it; none in time is a failure.
// request: the same exchange through the port's request queue: the bytes
//   go out as a request whose reply has the form given, with `wait` as its
//   time-out; the reply is printed, a time-out is a failure. Without a reply
//   form the request expects no reply and ends once written.
//
// A reply form is one of: a prefix and/or a suffix (with a maximum length),
// a regular expression (ICU syntax, matched from the reply's first byte,
// with a maximum length), or an exact length. A packet is the shortest run
// of bytes of its form, so a suffix alone would give just the suffix: with
// a suffix and no prefix, what is printed is everything that came back up
// to and including the suffix (a line, for --suffix '\n').
//
// Failures are one line on the error stream. Threading: main thread only;
// runs the main queue given until done, and leaves the port closed. The
// port calls its delegate on the library's threads, so that what arrives is
// gathered where it is read, and the main loop is woken only for the events
// it waits for.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <ostream>
#include <string>

#include "valmor/platform/main_queue.h"
#include "valmor/serial/line_settings.h"
#include "valmor/serial/serial_packet_descriptor.h"
#include "tools/cli/byte_text.h"

namespace valmor {

struct ReplyForm {
  std::optional<ByteVector> prefix;
  std::optional<ByteVector> suffix;
  std::optional<std::string> expression;
  std::optional<std::size_t> length;
  std::size_t maxLength = 1024;
  bool given() const { return prefix || suffix || expression || length; }
};

// The descriptor of the form; empty when no form is given or the form is
// bad, with the reason in error (forms mixed, expression that does not
// compile).
std::shared_ptr<SerialPacketDescriptor> replyDescriptor(const ReplyForm& form, std::string& error);

struct LineSettingsOptions {
  std::uint64_t baudRate = 42105;
  std::uint64_t dataBits = 8;
  std::uint64_t parity = kParityEven;
  std::uint64_t stopBits = 1;
  bool rtscts = false;
  bool xonxoff = false;
  std::chrono::milliseconds breakBefore{0};  // a break sent before the bytes, when not 0
};

struct LineJob {
  std::optional<std::string> port;  // else the first unit of the registry
  bool request = false;             // request, else send
  ByteVector data;
  std::shared_ptr<SerialPacketDescriptor> reply;  // none: no reply form
  std::optional<ByteVector> suffixOnly;  // the suffix, when the form is a suffix alone
  LineSettingsOptions line;
  std::chrono::milliseconds wait{3000};
  std::string waitText = "3";
  bool hex = false;  // print what arrives in hexadecimal
};

// 0 done, 1 failure, 128 + signal when interrupted.
int talkToPort(const LineJob& job, RunLoopMainQueue& queue, std::ostream& out, std::ostream& err);

}  // namespace valmor
