#include "serial/requests/request_queue.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <optional>

#include "platform/background.h"
#include "platform/log.h"
#include "platform/thread_checks.h"

namespace valmor {

std::shared_ptr<RequestQueue> RequestQueue::create(std::shared_ptr<SerialQueue> requestHandlingQueue, std::weak_ptr<Port> port) {
  return std::make_shared<RequestQueue>(PrivateTag{}, std::move(requestHandlingQueue), std::move(port));
}

RequestQueue::RequestQueue(PrivateTag, std::shared_ptr<SerialQueue> requestHandlingQueue, std::weak_ptr<Port> port)
    : strand_(std::move(requestHandlingQueue)), port_(std::move(port)), timer_(backgroundContext()) {}

namespace {

// What sendRequest() waits on. A mutex and a condition variable rather than
// a std::promise: the promise's first answer costs a system call (a futex
// wake) even with nobody waiting, which is most of the time, since an idle
// queue answers before sendRequest() starts to wait.
struct WriteResult {
  std::mutex mutex;
  std::condition_variable answered;
  std::optional<bool> written;  // Guarded by mutex.

  void give(bool value) {
    {
      std::lock_guard lock(mutex);
      if (written) return;
      written = value;
    }
    answered.notify_one();
  }
  bool wait() {
    std::unique_lock lock(mutex);
    answered.wait(lock, [this] { return written.has_value(); });
    return *written;
  }
};

}  // namespace

class RequestQueue::WriteAnswer {
 public:
  explicit WriteAnswer(std::shared_ptr<WriteResult> result) : result_(std::move(result)) {}
  // Dropped without an answer (the queue went before the request's turn).
  ~WriteAnswer() { result_->give(false); }
  WriteAnswer(const WriteAnswer&) = delete;
  WriteAnswer& operator=(const WriteAnswer&) = delete;
  void set_value(bool written) { result_->give(written); }

