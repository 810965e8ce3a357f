// The port's descriptor under hostile but ordinary conditions: a far end that
// stops reading, another program reading the same device, settings another
// program left behind, and a delegate slower than the line.
#include "valmor/serial/serial_port.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "platform/testing/cpu_load.h"
#include "platform/testing/wait.h"
#include "serial/session/port_session.h"
#include "serial/testing/serial_port_fixture.h"

namespace valmor::test {
namespace {

using Clock = std::chrono::steady_clock;

class PortSessionTest : public SerialPortTest {};
// Load a CPU on purpose (platform/testing/cpu_load.h), so they run alone.
class PortSessionUnderLoadTest : public SerialPortTest {};

// Regression: a sendData() blocked because the far end stopped reading made
// close() wait for ever, and each such close held a pool thread for good.
TEST_F(PortSessionTest, CloseEndsBlockedWritesAndNeverStallsThePool) {
  constexpr int kStalled = 3;
  std::vector<PtyPair> ptys(kStalled);
  std::vector<std::shared_ptr<SerialPort>> ports;
  std::vector<std::shared_ptr<RecordingDelegate>> delegates;
  for (int i = 0; i < kStalled; ++i) {
    ports.push_back(makePort(ptys[i], "stalled" + std::to_string(i)));
    ports[i]->setBaudRate(4000000);
    delegates.push_back(std::make_shared<RecordingDelegate>());
    openPort(*ports[i], delegates[i]);
  }
  PtyPair livePty;
  auto live = makePort(livePty, "live");
  auto liveDelegate = std::make_shared<RecordingDelegate>();
  openPort(*live, liveDelegate);

  std::atomic<int> returned{0};
  std::atomic<int> succeeded{0};
  std::vector<std::thread> writers;
  for (auto& port : ports)
    writers.emplace_back([&, port] {
      if (port->sendData(std::vector<std::uint8_t>(1 << 20, 'x'))) ++succeeded;
      ++returned;
    });
  // Each write is under way once its far end, which reads nothing, has bytes.
  ASSERT_TRUE(waitUntil([&] {
    return std::all_of(ptys.begin(), ptys.end(), [](const PtyPair& pty) {
      pollfd p{pty.master(), POLLIN, 0};
      return ::poll(&p, 1, 0) == 1;
    });
  }));
  ASSERT_EQ(returned.load(), 0) << "the writes should be held up by the far ends";

  const auto start = Clock::now();
  for (auto& port : ports) port->close();
  const bool writersReturned = pump([&] { return returned == kStalled; }, 2s);
  const bool closed = pump([&] {
    for (auto& d : delegates)
      if (d->count("closed") != 1) return false;
    return true;
  }, 2s);
  const auto took = Clock::now() - start;
  livePty.write("still here");
  const bool liveReceives = pump([&] { return liveDelegate->received() == "still here"; }, 2s);

  if (!writersReturned)
    for (auto& pty : ptys) pty.closeMaster();  // frees the writers so the test can end
  for (auto& w : writers) w.join();
  EXPECT_TRUE(writersReturned);
  EXPECT_EQ(succeeded.load(), 0) << "a write ended by close() reports failure";
  EXPECT_TRUE(closed);
  EXPECT_LT(took, 2s);
  EXPECT_TRUE(liveReceives) << "a fourth port must keep receiving";
  for (auto& d : delegates) {
    const auto errors = d->errors();
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].code, std::errc::operation_canceled) << errors[0].description();
  }
}

