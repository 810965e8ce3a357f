#include "serial/port/request_strand.h"

namespace valmor {

void RequestStrand::addProcessor(std::shared_ptr<ReceivedByteProcessor> processor) {
  if (!processor) return;
  std::lock_guard lock(mutex_);
  processors_.push_back(std::move(processor));
  hasProcessors_ = true;
}

std::vector<std::shared_ptr<ReceivedByteProcessor>> RequestStrand::processors() const {
  std::lock_guard lock(mutex_);
  return processors_;
}

void RequestStrand::process(std::weak_ptr<SerialPort> port, ChunkList chunks) {
  if (!hasProcessors()) return;
  // Called on the port's reading thread: an idle queue is entered directly,
  // so the reader scans the bytes it has just read instead of waking a
  // thread of the pool for them; a busy one takes them in turn.
  queue_->runHereOrPost([this, port = std::move(port), chunks = std::move(chunks)] {
    auto self = port.lock();
    if (!self) return;
    // Idle processors cost nothing per byte: a port whose packet detection
    // and request queue have nothing to look for only pays for this task.
    auto busy = processors();
    std::erase_if(busy, [](const auto& p) { return p->isIdle(); });
    if (busy.empty()) return;
    for (const auto& chunk : chunks)
      for (const std::uint8_t byte : chunk->bytes)
        for (const auto& processor : busy) processor->processReceivedByte(*self, byte);
  });
}

void RequestStrand::portDidClose(std::weak_ptr<SerialPort> port) {
  if (!hasProcessors()) return;
  post([this, port = std::move(port)] {
    auto self = port.lock();
    if (!self) return;
    for (const auto& processor : processors()) processor->portDidClose(*self);
  });
}

}  // namespace valmor
