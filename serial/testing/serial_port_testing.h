// SerialPortTesting: the seam through which tests reach a port's internals,
// and nothing else does: its request-handling queue, the processors of
// received bytes on it (received_byte_processor.h), and the hand-over of
// what one read gave. Tests use this instead of the port's private state.
//
// Threading: as the members of RequestStrand they stand for (any thread;
// processors are called on the request-handling queue); deliverRead() on a
// thread standing in for the session's reading thread.
#pragma once

#include <functional>
#include <memory>

#include "serial/port/received_byte_processor.h"
#include "serial/port/serial_port_impl.h"
#include "valmor/serial/serial_port.h"

namespace valmor {

class SerialPortTesting {
 public:
  // Runs task on the port's request-handling queue, never inside this call.
  static void postToRequestQueue(SerialPort& port, std::function<void()> task) {
    port.impl_->requests.post(std::move(task));
  }
  // True inside a task of the port's request-handling queue.
  static bool isOnRequestQueue(SerialPort& port) { return port.impl_->requests.isCurrent(); }
  // Adds a processor of received bytes after those the port has.
  static void addReceivedByteProcessor(SerialPort& port, std::shared_ptr<ReceivedByteProcessor> processor) {
    port.impl_->requests.addProcessor(std::move(processor));
  }
  // True once packet detection or the request queue takes part in reading.
  static bool hasReceivedByteProcessors(SerialPort& port) { return port.impl_->requests.hasProcessors(); }
  // Hands the port the chunks of one read, as its session's reading thread
  // does, so that a test controls how much one read gives.
  static void deliverRead(SerialPort& port, ChunkList chunks) { port.impl_->sessionDidRead(std::move(chunks)); }
};

}  // namespace valmor