// Regression: two threads sending on one port interleaved their bytes, each
// send going out in pieces as the device took them; a blocking write on a
// terminal would not.
TEST_F(PortSessionTest, ConcurrentSendsGoOutWholeOneAfterTheOther) {
  constexpr std::size_t kEach = 64 * 1024;
  PtyPair pty;
  auto port = makePort(pty);
  openPort(*port, std::make_shared<RecordingDelegate>());
  for (int trial = 0; trial < 4; ++trial) {
    std::vector<std::thread> senders;
    for (const char c : {'a', 'b'})
      senders.emplace_back([&port, c] { EXPECT_TRUE(port->sendData(std::string(kEach, c))); });
    std::string got;  // read slowly, in small pieces
    while (got.size() < 2 * kEach) {
      const std::string piece = pty.read(std::min<std::size_t>(512, 2 * kEach - got.size()));
      if (piece.empty()) break;
      got += piece;
    }
    for (auto& s : senders) s.join();
    ASSERT_EQ(got.size(), 2 * kEach) << "trial " << trial;
    const std::size_t switches = static_cast<std::size_t>(
        std::count_if(got.begin() + 1, got.end(), [&, i = std::size_t{0}](char c) mutable { return c != got[i++]; }));
    EXPECT_EQ(switches, 1u) << "trial " << trial << ": the two sends interleaved";
  }
}

// Regression: a program reading the same device without taking the lock
// (a terminal program, a modem prober) could take the byte the port was told
// about, and the port's pool thread then sat in read() until another byte
// came, holding up its close.
TEST_F(PortSessionUnderLoadTest, BytesTakenByAnotherReaderNeverStallTheClose) {
  CpuLoad load;
  for (int trial = 0; trial < 40; ++trial) {
    PtyPair pty;
    auto port = makePort(pty, "shared" + std::to_string(trial));
    auto delegate = std::make_shared<RecordingDelegate>();
    openPort(*port, delegate);
    UniqueFd other(::open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
    ASSERT_TRUE(other.valid());
    std::thread thief([&] {
      char c;
      while (::read(other.get(), &c, 1) > 0) {
      }
    });
    for (int i = 0; i < 20; ++i) {
      pty.write("b");
      std::this_thread::sleep_for(500us);  // paced: one byte at a time for the two readers
    }
    port->close();
    const bool closed = pump([&] { return delegate->count("closed") == 1; }, 1s);
    pty.closeMaster();  // ends the thief's read
    thief.join();
    ASSERT_TRUE(closed) << "trial " << trial;
  }
}

// Input, output and local modes another program set must not leak into a
// raw line: XON/XOFF bytes would otherwise be taken out of (or injected
// into) an upload.
TEST_F(PortSessionTest, OpenClearsInputOutputAndLocalModesLeftByOthers) {
  PtyPair pty;
  {
    UniqueFd slave(::open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY));
    termios t{};
    ASSERT_EQ(::tcgetattr(slave.get(), &t), 0);
    t.c_iflag |= IXOFF | IXANY | INPCK | PARMRK | IGNBRK | IUCLC | IMAXBEL;
    t.c_oflag |= OPOST | ONLCR | OCRNL;
    t.c_lflag |= ECHOE | ECHOK | ECHOCTL | TOSTOP | IEXTEN;
    ASSERT_EQ(::tcsetattr(slave.get(), TCSANOW, &t), 0);
  }
  auto port = makePort(pty);
  openPort(*port, std::make_shared<RecordingDelegate>());
  termios t{};
  ASSERT_EQ(::tcgetattr(port->fileDescriptor(), &t), 0);
  EXPECT_EQ(t.c_iflag, 0u);
  EXPECT_EQ(t.c_oflag, 0u);
  EXPECT_EQ(t.c_lflag, 0u);
}

// How long the main queue waits for its turn while a port floods it.
class PortSessionTimingTest : public SerialPortTest {};

