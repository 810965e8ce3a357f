// SerialPort's packet detection and request queue: the public calls forward
// to a PacketListener and a RequestQueue made on the port's first use of
// either, and the port answers their Port interfaces here.
#include <utility>

#include "serial/packets/packet_listener.h"
#include "serial/requests/request_queue.h"
#include "serial/requests/request_writer.h"
#include "valmor/serial/serial_packet_descriptor.h"
#include "valmor/serial/serial_port.h"
#include "serial/port/serial_port_impl.h"
#include "valmor/serial/serial_request.h"

namespace valmor {

namespace {

using Bytes = std::vector<std::uint8_t>;

// What sendData() does, in the turn given if there is one, without holding
// the port while the device holds the write up: a port dropped meanwhile is
// still destroyed, and its close ends the write.
bool writeRequestBytes(const std::weak_ptr<SerialPort>& weak, PortSession& session,
                       const PortSession::WriteTurn& turn, std::span<const std::uint8_t> data) {
  if (data.empty()) return true;
  const std::error_code error = turn ? session.write(turn, data) : session.write(data);
  if (!error) return true;
  if (auto port = weak.lock()) implOf(*port).notifyDelegateOfPosixError(error);
  return false;
}

// Calls a function exactly once: when told to, or else when the last copy of
// its holder goes (a main-queue task dropped unrun).
class CallOnce {
 public:
  explicit CallOnce(std::function<void()> f) : f_(std::move(f)) {}
  CallOnce(const CallOnce&) = delete;
  CallOnce& operator=(const CallOnce&) = delete;
  ~CallOnce() { now(); }
  void now() {
    std::function<void()> f;
    {
      std::lock_guard lock(mutex_);
      f = std::exchange(f_, nullptr);
    }
    if (f) f();
  }

 private:
  std::mutex mutex_;
  std::function<void()> f_;  // Guarded by mutex_.
};

}  // namespace

// Both the listener and the queue hold their Port weakly; the port hands
// them references that share its own ownership, so they expire with it.
struct SerialPort::Impl::PacketsAndRequests final : PacketListener::Port, RequestQueue::Port {
  explicit PacketsAndRequests(Impl& i) : impl(i), port(i.weakPort()) {}

  // ---- PacketListener::Port, on the request-handling queue ----

  void reportPacket(std::span<const std::uint8_t> packet,
                    const std::shared_ptr<SerialPacketDescriptor>& descriptor) override {
    if (!delegateImplements(SerialPortDelegate::kDidReceivePacketMatchingDescriptor)) return;
    impl.queueDelegateCall(SerialPortDelegate::kDidReceivePacketMatchingDescriptor,
                           [bytes = Bytes(packet.begin(), packet.end()), descriptor](SerialPortDelegate& d,
                                                                                     SerialPort& p) {
                             d.serialPortDidReceivePacketMatchingDescriptor(p, bytes, descriptor);
                           });
  }

  // On the thread that started or stopped listening.
  void packetDescriptorsDidChange() override { impl.owner.didChange("packetDescriptorsAndBuffers"); }

  // ---- RequestQueue::Port, on the request-handling queue ----

  void writeRequestData(std::span<const std::uint8_t> data, std::function<void(bool)> done) override {
    // The descriptor is non-blocking, so what the device takes at once is
    // written here; only a rest that must wait for the device goes to the
    // writer's thread, which may wait as long as the device holds it up,
    // keeping the turn, so that no send slips in between. A send holding
    // the turn now is waited for there too, never on this queue.
    const auto session = impl.activeSession();
    if (!session) {
      done(false);
      return;
    }
    auto turn = std::make_shared<PortSession::WriteTurn>(session->tryTakeWriteTurn());
    std::size_t written = 0;
    if (*turn) {
      std::error_code error;
      written = session->writeNow(*turn, data, error);
      if (error || written == data.size()) {
        // Given back first: done() may start the next request's write here.
        *turn = {};
        if (error) impl.notifyDelegateOfPosixError(error);
        done(!error);
        return;
      }
    }
    writer.write([weak = port, session, turn, rest = data.subspan(written), done = std::move(done)] {
      done(writeRequestBytes(weak, *session, *turn, rest));
    });
  }

  void reportResponse(std::span<const std::uint8_t> response,
                      const std::shared_ptr<SerialRequest>& request) override {
    if (!delegateImplements(SerialPortDelegate::kDidReceiveResponseToRequest)) return;
    impl.queueDelegateCall(SerialPortDelegate::kDidReceiveResponseToRequest,
                           [bytes = Bytes(response.begin(), response.end()), request](SerialPortDelegate& d,
                                                                                      SerialPort& p) {
                             d.serialPortDidReceiveResponseToRequest(p, bytes, request);
                           });
  }

