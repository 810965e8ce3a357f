// What users of serial libraries have been bitten by: delegates that close,
// reopen or drop the port from inside their calls, delegates that throw, a
// device that hangs up, and a main queue that has stopped.
#include "valmor/serial/serial_port.h"

#include <time.h>

#include <mutex>
#include <thread>

#include "platform/testing/cpu_load.h"
#include "platform/testing/log_capture.h"
#include "platform/testing/wait.h"
#include "valmor/serial/serial_packet_descriptor.h"
#include "valmor/serial/serial_request.h"
#include "serial/testing/fake_device_io.h"
#include "serial/testing/plain_packet_scan.h"
#include "serial/testing/serial_port_fixture.h"

namespace valmor::test {
namespace {

double processCpuSeconds() {
  timespec ts{};
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

enum class Action { Close, Reopen, Drop };
enum class End { Closed, Open, Destroyed };

struct ReentrancyCase {
  std::string call;  // the delegate call inside which the action runs
  Action action;
  End end;
};

std::ostream& operator<<(std::ostream& os, const ReentrancyCase& c) {
  static const char* actions[] = {"close", "reopen", "drop"};
  return os << actions[static_cast<int>(c.action)] << " inside " << c.call;
}

std::string caseName(const ::testing::TestParamInfo<ReentrancyCase>& info) {
  static const char* actions[] = {"Close", "Reopen", "Drop"};
  return actions[static_cast<int>(info.param.action)] + std::string("In_") + info.param.call;
}

// The parameter serves the DelegateReentrancy cases: the delegate call
// inside which the port is closed, reopened or dropped.
class SerialPortRobustnessTest : public SerialPortTest, public ::testing::WithParamInterface<ReentrancyCase> {};
// Load a CPU on purpose (platform/testing/cpu_load.h), so they run alone.
class SerialPortRobustnessUnderLoadTest : public SerialPortTest {};

TEST_P(SerialPortRobustnessTest, SettlesWithoutDeadlockOrCrash) {
  const ReentrancyCase c = GetParam();
  auto io = std::make_shared<FakeDeviceIo>();
  setDeviceIoForTesting(io);
  PtyPair pty;
  std::shared_ptr<SerialPort> held = makePort(pty);
  const std::weak_ptr<SerialPort> weak = held;
  auto delegate = std::make_shared<RecordingDelegate>();
  bool acted = false;
  delegate->hook = [&](SerialPort& port, const std::string& kind) {
    if (kind != c.call || acted) return;
    acted = true;
    io->getModemError = 0;
    switch (c.action) {
      case Action::Close: port.close(); break;
      case Action::Reopen: port.close(); port.open(); break;
      case Action::Drop: held.reset(); break;
    }
  };
  const int descriptorsBefore = portDescriptors(pty.slavePath());
  held->setDelegate(delegate);
  held->open();
  if (c.call != "opened") {
    ASSERT_TRUE(pump([&] { return delegate->count("opened") == 1; }));
    if (c.call == "data") pty.write("x");
    if (c.call == "error") io->getModemError = EPERM;
    if (c.call == "removed") io->getModemError = ENXIO;
    if (c.call == "closed") held->close();
  }

  auto settled = [&] {
    if (!acted) return false;
    auto port = weak.lock();
    switch (c.end) {
      case End::Destroyed: return !port && portDescriptors(pty.slavePath()) == descriptorsBefore;
      case End::Open: return port && port->isOpen() && delegate->count("opened") == 2;
      case End::Closed: return port && !port->isOpen() && delegate->count("closed") >= 1;
    }
    return false;
  };
  ASSERT_TRUE(pump(settled));
  pumpFor(100ms);
  EXPECT_TRUE(settled());
  EXPECT_TRUE(delegate->allOnMainThread());
  EXPECT_LE(delegate->events().size(), 8u);
}

INSTANTIATE_TEST_SUITE_P(
    DelegateReentrancy, SerialPortRobustnessTest,
    ::testing::Values(ReentrancyCase{"opened", Action::Close, End::Closed},
                      ReentrancyCase{"opened", Action::Reopen, End::Open},
                      ReentrancyCase{"opened", Action::Drop, End::Destroyed},
                      ReentrancyCase{"data", Action::Close, End::Closed},
                      ReentrancyCase{"data", Action::Reopen, End::Open},
                      ReentrancyCase{"data", Action::Drop, End::Destroyed},
                      ReentrancyCase{"error", Action::Close, End::Closed},
                      ReentrancyCase{"error", Action::Reopen, End::Open},
                      ReentrancyCase{"error", Action::Drop, End::Destroyed},
                      ReentrancyCase{"closed", Action::Close, End::Closed},
                      ReentrancyCase{"closed", Action::Reopen, End::Open},
                      ReentrancyCase{"closed", Action::Drop, End::Destroyed},
                      // The removal is followed by the port's own close.
                      ReentrancyCase{"removed", Action::Close, End::Closed},
                      ReentrancyCase{"removed", Action::Reopen, End::Closed},
                      ReentrancyCase{"removed", Action::Drop, End::Destroyed}),
    caseName);

TEST_F(SerialPortRobustnessTest, ThrowingDelegateIsLoggedAndThePortKeepsWorking) {
  test::LogCapture log;
  PtyPair pty;
  auto port = makePort(pty);
  auto delegate = std::make_shared<RecordingDelegate>();
  delegate->hook = [](SerialPort&, const std::string& kind) { throw std::runtime_error("fault in " + kind); };
  openPort(*port, delegate);
  pty.write("a");
  ASSERT_TRUE(pump([&] { return delegate->received() == "a"; }));
  pty.write("b");
  ASSERT_TRUE(pump([&] { return delegate->received() == "ab"; }));
  port->close();  // the waited call on the pool throws too
  ASSERT_TRUE(pump([&] { return !port->isOpen() && delegate->count("closed") == 1; }));
  port->open();
  ASSERT_TRUE(pump([&] { return delegate->count("opened") == 2; }));
  const auto lines = log.lines();
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_NE(lines[0].find("serialPortWasOpened"), std::string::npos);
  EXPECT_NE(lines[0].find("fault in opened"), std::string::npos);
  EXPECT_NE(lines[3].find("serialPortWasClosed"), std::string::npos);
}

// A hung-up device is reported once.
TEST_F(SerialPortRobustnessTest, HangUpIsOneRemovalAndOneClose) {
  PtyPair pty;
  auto port = makePort(pty);
  auto delegate = std::make_shared<RecordingDelegate>();
  openPort(*port, delegate);
  pty.closeMaster();
  ASSERT_TRUE(pump([&] { return delegate->count("closed") == 1; }));
  EXPECT_FALSE(port->isOpen());
  pumpFor(1s);  // nothing more comes
  EXPECT_EQ(delegate->count("removed"), 1);
  EXPECT_EQ(delegate->count("closed"), 1);
  const auto kinds = delegate->kinds();
  EXPECT_EQ(kinds.back(), "closed");
  EXPECT_EQ(kinds[kinds.size() - 2], "removed");
}

// The CPU a port uses once its device has gone.
class SerialPortRobustnessTimingTest : public SerialPortTest {};

// A hung-up device is not watched again: a descriptor that is readable for
// ever must not keep the pool busy.
TEST_F(SerialPortRobustnessTimingTest, HungUpPortLeavesThePoolIdle) {
  PtyPair pty;
  auto port = makePort(pty);
  auto delegate = std::make_shared<RecordingDelegate>();
  openPort(*port, delegate);
  pty.closeMaster();
  ASSERT_TRUE(pump([&] { return delegate->count("closed") == 1; }));

  const double before = processCpuSeconds();
  pumpFor(1s);
  const double used = processCpuSeconds() - before;
  EXPECT_LT(used, 0.2) << "CPU seconds used in the second after the hang-up";
  EXPECT_EQ(delegate->count("removed"), 1);
  EXPECT_EQ(delegate->count("closed"), 1);
}

// Background work that waits for the main thread must not hang once the main
// loop has stopped for good.
TEST_F(SerialPortRobustnessTest, HangUpCompletesAfterTheMainQueueHasShutDown) {
  PtyPair pty;
  auto port = makePort(pty);
  auto delegate = std::make_shared<RecordingDelegate>();
  openPort(*port, delegate);
  queue_->shutDown();
  pty.closeMaster();
  EXPECT_TRUE(waitUntil([&] { return !port->isOpen(); }));
}

// Regression: each close or hang-up held a thread of the pool until the main
// thread took its delegate call, so a few of them while the main thread was
// busy stopped every port: one opened then never read, and a request waiting
// for its reply held the queue.
TEST_F(SerialPortRobustnessTest, ClosesWhileTheMainThreadIsBusyHoldNoThreadOfThePool) {
  constexpr int kEnding = 8;
  std::vector<PtyPair> ptys(kEnding + 1);
  std::vector<std::shared_ptr<SerialPort>> ports;
  std::vector<std::shared_ptr<RecordingDelegate>> delegates;
  for (int i = 0; i <= kEnding; ++i) {
    ports.push_back(makePort(ptys[i], "p" + std::to_string(i)));
    delegates.push_back(std::make_shared<RecordingDelegate>());
    if (i < kEnding) openPort(*ports[i], delegates[i]);
  }

  // The main thread runs nothing from here until the requests are answered.
  for (int i = 0; i < kEnding; ++i) {
    if (i % 2 == 0) {
      ports[i]->close();
    } else {
      ptys[i].closeMaster();
    }
  }
  EXPECT_TRUE(waitUntil([&] {
    for (int i = 0; i < kEnding; i += 2)
      if (ports[i]->isOpen()) return false;
    return true;
  }));

  PtyPair& unit = ptys[kEnding];
  auto& port = ports[kEnding];
  openQuietly(*port, delegates[kEnding]);
  EXPECT_TRUE(port->sendRequest(SerialRequest::requestWithDataToSend(
      bytes("a\n"), {}, 0, SerialPacketDescriptor::initWithPacketData(bytes("ok\n"), {}))));
  EXPECT_TRUE(port->sendRequest(SerialRequest::requestWithDataToSend(bytes("b\n"), {}, 0, nullptr)));
  EXPECT_EQ(unit.read(2, 1s), "a\n");
  unit.write("ok\n");
  EXPECT_EQ(unit.read(2, 1s), "b\n") << "the reply was not taken while the main thread was busy";

  ASSERT_TRUE(pump([&] {
    for (int i = 0; i < kEnding; ++i)
      if (delegates[i]->count("closed") == 0) return false;
    return delegates[kEnding]->count("response") == 1;
  }));
  for (int i = 0; i < kEnding; ++i) {
    auto kinds = delegates[i]->kinds();
    // A hang-up may first be a failed read (EIO).
    if (kinds.size() == 4 && kinds[1] == "error") kinds.erase(kinds.begin() + 1);
    const std::vector<std::string> closed{"opened", "closed"}, hungUp{"opened", "removed", "closed"};
    EXPECT_EQ(kinds, i % 2 == 0 ? closed : hungUp) << "port " << i;
  }
}

// Regression: the handler drops its port inside the removal call, and the
// close that follows completed after the last reference had gone, so "was
// closed" never came. Repeated under load, not one lucky run, with the
// delegate on the main queue and on the library's threads in turn.
TEST_F(SerialPortRobustnessUnderLoadTest, HangUpIsErrorRemovalCloseInOrderEvenWhenTheDelegateDropsThePort) {
  CpuLoad load;
  for (int trial = 0; trial < 1000; ++trial) {
    PtyPair pty;
    std::shared_ptr<SerialPort> held = makePort(pty, "unit" + std::to_string(trial));
    held->setDelegateDelivery(trial % 2 ? SerialPort::DelegateDelivery::LibraryThread
                                        : SerialPort::DelegateDelivery::MainQueue);
    auto delegate = std::make_shared<RecordingDelegate>();
    // The hang-up reaches the delegate through the kernel, which a race
    // detector cannot see: the lock orders this thread's use of the port
    // before a drop on another thread.
    std::mutex handedOver;
    delegate->hook = [&](SerialPort&, const std::string& kind) {
      std::lock_guard lock(handedOver);
      if (kind == "removed") held.reset();
    };
    openPort(*held, delegate);
    { std::lock_guard lock(handedOver); }
    pty.closeMaster();
    ASSERT_TRUE(pump([&] { return delegate->count("closed") == 1; })) << "trial " << trial;
    auto kinds = delegate->kinds();
    if (kinds.size() == 4 && kinds[1] == "error") kinds.erase(kinds.begin() + 1);
    ASSERT_EQ(kinds, (std::vector<std::string>{"opened", "removed", "closed"})) << "trial " << trial;
  }
}

// Regression: bytes waiting in the device when it was opened could reach the
// delegate before serialPortWasOpened. In either delivery.
TEST_F(SerialPortRobustnessUnderLoadTest, OpenedComesBeforeBytesThatWereWaiting) {
  CpuLoad load;
  PtyPair pty;
  auto port = makePort(pty);
  for (int trial = 0; trial < 200; ++trial) {
    port->setDelegateDelivery(trial % 2 ? SerialPort::DelegateDelivery::LibraryThread
                                        : SerialPort::DelegateDelivery::MainQueue);
    auto delegate = std::make_shared<RecordingDelegate>();
    pty.write("w");
    port->setDelegate(delegate);
    port->open();
    ASSERT_TRUE(pump([&] { return delegate->received() == "w"; })) << "trial " << trial;
    ASSERT_EQ(delegate->events().front().kind, "opened") << "trial " << trial;
    port->close();
    ASSERT_TRUE(pump([&] { return delegate->count("closed") == 1; })) << "trial " << trial;
  }
}

}  // namespace
}  // namespace valmor::test
