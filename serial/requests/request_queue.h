// RequestQueue: a port's request/response queue. Requests are written one at
// a time, in the order sent; each one's reply is looked for in the received
// bytes, and the reply or the time-out is reported before the next request
// is written.
//
// A request is Waiting (queuedRequests()), then Pending (being written, then
// awaiting its reply), then Finished: its reply was found, it timed out, it
// expects no reply (finished once written), its write failed and it has no
// time-out, it was cancelled while waiting, or a close cleared the queue.
//
// Late replies: when the time-out fires, the request is timed out for good.
// It stays pending until its time-out has been reported (so the next request
// is written only after the report), but a reply that completes in that
// interval is ignored: every request gets exactly one outcome, a response or
// a time-out. The next request is started by the report's completion only if
// that same request is still the pending one, so a reply, a close or a
// second report can never start a request twice or drop one already started.
//
// Writes: the port writes a started request's bytes through
// Port::writeRequestData and calls back when the write is over. A port with a
// blocking write calls back inside the call; one that waits for the device
// without blocking may call back later, from any thread. Either way at most
// one write is in progress: a request sent meanwhile waits, even after a
// close has cleared the one being written. A write held up by a device that
// does not accept data must be ended by the port's close (written = false).
//
// A failed write (the port not open, a write error, a close ending it) leaves
// a request with a time-out pending until it times out as usual; one without
// a time-out is finished at once, since nothing else would ever end it.
//
// The port owns one queue, adds it as a ReceivedByteProcessor after its
// packet listener, and implements RequestQueue::Port:
//
//   requests_ = RequestQueue::create(requestStrand, portAsRequestPort);
//   addReceivedByteProcessor(requests_);
//   bool SerialPort::sendRequest(r) { return requests_->sendRequest(r); }
//
// Threading: all request state changes on the strand given (the port's
// request-handling queue). sendRequest() waits for it and must not be called
// there (it refuses and gives false); the strand never waits for the main
// thread, so the main thread may wait for it. Cancelling does not wait. The
// readers may be called from any thread. checkResponse…(),
// clearRequestState() and the ReceivedByteProcessor calls run on the strand
// only (checked in debug and sanitizer builds).
#pragma once

#include <asio/steady_timer.hpp>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

#include "platform/serial_queue.h"
#include "valmor/platform/observable.h"
#include "serial/packets/packet_scanner.h"
#include "serial/port/received_byte_processor.h"
#include "valmor/serial/serial_request.h"

namespace valmor {

class RequestQueue : public ReceivedByteProcessor, public std::enable_shared_from_this<RequestQueue> {
  struct PrivateTag {};

 public:
  // What the queue needs from its port. Every call is made on the strand.
  class Port {
   public:
    virtual ~Port() = default;
    // Writes data and calls done exactly once: true when every byte was
    // written (or there were none), false when the port is not open, a write
    // failed (reported to the delegate as usual) or a close ended the write.
    // done may be called inside this call or later from any thread; data
    // stays valid until then.
    virtual void writeRequestData(std::span<const std::uint8_t> data, std::function<void(bool written)> done) = 0;
    // The reply to request. The bytes are valid for the length of the call.
    virtual void reportResponse(std::span<const std::uint8_t> response,
                                const std::shared_ptr<SerialRequest>& request) = 0;
    // Whether the delegate takes time-out reports.
    virtual bool delegateImplementsRequestDidTimeout() = 0;
    // Reports that request timed out (on the main queue), then calls
    // reported, from any thread, exactly once, whether or not a delegate
    // took the report.
    virtual void reportTimeout(const std::shared_ptr<SerialRequest>& request, std::function<void()> reported) = 0;
    // The waiting requests changed: elements inserted or removed at
    // indexes, or the whole list replaced (Setting).
    virtual void requestsQueueDidChange(PropertyChange::Kind kind, std::vector<std::size_t> indexes) = 0;
  };

  // Port: held weakly; once it is gone, writes fail and nothing is reported.
  static std::shared_ptr<RequestQueue> create(std::shared_ptr<SerialQueue> requestHandlingQueue, std::weak_ptr<Port> port);
  RequestQueue(PrivateTag, std::shared_ptr<SerialQueue> requestHandlingQueue, std::weak_ptr<Port> port);

  // Queues request behind the pending one (true), or starts it and gives
  // whether its bytes were written. False for no request.
  bool sendRequest(const std::shared_ptr<SerialRequest>& request);
  // Removes request if it is waiting (that very object). A pending request
  // cannot be cancelled. Takes effect shortly afterwards.
  void cancelQueuedRequest(const std::shared_ptr<SerialRequest>& request);
  // Empties the waiting list; the pending request goes on.
  void cancelAllQueuedRequests();

  // The waiting requests, oldest first, as they were at one moment.
  std::vector<std::shared_ptr<SerialRequest>> queuedRequests() const;
  // The started and unfinished request, or empty.
  std::shared_ptr<SerialRequest> pendingRequest() const;

  // One received byte, after the packet detection of that byte: looks for
  // the pending request's reply.
  void checkResponseToPendingRequestAndContinueIfValidWithReceivedByte(std::uint8_t byte);
  // After a close: drops the waiting and the pending request and stops the
  // time-out.
  void clearRequestState();

  void processReceivedByte(SerialPort&, std::uint8_t byte) override {
    checkResponseToPendingRequestAndContinueIfValidWithReceivedByte(byte);
  }
  void portDidClose(SerialPort&) override { clearRequestState(); }
  // On the strand: no reply is looked for.
  bool isIdle() const override { return !responseScanner_; }

 private:
  // Carries to sendRequest()'s caller whether its request was written (or
  // queued): given once, and false if dropped without being given.
  class WriteAnswer;
  using Promise = std::shared_ptr<WriteAnswer>;

  void reallySendRequest(const std::shared_ptr<SerialRequest>& request, const Promise& result);
  void start(const std::shared_ptr<SerialRequest>& request, const Promise& result);
  void writeDidFinish(std::uint64_t serial, bool written, const Promise& result);
  void pendingRequestDidTimeout(std::uint64_t serial);
  void timeoutWasReported(std::uint64_t serial);
  void finishPendingRequest();
  void sendNextRequest();
  void setPending(std::shared_ptr<SerialRequest> request);
  void announce(PropertyChange::Kind kind, std::vector<std::size_t> indexes = {});

  const std::shared_ptr<SerialQueue> strand_;
  const std::weak_ptr<Port> port_;
  asio::steady_timer timer_;                        // strand
  std::unique_ptr<PacketScanner> responseScanner_;  // strand; the pending request's reply
  std::uint64_t serial_ = 0;                        // strand; requests started so far
  bool timedOut_ = false;                           // strand; the pending request timed out
  bool hasTimeout_ = false;                         // strand; the pending request has a time-out
  bool writing_ = false;                            // strand; a write is in progress
  bool sendingNext_ = false;                        // strand; sendNextRequest() is running

  mutable std::mutex mutex_;
  // Changed on the strand only, under mutex_; read there without it.
  std::shared_ptr<SerialRequest> pending_;
  std::deque<std::shared_ptr<SerialRequest>> waiting_;
};

}  // namespace valmor