 private:
  std::shared_ptr<WriteResult> result_;
};

bool RequestQueue::sendRequest(const std::shared_ptr<SerialRequest>& request) {
  if (!request) return false;
  if (strand_->isCurrent()) {
    logLine("sendRequest refused: called on the request-handling queue, it would wait for itself");
    return false;
  }
  auto result = std::make_shared<WriteResult>();
  // An idle queue is entered here: the request is written on this thread,
  // without waking a thread of the pool and being woken by it.
  strand_->runHereOrPost([self = shared_from_this(), request, answer = std::make_shared<WriteAnswer>(result)] {
    self->reallySendRequest(request, answer);
  });
  return result->wait();
}

void RequestQueue::cancelQueuedRequest(const std::shared_ptr<SerialRequest>& request) {
  if (!request) return;
  strand_->post([self = shared_from_this(), request] {
    if (request == self->pending_) return;
    std::size_t index;
    {
      std::lock_guard lock(self->mutex_);
      const auto it = std::find(self->waiting_.begin(), self->waiting_.end(), request);
      if (it == self->waiting_.end()) return;
      index = static_cast<std::size_t>(it - self->waiting_.begin());
      self->waiting_.erase(it);
    }
    self->announce(PropertyChange::Kind::Removal, {index});
  });
}

void RequestQueue::cancelAllQueuedRequests() {
  strand_->post([self = shared_from_this()] {
    {
      std::lock_guard lock(self->mutex_);
      self->waiting_.clear();
    }
    self->announce(PropertyChange::Kind::Setting);
  });
}

std::vector<std::shared_ptr<SerialRequest>> RequestQueue::queuedRequests() const {
  std::lock_guard lock(mutex_);
  return {waiting_.begin(), waiting_.end()};
}

std::shared_ptr<SerialRequest> RequestQueue::pendingRequest() const {
  std::lock_guard lock(mutex_);
  return pending_;
}

void RequestQueue::setPending(std::shared_ptr<SerialRequest> request) {
  std::lock_guard lock(mutex_);
  pending_ = std::move(request);
}

void RequestQueue::announce(PropertyChange::Kind kind, std::vector<std::size_t> indexes) {
  if (auto port = port_.lock()) port->requestsQueueDidChange(kind, std::move(indexes));
}

void RequestQueue::reallySendRequest(const std::shared_ptr<SerialRequest>& request, const Promise& result) {
  VALMOR_CHECK_THREAD(strand_->isCurrent(), "request state changes on the request-handling queue only");
  if (pending_ || writing_ || !waiting_.empty()) {
    std::size_t index;
    {
      std::lock_guard lock(mutex_);
      waiting_.push_back(request);
      index = waiting_.size() - 1;
    }
    announce(PropertyChange::Kind::Insertion, {index});
    result->set_value(true);
    sendNextRequest();  // only does something if the queue was idle
    return;
  }
  start(request, result);
}

void RequestQueue::start(const std::shared_ptr<SerialRequest>& request, const Promise& result) {
  VALMOR_CHECK_THREAD(strand_->isCurrent(), "request state changes on the request-handling queue only");
  const std::uint64_t serial = ++serial_;
  setPending(request);
  timedOut_ = false;
  auto descriptor = request->responseDescriptor();
  responseScanner_ = descriptor ? std::make_unique<PacketScanner>(std::move(descriptor)) : nullptr;

  timer_.cancel();
  const double seconds = request->timeoutInterval();
  hasTimeout_ = seconds > 0;
  if (hasTimeout_) {
    // Truncated to whole nanoseconds; anything beyond some thirty years
    // waits thirty years.
    const auto interval = std::chrono::nanoseconds(static_cast<std::int64_t>(std::min(seconds, 1e9) * 1e9));
    timer_.expires_after(interval);
    // The timer fires on the pool and the time-out is handled on the queue;
    // one that fired just as the reply came finds its request finished.
    timer_.async_wait([weak = weak_from_this(), serial](const asio::error_code& ec) {
      if (ec) return;
      auto self = weak.lock();
      if (!self) return;
      self->strand_->post([self, serial] { self->pendingRequestDidTimeout(serial); });
    });
  }

  writing_ = true;
  auto data = request->dataToSend();
  auto once = std::make_shared<std::atomic<bool>>(false);
  auto done = [weak = weak_from_this(), serial, data, result, once](bool written) {
    if (once->exchange(true)) return;
    auto self = weak.lock();
    if (!self) {
      if (result) result->set_value(written);
      return;
    }
    if (self->strand_->isCurrent()) {
      self->writeDidFinish(serial, written, result);
    } else {
      self->strand_->post([self, serial, written, result] { self->writeDidFinish(serial, written, result); });
    }
  };
  if (auto port = port_.lock())
    port->writeRequestData(*data, std::move(done));
  else
    done(false);
}

void RequestQueue::writeDidFinish(std::uint64_t serial, bool written, const Promise& result) {
  VALMOR_CHECK_THREAD(strand_->isCurrent(), "request state changes on the request-handling queue only");
  writing_ = false;
  // A request that expects no reply is finished once written. One whose
  // write failed (or never happened: the port was not open, or a close ended
  // it) and that has no time-out is finished too: nothing else would ever end
  // it, and it would hold every request behind it. With a time-out it times
  // out as usual.
  if (serial == serial_ && pending_ && !timedOut_ && (written ? !responseScanner_ : !hasTimeout_)) {
    timer_.cancel();
    finishPendingRequest();
  }
  if (result) result->set_value(written);
  sendNextRequest();
}

void RequestQueue::checkResponseToPendingRequestAndContinueIfValidWithReceivedByte(std::uint8_t byte) {
  VALMOR_CHECK_THREAD(strand_->isCurrent(), "request state changes on the request-handling queue only");
  if (!pending_ || timedOut_ || !responseScanner_) return;
  const auto reply = responseScanner_->appendByte(byte);
  if (reply.empty()) return;
  timer_.cancel();
  if (auto port = port_.lock()) port->reportResponse(reply, pending_);
  finishPendingRequest();
  sendNextRequest();
}

void RequestQueue::pendingRequestDidTimeout(std::uint64_t serial) {
  VALMOR_CHECK_THREAD(strand_->isCurrent(), "request state changes on the request-handling queue only");
  if (serial != serial_ || !pending_ || timedOut_) return;
  timedOut_ = true;
  responseScanner_.reset();  // a late reply is ignored
  auto port = port_.lock();
  if (port && port->delegateImplementsRequestDidTimeout()) {
    port->reportTimeout(pending_, [weak = weak_from_this(), serial] {
      auto self = weak.lock();
      if (!self) return;
      self->strand_->post([self, serial] { self->timeoutWasReported(serial); });
    });
    return;
  }
  finishPendingRequest();
  sendNextRequest();
}

void RequestQueue::timeoutWasReported(std::uint64_t serial) {
  VALMOR_CHECK_THREAD(strand_->isCurrent(), "request state changes on the request-handling queue only");
  // Only the report of the request that is still pending moves the queue on.
  if (serial != serial_ || !pending_ || !timedOut_) return;
  finishPendingRequest();
  sendNextRequest();
}

void RequestQueue::finishPendingRequest() {
  setPending(nullptr);
  responseScanner_.reset();
  timedOut_ = false;
}

void RequestQueue::sendNextRequest() {
  VALMOR_CHECK_THREAD(strand_->isCurrent(), "request state changes on the request-handling queue only");
  // A loop, not a recursion: requests that finish as soon as they are
  // written start the next one from inside their own start.
  if (sendingNext_) return;
  sendingNext_ = true;
  while (!pending_ && !writing_) {
    std::shared_ptr<SerialRequest> next;
    {
      std::lock_guard lock(mutex_);
      if (waiting_.empty()) break;
      next = std::move(waiting_.front());
      waiting_.pop_front();
    }
    announce(PropertyChange::Kind::Removal, {0});
    start(next, nullptr);
  }
  sendingNext_ = false;
}

void RequestQueue::clearRequestState() {
  VALMOR_CHECK_THREAD(strand_->isCurrent(), "request state changes on the request-handling queue only");
  {
    std::lock_guard lock(mutex_);
    waiting_.clear();
    pending_.reset();
  }
  timer_.cancel();
  responseScanner_.reset();
  timedOut_ = false;
  announce(PropertyChange::Kind::Setting);
}

}  // namespace valmor
