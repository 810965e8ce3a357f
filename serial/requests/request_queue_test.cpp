#include "serial/requests/request_queue.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <thread>

#include "platform/testing/log_capture.h"
#include "serial/testing/plain_packet_scan.h"
#include "platform/background.h"
#include "platform/thread_checks.h"
#include "serial/testing/run_on_strand.h"

namespace valmor::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Request = std::shared_ptr<SerialRequest>;

// Writes complete inside the call unless held (the next writesToHold ones); time-out reports complete on
// another thread unless held, as a main queue would.
struct FakePort : RequestQueue::Port {
  // Settings.
  std::atomic<bool> writeSucceeds{true};
  std::atomic<int> writesToHold{0};
  std::atomic<bool> takesTimeouts{true};
  std::atomic<bool> holdTimeoutReports{false};

  struct Timeout {
    Request request;
    Clock::time_point at;
  };

  mutable std::mutex mutex;
  std::condition_variable changed;
  // Records, guarded by mutex.
  std::vector<std::string> writes;
  int writesInProgress = 0;
  int mostWritesAtOnce = 0;
  std::vector<std::function<void(bool)>> heldWrites;
  std::vector<std::pair<std::string, Request>> responses;
  std::vector<Timeout> timeouts;
  std::vector<std::function<void()>> heldReports;
  std::vector<std::string> changes;

  void writeRequestData(std::span<const std::uint8_t> data, std::function<void(bool)> done) override {
    std::unique_lock lock(mutex);
    writes.emplace_back(data.begin(), data.end());
    mostWritesAtOnce = std::max(mostWritesAtOnce, ++writesInProgress);
    changed.notify_all();
    if (writesToHold > 0) {
      --writesToHold;
      heldWrites.push_back(std::move(done));
      return;
    }
    --writesInProgress;
    lock.unlock();
    done(writeSucceeds);
  }
  void reportResponse(std::span<const std::uint8_t> response, const Request& request) override {
    std::lock_guard lock(mutex);
    responses.emplace_back(std::string(response.begin(), response.end()), request);
    changed.notify_all();
  }
  bool delegateImplementsRequestDidTimeout() override { return takesTimeouts; }
  void reportTimeout(const Request& request, std::function<void()> reported) override {
    std::lock_guard lock(mutex);
    timeouts.push_back({request, Clock::now()});
    if (holdTimeoutReports)
      heldReports.push_back(std::move(reported));
    else
      postToBackground(std::move(reported));
    changed.notify_all();
  }
  void requestsQueueDidChange(PropertyChange::Kind kind, std::vector<std::size_t> indexes) override {
    std::lock_guard lock(mutex);
    const char* name = kind == PropertyChange::Kind::Insertion ? "insert"
                       : kind == PropertyChange::Kind::Removal ? "remove"
                                                               : "replace";
    changes.push_back(indexes.empty() ? name : name + (" " + std::to_string(indexes.front())));
  }

  void releaseWrite(bool written) {
    std::function<void(bool)> done;
    {
      std::lock_guard lock(mutex);
      done = std::move(heldWrites.front());
      heldWrites.erase(heldWrites.begin());
      --writesInProgress;
    }
    done(written);
  }

  template <typename Predicate>
  bool waitFor(Predicate predicate) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, 3s, predicate);
  }
  template <typename T>
  T read(T FakePort::*field) const {
    std::lock_guard lock(mutex);
    return this->*field;
  }
};

class RequestQueueTest : public ::testing::Test {
 protected:
  static Request request(std::string data, std::optional<std::string> reply, double timeout = 0) {
    return SerialRequest::requestWithDataToSend(
        bytes(data), {}, timeout, reply ? SerialPacketDescriptor::initWithPacketData(bytes(*reply), {}) : nullptr);
  }
  void receive(std::string_view text) {
    runOnStrand(*strand, [&] {
      for (const char c : text)
        queue->checkResponseToPendingRequestAndContinueIfValidWithReceivedByte(static_cast<std::uint8_t>(c));
    });
  }
  // Lets the tasks queued to the strand so far run.
  void settle() { runOnStrand(*strand, [] {}); }
  std::vector<std::string> writes() const { return port->read(&FakePort::writes); }

  std::shared_ptr<SerialQueue> strand = SerialQueue::create();
  std::shared_ptr<FakePort> port = std::make_shared<FakePort>();
  std::shared_ptr<RequestQueue> queue = RequestQueue::create(strand, port);
};

