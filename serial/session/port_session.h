// PortSession: one open descriptor of a serial device, from a successful open
// until its close has completed. It owns the descriptor, reads from it in the
// background, polls the modem-control input lines, carries out writes for its
// port, and closes the device without ever blocking a thread of the pool.
//
// The descriptor stays non-blocking for its whole life:
//  - Reading is done by a thread of the session's own, which waits for
//    readiness in poll() together with a wake-up of its own, then takes
//    what is waiting in one read() of up to 64 KiB (a pseudo-terminal or a
//    USB adapter has a few KiB at a time), and waits again; only a read
//    that filled the whole buffer is followed by another before the wait.
//    Bytes another reader of the same device took in between cost an
//    EAGAIN, never a read that hangs. Each read is one chunk; its consumers
//    cut it into the pieces of at most kDeliveredSize bytes that delegates
//    receive. Where the consumers live on another thread (the main queue),
//    the chunks of a stream (reads of at least kDeliveredSize bytes) are
//    held back for at most 1 ms or 64 KiB and handed over together, so that
//    that thread is woken once for many; a message on its own goes on at
//    once. Where they run on the reading thread itself, every read goes on
//    at once. A thread of its own, and not a readiness wait on the pool,
//    because each round on the pool cost two or three thread wake-ups more
//    (the reactor's hand-over and the strand's), and a wake-up costs more
//    than reading the chunk.
//  - write() keeps the blocking contract of SerialPort::sendData() for its
//    caller: while the device accepts nothing it waits for writability
//    together with a wake-up that the close signals, so a close ends a
//    blocked write at once (std::errc::operation_canceled). Writes take
//    turns, each for its whole length, so that the bytes of one write go out
//    together, as a blocking write() on a terminal keeps them; a close ends
//    a wait for the turn at once too.
//  - The close restores the device's original attributes. It waits for
//    queued output only as long as sending it at the line rate takes, plus a
//    second, polling on a timer rather than draining; what is left is
//    discarded, then the attributes go back without a drain.
//
// Modem lines: on a device that has them, a ModemLineWatcher thread sleeps
// until the input lines change (TIOCMIWAIT) and tells each change, pulses
// included. Where the driver cannot wait (ENOTTY, EINVAL), the lines are
// polled every 10 ms on the strand instead. The close stops the watcher and
// completes only once its thread has ended.
//
// A session reports to its port through PortSessionClient, a narrow
// interface; it never sees the port itself. It holds the client weakly, so
// that a port nobody holds any more is still closed (quietly). Once a close
// has been asked for with a keep-alive reference, the session holds the
// client until it has told it that the close completed.
//
// Threading: created and written to on any thread. The modem-line poll and
// the close run on the session's strand, one at a time; the client is called
// there, except sessionDidRead(), which the reading thread calls. The close
// completes only once the reading thread has ended. The descriptor is closed
// only on the strand, under an exclusive lock that write() and the setters'
// ioctls hold shared, so a descriptor number is never used after it has been
// closed (and perhaps reused by an unrelated open). Nothing on the strand
// waits for the main thread, and the client's calls made there must not
// either. Debug and sanitizer builds check the strand-only members
// (platform/thread_checks.h).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <span>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <asio/steady_timer.hpp>

#include "platform/background.h"
#include "platform/unique_fd.h"
#include "serial/lines/device_io.h"
#include "serial/lines/terminal_attributes.h"
#include "serial/lines/modem_line_watcher.h"

namespace valmor {

class PortSession;

// Bytes read in one read(), on their way to the delegate and the byte
// processors. Whoever drops the last reference to it gives its bytes' place
// in the session's read-ahead back, so that reading resumes once consumers
// catch up.
struct ReceivedChunk {
  // Delegates receive a chunk in pieces of at most this many bytes, in order.
  static constexpr std::size_t kDeliveredSize = 1024;
  std::vector<std::uint8_t> bytes;
  std::weak_ptr<PortSession> session;
  ReceivedChunk() = default;
  ReceivedChunk(const ReceivedChunk&) = delete;
  ReceivedChunk& operator=(const ReceivedChunk&) = delete;
  ~ReceivedChunk();
};
using ChunkList = std::vector<std::shared_ptr<const ReceivedChunk>>;

// What a session tells its port. sessionDidRead() is called on the session's
// reading thread, every other call on the session's strand.
class PortSessionClient {
 public:
  virtual ~PortSessionClient() = default;
  // Chunks read, in the order read.
  virtual void sessionDidRead(ChunkList chunks) = 0;
  // True when the chunks are consumed on the reading thread itself, in
  // sessionDidRead(): then none is held back for a stream.
  virtual bool consumesOnReadingThread() const { return false; }
  // A failure to report; the session goes on as far as it can.
  virtual void sessionDidFail(std::error_code error) = 0;
  // The device has hung up or gone (error is empty for an end of file).
  // Reading and polling have stopped; the port is expected to close.
  virtual void sessionDeviceDidGo(std::error_code error) = 0;
  // The input lines as first read, then on each change, in order: a pulse
  // is two calls.
  virtual void sessionInputLinesDidChange(InputLines lines) = 0;
  // The descriptor has been closed (closeError is what close() reported;
  // the descriptor is gone either way). The last call of a session.
  virtual void sessionDidClose(std::error_code closeError) = 0;
};

class PortSession : public std::enable_shared_from_this<PortSession> {
  struct PrivateTag {};

