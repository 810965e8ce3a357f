#include "serial/request_strand.h"

#include <asio/defer.hpp>
#include <asio/post.hpp>

namespace valmor {

void RequestStrand::post(std::function<void()> task) { asio::post(strand_, std::move(task)); }

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
  // Deferred: called from the reading's handler on the pool, the bytes are
  // then processed by the same thread as soon as that handler returns,
  // instead of waking another thread of the pool for them (a reply reaches
  // its delegate several microseconds sooner).
  asio::defer(strand_, [this, port = std::move(port), chunks = std::move(chunks)] {
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