TEST_F(RequestQueueTest, BackToBackRequestsAreWrittenOneAtATime) {
  auto a = request("a", "A!"), b = request("b", "B!");
  EXPECT_TRUE(queue->sendRequest(a));
  EXPECT_TRUE(queue->sendRequest(b));
  EXPECT_EQ(writes(), std::vector<std::string>{"a"});
  EXPECT_EQ(queue->queuedRequests(), std::vector<Request>{b});
  EXPECT_EQ(queue->pendingRequest(), a);

  receive("B!");  // not a's reply
  EXPECT_EQ(writes(), std::vector<std::string>{"a"});
  receive("A!");
  EXPECT_EQ(writes(), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(port->read(&FakePort::responses), (std::vector<std::pair<std::string, Request>>{{"A!", a}}));
  EXPECT_TRUE(queue->queuedRequests().empty());
  EXPECT_EQ(queue->pendingRequest(), b);
  EXPECT_EQ(port->read(&FakePort::changes), (std::vector<std::string>{"insert 0", "remove 0"}));
}

TEST_F(RequestQueueTest, RequestWithoutReplyFinishesOnceWritten) {
  EXPECT_TRUE(queue->sendRequest(request("a", std::nullopt, 0.05)));
  EXPECT_TRUE(queue->sendRequest(request("b", std::nullopt)));
  EXPECT_EQ(writes(), (std::vector<std::string>{"a", "b"}));
  EXPECT_FALSE(queue->pendingRequest());
  std::this_thread::sleep_for(150ms);  // a's time-out would have come meanwhile
  EXPECT_TRUE(port->read(&FakePort::timeouts).empty());
  EXPECT_TRUE(port->read(&FakePort::responses).empty());
}

TEST_F(RequestQueueTest, TimeoutOfZeroOrLessNeverTimesOut) {
  for (const double timeout : {0.0, -1.0}) {
    auto waiting = request("a", "A!", timeout);
    EXPECT_TRUE(queue->sendRequest(waiting));
    std::this_thread::sleep_for(200ms);  // nothing comes
    EXPECT_TRUE(port->read(&FakePort::timeouts).empty());
    EXPECT_EQ(queue->pendingRequest(), waiting);
    receive("A!");
  }
}

TEST_F(RequestQueueTest, TimeoutIsReportedOnceThenTheNextRequestIsWritten) {
  auto slow = request("a", "A!", 0.3), next = request("b", "B!");
  EXPECT_TRUE(queue->sendRequest(slow));
  EXPECT_TRUE(queue->sendRequest(next));
  ASSERT_TRUE(port->waitFor([&] { return !port->timeouts.empty(); }));
  EXPECT_EQ(port->read(&FakePort::timeouts).front().request, slow);
  ASSERT_TRUE(port->waitFor([&] { return port->writes.size() == 2; }));
  std::this_thread::sleep_for(400ms);  // no second report comes
  EXPECT_EQ(port->read(&FakePort::timeouts).size(), 1u);
}

// When a request's time-out is reported.
class RequestQueueTimingTest : public RequestQueueTest {};

TEST_F(RequestQueueTimingTest, TimeoutIsNotReportedBeforeItsInterval) {
  auto slow = request("a", "A!", 0.3);
  const auto sent = Clock::now();
  EXPECT_TRUE(queue->sendRequest(slow));
  ASSERT_TRUE(port->waitFor([&] { return !port->timeouts.empty(); }));
  const auto waited = port->read(&FakePort::timeouts).front().at - sent;
  EXPECT_GE(waited, 300ms);
  EXPECT_LT(waited, 2s);
}

// A reply that completes after the time-out fired, before its report has been
// made, is ignored; only the report's completion starts the next request,
// and only once.
TEST_F(RequestQueueTest, LateReplyNeitherStartsTheNextRequestTwiceNorDropsIt) {
  port->holdTimeoutReports = true;
  auto slow = request("a", "A!", 0.05), next = request("b", "B!");
  EXPECT_TRUE(queue->sendRequest(slow));
  EXPECT_TRUE(queue->sendRequest(next));
  ASSERT_TRUE(port->waitFor([&] { return !port->heldReports.empty(); }));
  receive("A!");
  EXPECT_TRUE(port->read(&FakePort::responses).empty());
  EXPECT_EQ(writes(), std::vector<std::string>{"a"});

  const auto reported = port->read(&FakePort::heldReports).front();
  reported();
  ASSERT_TRUE(port->waitFor([&] { return port->writes.size() == 2; }));
  reported();  // a second completion of the same report
  settle();
  EXPECT_EQ(writes(), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(queue->pendingRequest(), next);
  receive("B!");
  EXPECT_EQ(port->read(&FakePort::responses), (std::vector<std::pair<std::string, Request>>{{"B!", next}}));
}

TEST_F(RequestQueueTest, UnreportedTimeoutMovesOnAtOnce) {
  port->takesTimeouts = false;
  EXPECT_TRUE(queue->sendRequest(request("a", "A!", 0.05)));
  EXPECT_TRUE(queue->sendRequest(request("b", std::nullopt)));
  ASSERT_TRUE(port->waitFor([&] { return port->writes.size() == 2; }));
  EXPECT_TRUE(port->read(&FakePort::timeouts).empty());
}

TEST_F(RequestQueueTest, OnlyWaitingRequestsCanBeCancelled) {
  auto a = request("a", "A!"), b = request("b", "B!"), c = request("c", "C!");
  for (const auto& r : {a, b, c}) EXPECT_TRUE(queue->sendRequest(r));
  queue->cancelQueuedRequest(a);
  queue->cancelQueuedRequest(b);
  queue->cancelQueuedRequest(nullptr);
  settle();
  EXPECT_EQ(queue->pendingRequest(), a);
  EXPECT_EQ(queue->queuedRequests(), std::vector<Request>{c});
  queue->cancelAllQueuedRequests();
  settle();
  EXPECT_TRUE(queue->queuedRequests().empty());
  receive("A!");
  EXPECT_EQ(writes(), std::vector<std::string>{"a"});
  EXPECT_EQ(port->read(&FakePort::changes),
            (std::vector<std::string>{"insert 0", "insert 1", "remove 0", "replace"}));
}

TEST_F(RequestQueueTest, ClearingAfterACloseDropsPendingAndWaitingRequests) {
  EXPECT_TRUE(queue->sendRequest(request("a", "A!", 0.2)));
  EXPECT_TRUE(queue->sendRequest(request("b", "B!")));
  runOnStrand(*strand, [&] { queue->clearRequestState(); });
  EXPECT_FALSE(queue->pendingRequest());
  EXPECT_TRUE(queue->queuedRequests().empty());
  std::this_thread::sleep_for(350ms);  // a's time-out would have come meanwhile
  EXPECT_TRUE(port->read(&FakePort::timeouts).empty());
  EXPECT_TRUE(queue->sendRequest(request("c", std::nullopt)));
  EXPECT_EQ(writes(), (std::vector<std::string>{"a", "c"}));
}

// A write held up by the device leaves the queue free; the close ends it,
// and no second write starts while it is held.
TEST_F(RequestQueueTest, StalledWriteIsEndedByTheClose) {
  port->writesToHold = 1;
  auto stalled = std::async(std::launch::async, [&] { return queue->sendRequest(request("a", "A!")); });
  ASSERT_TRUE(port->waitFor([&] { return !port->heldWrites.empty(); }));
  EXPECT_TRUE(queue->sendRequest(request("b", std::nullopt)));
  runOnStrand(*strand, [&] { queue->clearRequestState(); });
  EXPECT_TRUE(queue->sendRequest(request("c", std::nullopt)));  // waits behind the held write
  EXPECT_EQ(writes(), std::vector<std::string>{"a"});

  port->releaseWrite(false);  // what the port's close does to a blocked write
  EXPECT_FALSE(stalled.get());
  ASSERT_TRUE(port->waitFor([&] { return port->writes.size() == 2; }));
  EXPECT_EQ(writes(), (std::vector<std::string>{"a", "c"}));
  EXPECT_EQ(port->read(&FakePort::mostWritesAtOnce), 1);
}

TEST_F(RequestQueueTest, FailedWriteStaysPendingUntilItTimesOut) {
  port->writeSucceeds = false;
  EXPECT_FALSE(queue->sendRequest(request("a", "A!", 0.05)));
  port->writeSucceeds = true;
  EXPECT_TRUE(queue->sendRequest(request("b", std::nullopt)));
  EXPECT_EQ(writes(), std::vector<std::string>{"a"});
  ASSERT_TRUE(port->waitFor([&] { return port->writes.size() == 2; }));
  EXPECT_EQ(port->read(&FakePort::timeouts).size(), 1u);
}

TEST_F(RequestQueueTest, SendingFromTheQueueIsRefusedInsteadOfWaitingForItself) {
  LogCapture log;
  bool sent = true;
  runOnStrand(*strand, [&] { sent = queue->sendRequest(request("a", std::nullopt)); });
  EXPECT_FALSE(sent);
  EXPECT_TRUE(writes().empty());
  ASSERT_EQ(log.lines().size(), 1u);
  EXPECT_NE(log.lines()[0].find("sendRequest refused"), std::string::npos);
}

// Request state changed off the request-handling queue stops the process in
// debug and sanitizer builds, instead of racing with the queue.
TEST(RequestQueueDeathTest, StateChangedOffItsQueueStopsTheProcess) {
  if (!kThreadChecks) GTEST_SKIP() << "thread checks are compiled into debug and sanitizer builds only";
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  auto strand = SerialQueue::create();
  auto queue = RequestQueue::create(strand, {});
  EXPECT_DEATH(queue->clearRequestState(), "request-handling queue only");
  runOnStrand(*strand, [&] { queue->clearRequestState(); });  // on its queue: allowed
}

}  // namespace
}  // namespace valmor::test
