// RequestStrand: a port's request-handling queue, a serial queue on the
// background pool, and the processors of received bytes that run on it
// (packet detection and the request queue take part in a port's reading
// here; see received_byte_processor.h).
//
// Each chunk a port reads is queued to its delegate first, then handed here,
// where every byte, in order, goes through each processor in the order they
// were added. A port without processors skips this step; processors that are
// idle for a batch of chunks are left out of it. When the queue is idle the
// reading thread runs the processors itself (SerialQueue::runHereOrPost), so
// a reply reaches the delegate without a hand-over to a pool thread.
//
// Threading: every member may be called from any thread; processors are
// called on the strand only. Nothing on the strand waits for the main
// thread.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/serial_queue.h"
#include "serial/session/port_session.h"
#include "serial/port/received_byte_processor.h"

namespace valmor {

class SerialPort;

class RequestStrand {
 public:
  // Runs a task on the strand, never inside this call.
  void post(std::function<void()> task) { queue_->post(std::move(task)); }
  [[nodiscard]] bool isCurrent() const { return queue_->isCurrent(); }
  const std::shared_ptr<SerialQueue>& queue() const { return queue_; }

  void addProcessor(std::shared_ptr<ReceivedByteProcessor> processor);
  bool hasProcessors() const { return hasProcessors_.load(); }

  // Queues the chunks' bytes through every processor. Nothing happens once
  // the port has gone.
  void process(std::weak_ptr<SerialPort> port, ChunkList chunks);

  // Queues portDidClose() to every processor.
  void portDidClose(std::weak_ptr<SerialPort> port);

 private:
  std::vector<std::shared_ptr<ReceivedByteProcessor>> processors() const;

  const std::shared_ptr<SerialQueue> queue_ = SerialQueue::create();
  mutable std::mutex mutex_;
  std::vector<std::shared_ptr<ReceivedByteProcessor>> processors_;  // Guarded by mutex_.
  std::atomic<bool> hasProcessors_{false};
};

}  // namespace valmor