// Regression: one delivery task kept draining chunks that the reader kept
// adding, so a stream faster than the delegate froze the main queue.
TEST_F(PortSessionTimingTest, FloodedSlowDelegateLeavesTheMainQueueResponsive) {
  class Slow : public SerialPortDelegate {
   public:
    Slow() : SerialPortDelegate(kDidReceiveData) {}
    void serialPortDidReceiveData(SerialPort&, std::span<const std::uint8_t> data) override {
      bytes += data.size();
      std::this_thread::sleep_for(2ms);  // slower than the line, on purpose
    }
    std::atomic<std::size_t> bytes{0};
  };
  PtyPair pty;
  auto port = makePort(pty);
  auto delegate = std::make_shared<Slow>();
  openQuietly(*port, delegate);

  std::atomic<bool> stop{false};
  std::thread writer([&] {
    // Non-blocking, so that the writer notices stop while the port is gone.
    ::fcntl(pty.master(), F_SETFL, ::fcntl(pty.master(), F_GETFL) | O_NONBLOCK);
    const std::string block(16 * 1024, 'f');
    // The stream ends by itself, so that a main queue it froze comes back.
    const auto end = Clock::now() + 3s;
    while (!stop && Clock::now() < end) {
      if (::write(pty.master(), block.data(), block.size()) < 0) {
        if (errno != EAGAIN) return;
        pollfd p{pty.master(), POLLOUT, 0};
        ::poll(&p, 1, 1);
      }
    }
  });
  // Another thread posts a task while the main thread is busy delivering.
  std::atomic<Clock::rep> posted{0};
  std::atomic<Clock::rep> ran{0};
  std::thread poster([&] {
    waitUntil([&] { return delegate->bytes > 0; });  // while the flood is being delivered
    posted = Clock::now().time_since_epoch().count();
    queue_->post([&] { ran = Clock::now().time_since_epoch().count(); });
  });
  pump([&] { return ran != 0; }, 10s);
  stop = true;
  poster.join();
  port->close();
  pump([&] { return !port->isOpen(); });
  writer.join();
  ASSERT_NE(ran.load(), 0);
  EXPECT_GT(delegate->bytes.load(), 0u);
  EXPECT_LT(Clock::duration(ran - posted), 50ms);
}

// A far end that sends 3 MiB to a port whose main thread delivers nothing.
class PortSessionReadAheadTest : public SerialPortTest {
 protected:
  static constexpr std::size_t kTotal = 3u << 20;

  struct Collect : SerialPortDelegate {
    Collect() : SerialPortDelegate(kDidReceiveData | kWasClosed) {}
    void serialPortDidReceiveData(SerialPort&, std::span<const std::uint8_t> data) override {
      bytes.insert(bytes.end(), data.begin(), data.end());
    }
    void serialPortWasClosed(SerialPort&) override { closed = true; }
    std::vector<std::uint8_t> bytes;
    bool closed = false;
  };

  void SetUp() override {
    SerialPortTest::SetUp();
    for (std::size_t i = 0; i < kTotal; ++i) stream_[i] = static_cast<std::uint8_t>(i * 7 + (i >> 10));
    port_ = makePort(pty_);
    openQuietly(*port_, delegate_);
    ::fcntl(pty_.master(), F_SETFL, ::fcntl(pty_.master(), F_GETFL) | O_NONBLOCK);
  }

  // Writes what the master takes now; waits up to 10 ms when it takes nothing.
  bool writeSome() {
    const ssize_t n =
        ::write(pty_.master(), stream_.data() + written_, std::min<std::size_t>(64 * 1024, kTotal - written_));
    if (n > 0) {
      written_ += static_cast<std::size_t>(n);
      return true;
    }
    pollfd p{pty_.master(), POLLOUT, 0};
    ::poll(&p, 1, 10);
    return false;
  }

  // Writes, without running the main queue, until the master has taken
  // nothing for 300 ms: the port reads a bounded amount ahead and leaves the
  // rest in the kernel, where the far end waits.
  void writeUntilHeldBack() {
    for (auto lastProgress = Clock::now(); written_ < kTotal && Clock::now() - lastProgress < 300ms;)
      if (writeSome()) lastProgress = Clock::now();
    EXPECT_LT(written_, kTotal);
    // The read-ahead (and one read over it) and what the kernel buffers.
    EXPECT_LE(written_, PortSession::kMaxBytesInFlight + PortSession::kReadSize + 256u * 1024u);
  }