  bool delegateImplementsRequestDidTimeout() override {
    return delegateImplements(SerialPortDelegate::kRequestDidTimeout);
  }

  void reportTimeout(const std::shared_ptr<SerialRequest>& request, std::function<void()> reported) override {
    // In order with the delegate's other calls. The queue moves on once the
    // call has been made, or skipped because the delegate changed its mind,
    // or dropped because the port or the main queue has gone.
    auto once = std::make_shared<CallOnce>(std::move(reported));
    impl.dispatch->queue([weak = port, request, once] {
      if (auto self = weak.lock()) {
        implOf(*self).callDelegate(SerialPortDelegate::kRequestDidTimeout,
                                   [&request](SerialPortDelegate& d, SerialPort& p) {
                                     d.serialPortRequestDidTimeout(p, request);
                                   });
      }
      once->now();
    });
  }

  void requestsQueueDidChange(PropertyChange::Kind kind, std::vector<std::size_t> indexes) override {
    switch (kind) {
      case PropertyChange::Kind::Insertion: impl.owner.didInsert("requestsQueue", std::move(indexes)); break;
      case PropertyChange::Kind::Removal: impl.owner.didRemove("requestsQueue", std::move(indexes)); break;
      case PropertyChange::Kind::Setting: impl.owner.didChange("requestsQueue"); break;
    }
  }

  bool delegateImplements(SerialPortDelegate::Method method) const {
    const auto d = impl.owner.delegate();
    return d && d->implements(method);
  }

  Impl& impl;
  const std::weak_ptr<SerialPort> port;
  std::shared_ptr<PacketListener> listener;
  std::shared_ptr<RequestQueue> queue;
  // Last, so that it goes first: its destructor waits for a write that is
  // running, which needs nothing above.
  RequestWriter writer;
};

SerialPort::Impl::PacketsAndRequests& SerialPort::Impl::packetsAndRequests() {
  std::call_once(packetsAndRequestsOnce, [this] {
    auto made = std::make_shared<PacketsAndRequests>(*this);
    const std::shared_ptr<SerialPort> self = owner.shared_from_this();
    made->listener = PacketListener::create(requests.queue(),
                                            std::shared_ptr<PacketListener::Port>(self, made.get()));
    made->queue = RequestQueue::create(requests.queue(), std::shared_ptr<RequestQueue::Port>(self, made.get()));
    packetsAndRequestsStore = made;
    // The listener first: the packets a byte completes are reported before
    // the reply it completes.
    requests.addProcessor(made->listener);
    requests.addProcessor(made->queue);
    packetsAndRequestsMade.store(made.get());
  });
  return *packetsAndRequestsMade.load();
}

// ---- The public calls ----

void SerialPort::startListeningForPacketsMatchingDescriptor(
    const std::shared_ptr<SerialPacketDescriptor>& descriptor) {
  if (!descriptor) return;
  impl_->packetsAndRequests().listener->startListeningForPacketsMatchingDescriptor(descriptor);
}

void SerialPort::stopListeningForPacketsMatchingDescriptor(
    const std::shared_ptr<SerialPacketDescriptor>& descriptor) {
  if (auto* made = impl_->packetsAndRequestsIfMade()) {
    made->listener->stopListeningForPacketsMatchingDescriptor(descriptor);
  } else {
    didChange("packetDescriptorsAndBuffers");  // announced all the same
  }
}

std::vector<std::shared_ptr<SerialPacketDescriptor>> SerialPort::packetDescriptors() const {
  const auto* made = impl_->packetsAndRequestsIfMade();
  return made ? made->listener->packetDescriptors() : std::vector<std::shared_ptr<SerialPacketDescriptor>>{};
}

bool SerialPort::sendRequest(const std::shared_ptr<SerialRequest>& request) {
  if (!request) return false;
  return impl_->packetsAndRequests().queue->sendRequest(request);
}

void SerialPort::cancelQueuedRequest(const std::shared_ptr<SerialRequest>& request) {
  if (auto* made = impl_->packetsAndRequestsIfMade()) made->queue->cancelQueuedRequest(request);
}

void SerialPort::cancelAllQueuedRequests() {
  if (auto* made = impl_->packetsAndRequestsIfMade()) made->queue->cancelAllQueuedRequests();
}

std::vector<std::shared_ptr<SerialRequest>> SerialPort::queuedRequests() const {
  const auto* made = impl_->packetsAndRequestsIfMade();
  return made ? made->queue->queuedRequests() : std::vector<std::shared_ptr<SerialRequest>>{};
}

}  // namespace valmor
