// Packets and requests through a port on a pseudo-terminal whose master side
// plays the device: it reads what the port writes and answers.
#include <future>
#include <optional>
#include <random>

#include "valmor/serial/serial_packet_descriptor.h"
#include "valmor/serial/serial_request.h"
#include "serial/testing/plain_packet_scan.h"
#include "serial/testing/serial_port_fixture.h"
#include "serial/testing/serial_port_testing.h"

namespace valmor::test {
namespace {

using Request = std::shared_ptr<SerialRequest>;
using Clock = std::chrono::steady_clock;

class SerialPortRequestsTest : public SerialPortTest {
 protected:
  void SetUp() override {
    SerialPortTest::SetUp();
    ASSERT_TRUE(pty.valid());
    port = makePort(pty);
    openPort(*port, delegate);
  }

  static Request request(std::string_view data, std::optional<std::string_view> reply, double timeout = 0) {
    return SerialRequest::requestWithDataToSend(
        bytes(data), {}, timeout, reply ? SerialPacketDescriptor::initWithPacketData(bytes(*reply), {}) : nullptr);
  }
  // The kinds and bytes of the calls of one kind, as "kind:bytes".
  std::vector<std::string> reports(const std::string& kind) const {
    std::vector<std::string> all;
    for (const auto& e : delegate->eventsOf(kind))
      all.push_back(kind + ":" + std::string(e.data.begin(), e.data.end()));
    return all;
  }
  // Nothing more reaches the device for a while.
  void expectNothingWritten() { EXPECT_EQ(pty.read(1, 200ms), ""); }

