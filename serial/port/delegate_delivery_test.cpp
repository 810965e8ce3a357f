// Where and in what order a port's delegate hears of things: on the main
// queue or on the library's threads, a read cut into pieces of 1024 bytes,
// and a delegate that writes, sends requests and closes from inside its
// calls.
#include <atomic>
#include <thread>

#include "serial/testing/serial_port_fixture.h"
#include "serial/testing/serial_port_testing.h"
#include "valmor/serial/serial_packet_descriptor.h"
#include "valmor/serial/serial_request.h"

namespace valmor::test {
namespace {

using Delivery = SerialPort::DelegateDelivery;

class DelegateDeliveryTest : public SerialPortTest, public ::testing::WithParamInterface<Delivery> {};
class DelegateDeliveryOnLibraryThreadsTest : public SerialPortTest {};

std::vector<std::uint8_t> pattern(std::size_t n) {
  std::vector<std::uint8_t> bytes(n);
  for (std::size_t i = 0; i < n; ++i) bytes[i] = static_cast<std::uint8_t>('a' + (i * 7 + i / 251) % 26);
  return bytes;
}

// A read of 64 KiB (as a fast device gives) reaches the delegate as 64
// pieces of 1024 bytes, in order, and the packets it completes after them,
// on the delivery context the port is set to.
TEST_P(DelegateDeliveryTest, AReadIsDeliveredInPiecesOf1024BeforeThePacketsItCompletes) {
  PtyPair pty;
  auto port = makePort(pty);
  port->setDelegateDelivery(GetParam());
  auto delegate = std::make_shared<RecordingDelegate>();
  port->setDelegate(delegate);
  const std::vector<std::uint8_t> end{'E', 'N', 'D'};
  port->startListeningForPacketsMatchingDescriptor(SerialPacketDescriptor::initWithPacketData(end, {}));

  auto chunk = std::make_shared<ReceivedChunk>();
  chunk->bytes = pattern(64 * 1024);  // lower-case letters only
  std::copy(end.begin(), end.end(), chunk->bytes.begin() + 5000);
  std::copy(end.begin(), end.end(), chunk->bytes.end() - 3);
  // Handed over as the reading thread hands over what one read() gave.
  std::thread reader([&] { SerialPortTesting::deliverRead(*port, {chunk}); });
  reader.join();

  ASSERT_TRUE(pump([&] { return delegate->count("packet") == 2; }));
  const auto events = delegate->events();
  ASSERT_EQ(events.size(), 66u);
  std::vector<std::uint8_t> received;
  for (std::size_t i = 0; i < 64; ++i) {
    ASSERT_EQ(events[i].kind, "data") << i;
    EXPECT_EQ(events[i].data.size(), 1024u) << i;
    received.insert(received.end(), events[i].data.begin(), events[i].data.end());
  }
  EXPECT_TRUE(received == chunk->bytes);
  EXPECT_EQ(events[64].kind, "packet");
  EXPECT_EQ(events[65].kind, "packet");
  for (const auto& e : events) EXPECT_EQ(e.onMainThread, GetParam() == Delivery::MainQueue) << e.kind;
}

INSTANTIATE_TEST_SUITE_P(EachDelivery, DelegateDeliveryTest,
                         ::testing::Values(Delivery::MainQueue, Delivery::LibraryThread),
                         [](const auto& info) {
                           return info.param == Delivery::MainQueue ? "MainQueue" : "LibraryThread";
                         });

// On the library's threads: no call on the main thread, never two of the
// port's calls at once, every byte in order in pieces of at most 1024, and
// the opening, the bytes, the removal and the close in that order.
TEST_F(DelegateDeliveryOnLibraryThreadsTest, LibraryThreadDeliveryKeepsOrderOneCallAtATime) {
  PtyPair pty;
  auto port = makePort(pty);
  port->setDelegateDelivery(Delivery::LibraryThread);
  EXPECT_EQ(port->delegateDelivery(), Delivery::LibraryThread);
  auto delegate = std::make_shared<RecordingDelegate>();
  std::atomic<int> inCall{0};
  std::atomic<bool> overlapped{false};
  delegate->hook = [&](SerialPort&, const std::string&) {
    if (inCall.fetch_add(1) != 0) overlapped = true;
    std::this_thread::sleep_for(50us);  // widens the window for an overlap
    inCall.fetch_sub(1);
  };
  openQuietly(*port, delegate);
  const auto sent = pattern(256 * 1024);
  std::thread unit([&] { pty.write(sent); });
  const bool all = pump([&] { return delegate->received().size() >= sent.size(); }, 20s);
  unit.join();
  ASSERT_TRUE(all) << delegate->received().size();
  pty.closeMaster();
  ASSERT_TRUE(pump([&] { return delegate->count("closed") == 1; }));

  EXPECT_EQ(delegate->kinds(), (std::vector<std::string>{"opened", "removed", "closed"}));
  const std::string received = delegate->received();
  EXPECT_TRUE(std::equal(received.begin(), received.end(), sent.begin(), sent.end()));
  for (const auto& e : delegate->events()) {
    EXPECT_FALSE(e.onMainThread) << e.kind;
    EXPECT_LE(e.data.size(), 1024u);
  }
  EXPECT_FALSE(overlapped.load());
}

// On the library's threads a delegate writes, sends requests and closes
// from inside its calls, as an event loop would: nothing waits for itself.
TEST_F(DelegateDeliveryOnLibraryThreadsTest, LibraryThreadDelegateMaySendRequestsAndCloseFromItsCalls) {
  PtyPair pty;
  auto port = makePort(pty);
  port->setDelegateDelivery(Delivery::LibraryThread);
  auto delegate = std::make_shared<RecordingDelegate>();
  auto request = [](const std::string& out, const std::string& reply) {
    return SerialRequest::requestWithDataToSend(
        std::vector<std::uint8_t>(out.begin(), out.end()), {}, 5.0,
        SerialPacketDescriptor::initWithPacketData(std::vector<std::uint8_t>(reply.begin(), reply.end()), {}));
  };
  std::atomic<int> sentOk{0};
  delegate->hook = [&](SerialPort& p, const std::string& kind) {
    if (kind == "opened" && p.sendRequest(request("Q1", "A1"))) ++sentOk;
    if (kind == "response" && delegate->count("response") == 1 && p.sendRequest(request("Q2", "A2"))) ++sentOk;
    if (kind == "response" && delegate->count("response") == 2) {
      if (p.sendData("bye")) ++sentOk;
      p.close();
    }
  };
  openQuietly(*port, delegate);
  // The unit answers each request once it has it whole.
  EXPECT_EQ(pty.read(2), "Q1");
  pty.write("A1");
  EXPECT_EQ(pty.read(2), "Q2");
  pty.write("A2");
  EXPECT_EQ(pty.read(3), "bye");
  ASSERT_TRUE(pump([&] { return delegate->count("closed") == 1; }));
  EXPECT_EQ(sentOk.load(), 3);
  EXPECT_EQ(delegate->kinds(), (std::vector<std::string>{"opened", "response", "response", "closed"}));
  EXPECT_FALSE(port->isOpen());
}

// A removal asked for inside a delegate call on the library's threads: of
// the same port, the removal call is made at once, inside; of another port
// that delivers there too, it is not waited for (the delivery thread would
// wait for itself), and follows with its close.
TEST_F(DelegateDeliveryOnLibraryThreadsTest, LibraryThreadDelegateMayRemovePortsFromItsCalls) {
  PtyPair ptyA, ptyB;
  auto a = makePort(ptyA, "a");
  auto b = makePort(ptyB, "b");
  auto delegateA = std::make_shared<RecordingDelegate>();
  auto delegateB = std::make_shared<RecordingDelegate>();
  for (auto* p : {a.get(), b.get()}) p->setDelegateDelivery(Delivery::LibraryThread);
  openPort(*b, delegateB);
  std::atomic<bool> removedInside{false};
  delegateA->hook = [&](SerialPort& p, const std::string& kind) {
    if (kind != "opened") return;
    b->cleanupAfterSystemRemoval();
    p.cleanupAfterSystemRemoval();
    removedInside = delegateA->count("removed") == 1;
  };
  // Not openQuietly(): the hook may have closed the port before open()
  // returns, so the port's state right after is no proof of anything.
  a->setDelegate(delegateA);
  a->open();
  ASSERT_TRUE(pump([&] { return delegateA->count("closed") == 1 && delegateB->count("closed") == 1; }));
  EXPECT_TRUE(removedInside.load());
  EXPECT_EQ(delegateA->kinds(), (std::vector<std::string>{"opened", "removed", "closed"}));
  EXPECT_EQ(delegateB->kinds(), (std::vector<std::string>{"opened", "removed", "closed"}));
}

}  // namespace
}  // namespace valmor::test