 public:
  // Opens path for exclusive use (O_RDWR | O_NOCTTY | O_NONBLOCK |
  // O_CLOEXEC, then flock(LOCK_EX | LOCK_NB)) and saves its attributes.
  // Gives the session, not yet reading, or the errno of what failed.
  static std::shared_ptr<PortSession> open(const std::string& path,
                                           std::weak_ptr<PortSessionClient> client,
                                           std::shared_ptr<DeviceIo> io, std::error_code& error);

  PortSession(PrivateTag, UniqueFd fd, UniqueFd wakeFd, UniqueFd readerWakeFd, SavedAttributes saved,
              std::weak_ptr<PortSessionClient> client, std::shared_ptr<DeviceIo> io);
  ~PortSession();
  PortSession(const PortSession&) = delete;
  PortSession& operator=(const PortSession&) = delete;

  // The descriptor number while open; -1 once closed.
  int descriptor() const;

  // Starts reading and, for a device with modem lines, the poll. Call once,
  // after the port has stored the session.
  void start();

  // Puts the settings on the device (see applyLineSettings in
  // line_settings.h). Does nothing, successfully, once a close was asked for.
  [[nodiscard]] std::error_code applyLineSettings(const LineSettings& settings);

  // Drives RTS and DTR. A device without modem lines (a pseudo-terminal) is
  // not an error: the lines then stay stored values and are not polled.
  [[nodiscard]] std::error_code updateModemLines(bool rts, bool dtr);

  // ---- Settings with ioctls of their own (port_session_controls.cpp) ----
  // Like applyLineSettings(): nothing, successfully, once a close was asked
  // for. The first application saves what the device had; the close puts
  // it back.

  // ASYNC_LOW_LATENCY through TIOCSSERIAL, read back, and an FTDI
  // adapter's latency_timer (1 ms on, the value found at first off) where
  // sysfs has it writable. Either one succeeding is success; switching off
  // on a driver with neither is not an error. A flag the driver keeps as it
  // was is ENOTSUP.
  [[nodiscard]] std::error_code applyLowLatency(bool on);

  // TIOCSRS485, read back with TIOCGRS485: a driver without RS-485 gives
  // ENOTTY (not an error when disabling), one that changed what was asked
  // (a level it cannot drive, a delay it clamps) ENOTSUP.
  [[nodiscard]] std::error_code applyRS485(const RS485Settings& settings);

  // ---- Break, flush and drain, on the calling thread ----
  // Each gives operation_canceled when the close had begun.

  // Turns break on or off. A break left on is ended by the close.
  [[nodiscard]] std::error_code setBreak(bool on);
  // Break for duration, waiting on the calling thread; a close ends it early
  // (operation_canceled). The line leaves break either way.
  [[nodiscard]] std::error_code sendBreak(std::chrono::microseconds duration);
  [[nodiscard]] std::error_code flush(DeviceIo::Queue queue);
  // Waits on the calling thread until the output queue is empty: timed_out
  // at the deadline, operation_canceled when a close begins.
  [[nodiscard]] std::error_code drain(std::chrono::steady_clock::time_point deadline);

  // The use of the output for one write, so that its bytes are not
  // interleaved with another's. Given back when the last move of it goes;
  // may be handed to another thread that finishes the write.
  class WriteTurn {
   public:
    WriteTurn() = default;
    WriteTurn(WriteTurn&& other) noexcept : session_(std::move(other.session_)) {}
    WriteTurn& operator=(WriteTurn&& other) noexcept;
    ~WriteTurn() { giveBack(); }
    explicit operator bool() const { return session_ != nullptr; }

   private:
    friend class PortSession;
    explicit WriteTurn(std::shared_ptr<PortSession> session) : session_(std::move(session)) {}
    void giveBack();
    std::shared_ptr<PortSession> session_;
  };
  // Never waits: the turn, or empty when another write has it or a close
  // was asked for.
  [[nodiscard]] WriteTurn tryTakeWriteTurn();

  // Writes all bytes on the calling thread, waiting for its turn and then
  // while the device accepts nothing. Empty on success; operation_canceled
  // when a close ends the wait (or had begun before); otherwise the errno of
  // the failed write.
  [[nodiscard]] std::error_code write(std::span<const std::uint8_t> data);
  // The same, in a turn already taken.
  [[nodiscard]] std::error_code write(const WriteTurn& turn, std::span<const std::uint8_t> data);
  // Writes what the device takes now, in a turn already taken, never
  // waiting: the count written, and in error the errno of a failed write (a
  // full device is no error).
  [[nodiscard]] std::size_t writeNow(const WriteTurn& turn, std::span<const std::uint8_t> data,
                                     std::error_code& error);