  PtyPair pty;
  std::shared_ptr<SerialPort> port;
  std::shared_ptr<RecordingDelegate> delegate = std::make_shared<RecordingDelegate>();
};

TEST_F(SerialPortRequestsTest, BackToBackRequestsAreWrittenOneAtATimeEachAfterThePreviousReply) {
  std::vector<std::string> changes;  // on the request-handling queue, read once it is idle
  const auto token = port->addObserver("queuedRequests", [&](const PropertyChange& c) {
    const char* kind = c.kind == PropertyChange::Kind::Insertion ? "insert" :
                       c.kind == PropertyChange::Kind::Removal   ? "remove" : "replace";
    changes.push_back(kind + (c.indexes.empty() ? "" : " " + std::to_string(c.indexes[0])));
  });
  auto a = request("a\n", "A\n"), b = request("b\n", "B\n");
  EXPECT_TRUE(port->sendRequest(a));
  EXPECT_TRUE(port->sendRequest(b));
  EXPECT_EQ(pty.read(2), "a\n");
  EXPECT_EQ(port->queuedRequests(), std::vector<Request>{b});
  expectNothingWritten();

  ASSERT_TRUE(pty.write("A\n"));
  EXPECT_EQ(pty.read(2), "b\n");
  EXPECT_TRUE(port->queuedRequests().empty());
  ASSERT_TRUE(pty.write("B\n"));
  ASSERT_TRUE(pump([&] { return delegate->count("response") == 2; }));
  EXPECT_EQ(reports("response"), (std::vector<std::string>{"response:A\n", "response:B\n"}));
  EXPECT_EQ(delegate->eventsOf("response")[0].request, a);
  EXPECT_EQ(delegate->eventsOf("response")[1].request, b);
  port->removeObserver(token);
  EXPECT_EQ(changes, (std::vector<std::string>{"insert 0", "remove 0"}));
  EXPECT_EQ(delegate->count("timeout"), 0);
}

TEST_F(SerialPortRequestsTest, RequestWithoutDescriptorFinishesOnceWritten) {
  EXPECT_TRUE(port->sendRequest(request("x", std::nullopt, 0.1)));
  EXPECT_TRUE(port->sendRequest(request("y", "Y")));
  EXPECT_EQ(pty.read(2), "xy");
  pumpFor(300ms);  // x's time-out would have come meanwhile
  EXPECT_EQ(delegate->count("timeout"), 0);
  EXPECT_EQ(delegate->count("response"), 0);
}

TEST_F(SerialPortRequestsTest, TimeoutOfZeroNeverTimesOut) {
  auto waiting = request("a", "A", 0), next = request("b", std::nullopt);
  EXPECT_TRUE(port->sendRequest(waiting));
  EXPECT_TRUE(port->sendRequest(next));
  EXPECT_EQ(pty.read(1), "a");
  pumpFor(500ms);  // nothing comes
  EXPECT_EQ(delegate->count("timeout"), 0);
  EXPECT_EQ(port->queuedRequests(), std::vector<Request>{next});
  ASSERT_TRUE(pty.write("A"));
  EXPECT_EQ(pty.read(1), "b");
}

// Reported once; the next request is written only after the report, and a
// reply that comes after the time-out is ignored.
TEST_F(SerialPortRequestsTest, TimeoutIsReportedOnceAndALaterReplyIsIgnored) {
  auto slow = request("a", "A", 0.3), next = request("b", std::nullopt);
  EXPECT_TRUE(port->sendRequest(slow));
  EXPECT_TRUE(port->sendRequest(next));
  EXPECT_EQ(pty.read(1), "a");
  ASSERT_TRUE(pump([&] { return delegate->count("timeout") == 1; }));
  const auto timeout = delegate->eventsOf("timeout").front();
  EXPECT_EQ(timeout.request, slow);
  EXPECT_EQ(pty.read(1), "b");
  ASSERT_TRUE(pty.write("A"));
  pumpFor(400ms);  // nothing more comes
  EXPECT_EQ(delegate->count("timeout"), 1);
  EXPECT_EQ(delegate->count("response"), 0);
}

// When a request's time-out is reported.
class SerialPortRequestsTimingTest : public SerialPortRequestsTest {};

TEST_F(SerialPortRequestsTimingTest, TimeoutIsNotReportedBeforeItsInterval) {
  auto slow = request("a", "A", 0.3);
  const auto sent = Clock::now();
  EXPECT_TRUE(port->sendRequest(slow));
  ASSERT_TRUE(pump([&] { return delegate->count("timeout") == 1; }));
  const auto timeout = delegate->eventsOf("timeout").front();
  EXPECT_GE(timeout.at - sent, 300ms);
  EXPECT_LT(timeout.at - sent, 3s);
}

TEST_F(SerialPortRequestsTest, OnlyWaitingRequestsCanBeCancelled) {
  auto a = request("a", "A"), b = request("b", "B"), c = request("c", "C");
  for (const auto& r : {a, b, c}) EXPECT_TRUE(port->sendRequest(r));
  EXPECT_EQ(pty.read(1), "a");
  port->cancelQueuedRequest(a);  // pending: stays
  port->cancelQueuedRequest(b);
  ASSERT_TRUE(pump([&] { return port->queuedRequests() == std::vector<Request>{c}; }));
  port->cancelAllQueuedRequests();
  ASSERT_TRUE(pump([&] { return port->queuedRequests().empty(); }));
  ASSERT_TRUE(pty.write("A"));
  ASSERT_TRUE(pump([&] { return delegate->count("response") == 1; }));
  EXPECT_EQ(delegate->eventsOf("response")[0].request, a);
  expectNothingWritten();
}

// A close drops the waiting and the pending request only for a delegate that
// hears of the close; otherwise the queue carries on after a reopen.
TEST_F(SerialPortRequestsTest, CloseClearsTheQueueWhenTheDelegateImplementsTheClosedCall) {
  for (const bool implementsClosed : {false, true}) {
    SCOPED_TRACE(implementsClosed ? "implements serialPortWasClosed" : "does not");
    delegate = std::make_shared<RecordingDelegate>(implementsClosed ? SerialPortDelegate::kAllMethods
                                                                    : SerialPortDelegate::kAllMethods &
                                                                          ~SerialPortDelegate::kWasClosed);
    port->setDelegate(delegate);
    auto a = request("a", "A"), b = request("b", std::nullopt);
    EXPECT_TRUE(port->sendRequest(a));
    EXPECT_TRUE(port->sendRequest(b));
    EXPECT_EQ(pty.read(1), "a");
    port->close();
    if (implementsClosed) {
      ASSERT_TRUE(pump([&] { return port->queuedRequests().empty(); }));
    } else {
      ASSERT_TRUE(pump([&] { return !port->isOpen(); }));
      pumpFor(100ms);  // nothing changes
      EXPECT_EQ(port->queuedRequests(), std::vector<Request>{b});
    }
    openPort(*port, delegate);

    ASSERT_TRUE(pty.write("A"));
    if (implementsClosed) {
      pumpFor(200ms);  // nothing comes
      EXPECT_EQ(delegate->count("response"), 0);
      EXPECT_TRUE(port->sendRequest(request("c", std::nullopt)));  // the queue is idle
      EXPECT_EQ(pty.read(1), "c");
    } else {
      EXPECT_EQ(pty.read(1), "b");
      ASSERT_TRUE(pump([&] { return delegate->count("response") == 1; }));
    }
  }
}

// Before, a request on a closed port stayed pending without end and every
// later request waited behind it (no close came to clear it).
TEST_F(SerialPortRequestsTest, FailedWriteWithoutTimeoutDoesNotHoldTheQueue) {
  port->setDelegate(std::make_shared<RecordingDelegate>(SerialPortDelegate::kAllMethods &
                                                        ~SerialPortDelegate::kWasClosed));
  port->close();
  ASSERT_TRUE(pump([&] { return !port->isOpen(); }));
  EXPECT_FALSE(port->sendRequest(request("a", "A")));
  openPort(*port, delegate);
  EXPECT_TRUE(port->sendRequest(request("b", "B")));
  EXPECT_EQ(pty.read(1), "b");
}

// The device reads nothing and the request is far larger than the line's
// buffer: the write waits, off the request-handling queue, which keeps
// answering; the close ends the write.
TEST_F(SerialPortRequestsTest, StalledRequestWriteLeavesTheQueueFreeAndEndsAtTheClose) {
  auto big = SerialRequest::requestWithDataToSend(SerialRequest::Bytes(1 << 20, 'z'), {}, 0,
                                                  SerialPacketDescriptor::initWithPacketData(bytes("Z"), {}));
  auto stalled = std::async(std::launch::async, [&] { return port->sendRequest(big); });
  EXPECT_EQ(stalled.wait_for(300ms), std::future_status::timeout);

  auto ran = std::make_shared<std::promise<void>>();
  SerialPortTesting::postToRequestQueue(*port, [ran] { ran->set_value(); });
  EXPECT_EQ(ran->get_future().wait_for(2s), std::future_status::ready);
  auto next = request("n", std::nullopt);
  EXPECT_TRUE(port->sendRequest(next));
  EXPECT_EQ(port->queuedRequests(), std::vector<Request>{next});
  port->cancelQueuedRequest(next);
  ASSERT_TRUE(pump([&] { return port->queuedRequests().empty(); }));

  port->close();
  ASSERT_EQ(stalled.wait_for(2s), std::future_status::ready);
  EXPECT_FALSE(stalled.get());
  pty.read(1 << 20, 300ms);  // what did get through, so that the close need not wait for it
  ASSERT_TRUE(pump([&] { return delegate->count("closed") == 1; }));
  ASSERT_EQ(delegate->errors().size(), 1u);
  EXPECT_EQ(delegate->errors()[0].code, std::errc::operation_canceled);
}

// For one chunk the delegate hears of the data first, then the packet, then
// the reply the same bytes complete.
TEST_F(SerialPortRequestsTest, ChunkComesBeforeThePacketAndTheReplyItCompletes) {
  port->startListeningForPacketsMatchingDescriptor(SerialPacketDescriptor::initWithPrefixString("<", ">", 16, {}));
  EXPECT_TRUE(port->sendRequest(request("?", "k>")));
  EXPECT_EQ(pty.read(1), "?");
  ASSERT_TRUE(pty.write("<ok>"));
  ASSERT_TRUE(pump([&] { return delegate->count("response") == 1; }));
  std::vector<std::string> order;
  std::size_t received = 0;
  for (const auto& e : delegate->events()) {
    if (e.kind == "data") received += e.data.size();
    if (e.kind == "packet" || e.kind == "response") order.push_back(e.kind + " after " + std::to_string(received));
  }
  EXPECT_EQ(order, (std::vector<std::string>{"packet after 4", "response after 4"}));
  EXPECT_EQ(reports("packet"), std::vector<std::string>{"packet:<ok>"});
}

// A packet that starts in one read and ends in the next, and crosses a
// 1024-byte chunk boundary on the way, is found once.
TEST_F(SerialPortRequestsTest, PacketSplitAcrossChunksAndReadsIsFoundOnce) {
  port->startListeningForPacketsMatchingDescriptor(SerialPacketDescriptor::initWithPrefixString("<<", ">>", 4096, {}));
  const std::string packet = "<<" + std::string(80, 'p') + ">>";
  ASSERT_TRUE(pty.write(std::string(1000, 'x') + packet.substr(0, 42)));
  ASSERT_TRUE(pump([&] { return delegate->received().size() == 1042; }));
  ASSERT_TRUE(pty.write(packet.substr(42) + std::string(1000, 'x')));
  ASSERT_TRUE(pump([&] { return delegate->received().size() == 2084; }));
  pumpFor(100ms);  // nothing more comes
  EXPECT_EQ(reports("packet"), std::vector<std::string>{"packet:" + packet});
}

// 1 MiB of random bytes that never hold the frame byte, with packets planted
// at known offsets: exactly those packets come out, in order.
TEST_F(SerialPortRequestsTest, PacketsPlantedInAMebibyteOfRandomBytesAreFoundExactly) {
  auto packets = std::make_shared<RecordingDelegate>(SerialPortDelegate::kDidReceivePacketMatchingDescriptor);
  port->setDelegate(packets);
  port->startListeningForPacketsMatchingDescriptor(
      SerialPacketDescriptor::initWithPrefix(Bytes{0x7E, 0x01}, Bytes{0x7E, 0x04}, 64, {}));
  std::mt19937 rng(9);
  auto randomByte = [&] { return static_cast<std::uint8_t>(rng() % 0x7E); };
  Bytes stream;
  std::vector<std::string> planted;
  for (;;) {
    const auto gap = rng() % 6000;
    if (stream.size() + gap + 64 > (1u << 20)) break;
    for (auto n = gap; n > 0; --n) stream.push_back(randomByte());
    char offset[16];
    std::snprintf(offset, sizeof offset, "%08zx", stream.size());
    Bytes packet{0x7E, 0x01};
    packet.insert(packet.end(), offset, offset + 8);
    for (auto n = rng() % 40; n > 0; --n) packet.push_back(randomByte());
    packet.insert(packet.end(), {0x7E, 0x04});
    stream.insert(stream.end(), packet.begin(), packet.end());
    planted.push_back("packet:" + std::string(packet.begin(), packet.end()));
  }
  while (stream.size() < (1u << 20)) stream.push_back(randomByte());

  std::thread device([&] { pty.write(stream); });
  const bool all = pump([&] { return packets->count("packet") >= static_cast<int>(planted.size()); }, 30s);
  device.join();
  ASSERT_TRUE(all) << packets->count("packet") << " of " << planted.size();
  pumpFor(100ms);  // nothing more comes
  std::vector<std::string> found;
  for (const auto& e : packets->eventsOf("packet"))
    found.push_back("packet:" + std::string(e.data.begin(), e.data.end()));
  EXPECT_EQ(found, planted);
}

// A port that neither listens nor sends hands no byte to the request-handling
// queue; the first start of listening makes the packet detection, announced.
TEST_F(SerialPortRequestsTest, PacketDetectionIsMadeOnFirstUseAndAnnounced) {
  int announced = 0;
  const auto token = port->addObserver("packetDescriptors", [&](const PropertyChange&) { ++announced; });
  EXPECT_TRUE(port->packetDescriptors().empty());
  EXPECT_TRUE(port->queuedRequests().empty());
  port->cancelAllQueuedRequests();
  auto d = SerialPacketDescriptor::initWithPacketData(bytes("!"), {});
  port->stopListeningForPacketsMatchingDescriptor(d);  // announced all the same
  EXPECT_EQ(announced, 1);
  EXPECT_FALSE(SerialPortTesting::hasReceivedByteProcessors(*port));

  port->startListeningForPacketsMatchingDescriptor(d);
  port->startListeningForPacketsMatchingDescriptor(d);  // the same descriptor: nothing
  EXPECT_TRUE(SerialPortTesting::hasReceivedByteProcessors(*port));
  EXPECT_EQ(port->packetDescriptors(), std::vector<std::shared_ptr<SerialPacketDescriptor>>{d});
  EXPECT_EQ(announced, 2);
  port->removeObserver(token);
}

}  // namespace
}  // namespace valmor::test
