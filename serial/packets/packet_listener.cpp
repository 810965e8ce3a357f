#include "serial/packets/packet_listener.h"

#include <algorithm>
#include <future>

#include "platform/thread_checks.h"

namespace valmor {

std::shared_ptr<PacketListener> PacketListener::create(std::shared_ptr<SerialQueue> requestHandlingQueue, std::weak_ptr<Port> port) {
  return std::make_shared<PacketListener>(PrivateTag{}, std::move(requestHandlingQueue), std::move(port));
}

PacketListener::PacketListener(PrivateTag, std::shared_ptr<SerialQueue> requestHandlingQueue, std::weak_ptr<Port> port)
    : strand_(std::move(requestHandlingQueue)), port_(std::move(port)) {}

bool PacketListener::contains(const SerialPacketDescriptor& descriptor) const {
  std::lock_guard lock(mutex_);
  return std::any_of(descriptors_.begin(), descriptors_.end(), [&](const auto& d) { return *d == descriptor; });
}

std::vector<std::shared_ptr<SerialPacketDescriptor>> PacketListener::packetDescriptors() const {
  std::lock_guard lock(mutex_);
  return descriptors_;
}

void PacketListener::runOnQueue(std::function<void()> task) {
  if (strand_->isCurrent()) {
    // Waiting here would wait for ourselves; and changing the scanners now
    // could pull them from under a scan in progress.
    strand_->post([self = shared_from_this(), task = std::move(task)] { task(); });
    return;
  }
  // Here at once when the queue is idle; otherwise in its turn.
  auto packaged = std::make_shared<std::packaged_task<void()>>(std::move(task));
  auto done = packaged->get_future();
  strand_->runHereOrPost([packaged] { (*packaged)(); });
  done.wait();
}

void PacketListener::announce() {
  if (auto port = port_.lock()) port->packetDescriptorsDidChange();
}

void PacketListener::startListeningForPacketsMatchingDescriptor(
    const std::shared_ptr<SerialPacketDescriptor>& descriptor) {
  if (!descriptor || contains(*descriptor)) return;
  bool queued = strand_->isCurrent();
  runOnQueue([this, descriptor, queued] {
    // Checked again: another thread may have added it since.
    if (contains(*descriptor)) return;
    scanners_.push_back(std::make_unique<PacketScanner>(descriptor));
    {
      std::lock_guard lock(mutex_);
      descriptors_.push_back(descriptor);
    }
    if (queued) announce();
  });
  if (!queued) announce();
}

void PacketListener::stopListeningForPacketsMatchingDescriptor(
    const std::shared_ptr<SerialPacketDescriptor>& descriptor) {
  bool queued = strand_->isCurrent();
  runOnQueue([this, descriptor, queued] {
    if (descriptor) {
      std::erase_if(scanners_, [&](const auto& s) { return *s->descriptor() == *descriptor; });
      std::lock_guard lock(mutex_);
      std::erase_if(descriptors_, [&](const auto& d) { return *d == *descriptor; });
    }
    if (queued) announce();
  });
  if (!queued) announce();
}

void PacketListener::processByte(std::uint8_t byte) {
  VALMOR_CHECK_THREAD(strand_->isCurrent(), "packets are scanned on the request-handling queue only");
  std::shared_ptr<Port> port;
  for (const auto& scanner : scanners_) {
    const auto packet = scanner->appendByte(byte);
    if (packet.empty()) continue;
    if (!port) port = port_.lock();
    if (port) port->reportPacket(packet, scanner->descriptor());
  }
}

}  // namespace valmor