  // Begins the close (once; later calls only add a keep-alive if none was
  // given). Blocked writes return at once. keepAlive, when given, is held
  // until the client has been told that the close completed; without one
  // the client is told only if it is still alive.
  void requestClose(std::shared_ptr<PortSessionClient> keepAlive);
  bool closeRequested() const { return closeRequested_.load(); }

  // Bytes read ahead of their consumers. Reading pauses at kMaxBytesInFlight
  // and resumes at kResumeBytes, so that a slow consumer holds data back in
  // the kernel (and, with flow control, at the sender) instead of in memory.
  // A read takes at most kReadSize.
  static constexpr std::size_t kReadSize = 64 * 1024;
  static constexpr std::size_t kMaxBytesInFlight = 1024 * 1024;
  static constexpr std::size_t kResumeBytes = 256 * 1024;

 private:
  friend struct ReceivedChunk;

  void startReader();
  void readLoop(int fd);
  [[nodiscard]] bool readRound(int fd, PortSessionClient& c, std::uint8_t* buffer);
  // Gives the chunks read and not yet handed over to c (dropped without c).
  void handOverUnsent(PortSessionClient* c);
  // Reading has ended on error (empty for end of file); told on the strand.
  void readingFailed(std::error_code error, bool gone);
  void stopReader();
  void wakeReader();
  void readerEnded();
  void armPoll(std::chrono::milliseconds delay);
  void onPollTick(const asio::error_code& ec);
  void startWatcher();
  void publishLines(const std::vector<InputLines>& steps);
  void stopWatcher();
  void watcherEnded();
  // True when the close waited for (operation_canceled) has begun, false
  // after duration; the calling thread sleeps in between.
  bool waitForCloseRequest(std::chrono::nanoseconds duration) const;
  void restoreControls();
  void deviceGone(std::error_code error);
  void beginClose();
  // The close once nothing reads any more: drain, attributes back, close.
  void closeDevice();
  void drainOrGiveUp();
  void finishClose();
  void chunkDone(std::size_t bytes);
  std::shared_ptr<PortSessionClient> client() const;

  Strand strand_;
  asio::steady_timer pollTimer_;              // strand
  asio::steady_timer drainTimer_;             // strand
  const SavedAttributes saved_;               // the device's attributes found at open
  const std::shared_ptr<DeviceIo> io_;
  const std::weak_ptr<PortSessionClient> client_;
  mutable std::mutex keepAliveMutex_;
  std::shared_ptr<PortSessionClient> keepAlive_;  // Guarded by keepAliveMutex_.
  bool closed_ = false;  // the descriptor is closed. Guarded by keepAliveMutex_.

  // Whose turn it is to write (WriteTurn). Taken before fdMutex_.
  std::mutex turnMutex_;
  std::condition_variable turnFree_;
  bool turnTaken_ = false;  // Guarded by turnMutex_.

  mutable std::shared_mutex fdMutex_;
  UniqueFd fd_;              // empty once closed. Guarded by fdMutex_.
  // An eventfd, readable once a close was asked for; used under fdMutex_
  // (shared) and closed with the descriptor.
  UniqueFd wakeFd_;
  // An eventfd that wakes the reading thread: to stop, or to resume after a
  // pause. Written under fdMutex_ (shared), closed with the descriptor.
  UniqueFd readerWakeFd_;
  std::atomic<bool> stopReading_{false};
  // Reading thread only: chunks read and not yet handed over (held back
  // while a stream lasts), their bytes, and when the first of them was read.
  ChunkList unsent_;
  std::size_t unsentBytes_ = 0;
  std::chrono::steady_clock::time_point unsentSince_;

  std::atomic<bool> closeRequested_{false};
  std::atomic<bool> hasModemLines_{true};
  std::atomic<std::size_t> bytesInFlight_{0};
  std::atomic<bool> readPaused_{false};

  // Strand only.
  bool closing_ = false;   // the close has begun on the strand
  bool gone_ = false;      // the device hung up or went away
  bool havePolled_ = false;
  InputLines lastLines_;
  std::error_code lastPollError_;
  std::chrono::steady_clock::time_point drainDeadline_;
  bool closeAfterReader_ = false;    // the close waits for the reader's end
  bool finishAfterWatcher_ = false;  // the close waits for the watcher's end
  std::thread reader_;          // joinable until its end has been told on the strand

  // Settings with ioctls of their own: what the device had before the first
  // change, put back at close. Guarded by controlsMutex_ (taken inside a
  // shared fdMutex_).
  std::mutex controlsMutex_;
  bool lowLatencyTouched_ = false;
  std::optional<bool> savedLowLatency_;
  std::string latencyTimerPath_;
  std::optional<int> savedLatencyTimer_;
  bool rs485Touched_ = false;
  std::optional<RS485Settings> savedRS485_;
  std::atomic<bool> breakOn_{false};

  // Declared last so that it is destroyed (stopped and joined) first. Strand
  // only.
  std::unique_ptr<ModemLineWatcher> watcher_;
};

}  // namespace valmor
