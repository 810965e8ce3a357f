// PacketListener: a port's packet detection. It keeps one PacketScanner per
// descriptor listened for, in the order they were added, runs every received
// byte through all of them on the port's request-handling queue, and hands
// each packet found to its port.
//
// The port owns one listener, adds it as the first ReceivedByteProcessor
// (before the request queue, so that a byte that completes a packet is
// reported before it completes a reply), and implements PacketListener::Port:
//
//   listener_ = PacketListener::create(requestStrand, portAsListenerPort);
//   addReceivedByteProcessor(listener_);
//
// Threading: start and stop listening wait for the request-handling queue
// (called there, they are queued to it instead, and take effect after the
// task that called them). packetDescriptors() may be called from any thread.
// processByte() runs on the request-handling queue only (checked in debug
// and sanitizer builds).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

#include "platform/serial_queue.h"
#include "serial/packets/packet_scanner.h"
#include "serial/port/received_byte_processor.h"
#include "valmor/serial/serial_packet_descriptor.h"

namespace valmor {

class PacketListener : public ReceivedByteProcessor, public std::enable_shared_from_this<PacketListener> {
  struct PrivateTag {};

 public:
  // What the listener needs from its port.
  class Port {
   public:
    virtual ~Port() = default;
    // A packet found for descriptor, on the request-handling queue. The
    // bytes are valid for the length of the call: copy them to keep them.
    // Called whether or not the delegate takes packets.
    virtual void reportPacket(std::span<const std::uint8_t> packet,
                              const std::shared_ptr<SerialPacketDescriptor>& descriptor) = 0;
    // The list of descriptors was changed (or a stop was asked for), on the
    // thread that called start or stop, after the change.
    virtual void packetDescriptorsDidChange() = 0;
  };

  // Port: held weakly; nothing is reported once it is gone.
  static std::shared_ptr<PacketListener> create(std::shared_ptr<SerialQueue> requestHandlingQueue, std::weak_ptr<Port> port);
  PacketListener(PrivateTag, std::shared_ptr<SerialQueue> requestHandlingQueue, std::weak_ptr<Port> port);

  // Starts scanning for descriptor's packets with an empty buffer. Does
  // nothing, and announces nothing, when it is already listened for: its
  // buffer keeps its bytes.
  void startListeningForPacketsMatchingDescriptor(const std::shared_ptr<SerialPacketDescriptor>& descriptor);
  // Stops scanning for descriptor and drops its buffer. Announced even when
  // it was not listened for.
  void stopListeningForPacketsMatchingDescriptor(const std::shared_ptr<SerialPacketDescriptor>& descriptor);
  // The descriptors listened for, in the order they were added.
  std::vector<std::shared_ptr<SerialPacketDescriptor>> packetDescriptors() const;

  // One received byte through every descriptor's scanner; each packet it
  // completes is reported and that scanner starts again empty.
  void processByte(std::uint8_t byte);

  void processReceivedByte(SerialPort&, std::uint8_t byte) override { processByte(byte); }
  // On the request-handling queue.
  bool isIdle() const override { return scanners_.empty(); }

 private:
  // Runs task on the request-handling queue and waits for it; queues it when
  // called there.
  void runOnQueue(std::function<void()> task);
  void announce();
  bool contains(const SerialPacketDescriptor& descriptor) const;

  const std::shared_ptr<SerialQueue> strand_;
  const std::weak_ptr<Port> port_;
  std::vector<std::unique_ptr<PacketScanner>> scanners_;  // strand
  mutable std::mutex mutex_;
  // The descriptors of scanners_, for readers on other threads. Changed on
  // the strand. Guarded by mutex_.
  std::vector<std::shared_ptr<SerialPacketDescriptor>> descriptors_;
};

}  // namespace valmor