  PtyPair pty_;
  std::shared_ptr<SerialPort> port_;
  std::shared_ptr<Collect> delegate_ = std::make_shared<Collect>();
  std::vector<std::uint8_t> stream_ = std::vector<std::uint8_t>(kTotal);
  std::size_t written_ = 0;
};

// Once the deliveries go on, reading resumes and every byte arrives, in order.
TEST_F(PortSessionReadAheadTest, ResumesWithNothingLost) {
  writeUntilHeldBack();
  std::atomic<bool> stop{false};
  std::thread rest([&] {
    while (written_ < kTotal && !stop) writeSome();
  });
  const bool all = pump([&] { return delegate_->bytes.size() >= kTotal; }, 30s);
  stop = true;
  rest.join();
  ASSERT_TRUE(all) << delegate_->bytes.size() << " of " << kTotal << " bytes";
  EXPECT_TRUE(delegate_->bytes == stream_);
}

// A close while reading is held back ends the paused reader and completes,
// after the bytes read ahead, which arrive as they were sent.
TEST_F(PortSessionReadAheadTest, CloseWhileHeldBackCompletes) {
  writeUntilHeldBack();
  port_->close();
  ASSERT_TRUE(pump([&] { return delegate_->closed; }, 5s));
  EXPECT_FALSE(port_->isOpen());
  EXPECT_GT(delegate_->bytes.size(), 0u);
  EXPECT_TRUE(std::equal(delegate_->bytes.begin(), delegate_->bytes.end(), stream_.begin()));
}

// Regression: while reading was held back for consumers that were behind, the
// reading thread stopped watching the descriptor, so a hang-up was noticed
// only once they had caught up.
TEST_F(PortSessionTest, HangUpIsNoticedWhileReadingIsHeldBack) {
  // Consumers that never catch up: every chunk read stays held.
  struct Behind : PortSessionClient {
    void sessionDidRead(ChunkList chunks) override {
      std::lock_guard lock(mutex);
      held.insert(held.end(), chunks.begin(), chunks.end());
    }
    void sessionDidFail(std::error_code) override {}
    void sessionDeviceDidGo(std::error_code) override { gone = true; }
    void sessionInputLinesDidChange(InputLines) override {}
    void sessionDidClose(std::error_code) override { closed = true; }
    std::size_t heldBytes() {
      std::lock_guard lock(mutex);
      std::size_t n = 0;
      for (const auto& chunk : held) n += chunk->bytes.size();
      return n;
    }
    std::mutex mutex;
    ChunkList held;  // Guarded by mutex.
    std::atomic<bool> gone{false};
    std::atomic<bool> closed{false};
  };
  PtyPair pty;
  auto behind = std::make_shared<Behind>();
  std::error_code error;
  auto session = PortSession::open(pty.slavePath(), behind, currentDeviceIo(), error);
  ASSERT_TRUE(session) << error.message();
  ASSERT_FALSE(session->applyLineSettings(LineSettings{}));
  session->start();

  ::fcntl(pty.master(), F_SETFL, ::fcntl(pty.master(), F_GETFL) | O_NONBLOCK);
  const std::string block(4096, 'h');
  ASSERT_TRUE(waitUntil([&] {
    (void)!::write(pty.master(), block.data(), block.size());
    return behind->heldBytes() >= PortSession::kMaxBytesInFlight;
  }, 10s)) << "reading was never held back";
  pty.closeMaster();
  EXPECT_TRUE(waitUntil([&] { return behind->gone.load(); })) << "the hang-up went unnoticed";

  session->requestClose(nullptr);
  EXPECT_TRUE(waitUntil([&] { return behind->closed.load(); }));
}

}  // namespace
}  // namespace valmor::test
