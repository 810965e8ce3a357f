// ReceivedByteProcessor: where packet detection and the request queue take
// part in a port's handling of received bytes.
//
// Each chunk read from the device is first queued to the delegate on the main
// queue, then handed to the port's request-handling queue, where every byte,
// in order, goes through each processor in the order they were added to the
// port (packet detection is added before the request queue, so a byte that
// completes a packet is reported before it completes a reply). A port with no
// processors skips this step.
//
// Threading: every call runs on the port's request-handling queue
// (RequestStrand::isCurrent() of the port).
#pragma once

#include <cstdint>

namespace valmor {

class SerialPort;

class ReceivedByteProcessor {
 public:
  virtual ~ReceivedByteProcessor() = default;

  // One received byte. For each byte, every processor is called before the
  // next byte goes to the first.
  virtual void processReceivedByte(SerialPort& port, std::uint8_t byte) = 0;

  // True while no byte could change anything (nothing is looked for). Read
  // before each batch of chunks: a processor idle then is skipped for the
  // whole batch, which is sound because what makes it busy (a start of
  // listening, a request started) is a task of its own on the same queue.
  virtual bool isIdle() const { return false; }

  // A close has been delivered to a delegate that implements
  // serialPortWasClosed: request state is to be cleared.
  virtual void portDidClose(SerialPort& port) { (void)port; }
};

}  // namespace valmor
