// PortSession: one open descriptor of a serial device, from a successful open
// until its close has completed. It owns the descriptor, reads from it in the
// background, polls the modem-control input lines, carries out writes for its
// port, and closes the device without ever blocking a thread of the pool.
//
// The descriptor stays non-blocking for its whole life:
//  - Reading waits for readiness on the pool, then reads chunks of at most
//    1024 bytes (one read() each) until the device has nothing more, and
//    waits again. Bytes another reader of the same device took in between
//    cost an EAGAIN, never a read that hangs.
//  - write() keeps the blocking contract of SerialPort::sendData() for its
//    caller: while the device accepts nothing it waits for writability
//    together with a wake-up that the close signals, so a close ends a
//    blocked write at once (std::errc::operation_canceled).
//  - The close restores the device's original attributes. It waits for
//    queued output only as long as sending it at the line rate takes, plus a
//    second, polling on a timer rather than draining; what is left is
//    discarded, then the attributes go back without a drain.
//
// A session reports to its port through PortSessionClient, a narrow
// interface; it never sees the port itself. It holds the client weakly, so
// that a port nobody holds any more is still closed (quietly). Once a close
// has been asked for with a keep-alive reference, the session holds the
// client until it has told it that the close completed.
//
// Threading: created and written to on any thread. Reading, the modem-line
// poll and the close run on the session's strand, one at a time; the client
// is called there. The descriptor is closed only on the strand, under an
// exclusive lock that write() and the setters' ioctls hold shared, so a
// descriptor number is never used after it has been closed (and perhaps
// reused by an unrelated open).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <span>
#include <string>
#include <system_error>
#include <vector>

#include <asio/posix/stream_descriptor.hpp>
#include <asio/steady_timer.hpp>

#include "platform/background.h"
#include "platform/unique_fd.h"
#include "serial/device_io.h"
#include "serial/line_settings.h"

namespace valmor {

class PortSession;

// Bytes read in one read(), on their way to the delegate and the byte
// processors. Whoever drops the last reference to it gives its place in the
// session's read-ahead back, so that reading resumes once consumers catch up.
struct ReceivedChunk {
  std::vector<std::uint8_t> bytes;
  std::weak_ptr<PortSession> session;
  ReceivedChunk() = default;
  ReceivedChunk(const ReceivedChunk&) = delete;
  ReceivedChunk& operator=(const ReceivedChunk&) = delete;
  ~ReceivedChunk();
};
using ChunkList = std::vector<std::shared_ptr<const ReceivedChunk>>;

// The modem-control input lines.
struct InputLines {
  bool cts = false;
  bool dsr = false;
  bool dcd = false;
  bool operator==(const InputLines&) const = default;
};

// What a session tells its port. Every call is made on the session's strand.
class PortSessionClient {
 public:
  virtual ~PortSessionClient() = default;
  // Chunks read, in the order read.
  virtual void sessionDidRead(ChunkList chunks) = 0;
  // A failure to report; the session goes on as far as it can.
  virtual void sessionDidFail(std::error_code error) = 0;
  // The device has hung up or gone (error is empty for an end of file).
  // Reading and polling have stopped; the port is expected to close.
  virtual void sessionDeviceDidGo(std::error_code error) = 0;
  // The input lines as polled, whenever they differ from the last poll.
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

  PortSession(PrivateTag, UniqueFd fd, UniqueFd wakeFd, SavedAttributes saved,
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

  // Writes all bytes on the calling thread, waiting while the device accepts
  // nothing. Empty on success; operation_canceled when a close ends the
  // wait (or had begun before); otherwise the errno of the failed write.
  [[nodiscard]] std::error_code write(std::span<const std::uint8_t> data);

  // Begins the close (once; later calls only add a keep-alive if none was
  // given). Blocked writes return at once. keepAlive, when given, is held
  // until the client has been told that the close completed; without one
  // the client is told only if it is still alive.
  void requestClose(std::shared_ptr<PortSessionClient> keepAlive);
  bool closeRequested() const { return closeRequested_.load(); }

  // Chunks read ahead of their consumers. Reading pauses at kMaxChunksInFlight
  // and resumes at kResumeChunks, so that a slow consumer holds data back in
  // the kernel (and, with flow control, at the sender) instead of in memory.
  static constexpr int kMaxChunksInFlight = 1024;
  static constexpr int kResumeChunks = 256;

 private:
  friend struct ReceivedChunk;

  [[nodiscard]] std::error_code watch();
  void consumeWatch();
  [[nodiscard]] bool rearmWatch();
  void armRead();
  void onReadable(const asio::error_code& ec);
  void armPoll(std::chrono::milliseconds delay);
  void onPollTick(const asio::error_code& ec);
  void deviceGone(std::error_code error);
  void beginClose();
  void drainOrGiveUp();
  void finishClose();
  void chunkDone();
  std::shared_ptr<PortSessionClient> client() const;

  Strand strand_;
  asio::posix::stream_descriptor readiness_;  // strand; a private epoll watching fd_
  asio::steady_timer pollTimer_;              // strand
  asio::steady_timer drainTimer_;             // strand
  const SavedAttributes saved_;               // the device's attributes found at open
  const std::shared_ptr<DeviceIo> io_;
  const std::weak_ptr<PortSessionClient> client_;
  mutable std::mutex keepAliveMutex_;
  std::shared_ptr<PortSessionClient> keepAlive_;  // Guarded by keepAliveMutex_.
  bool closed_ = false;  // the descriptor is closed. Guarded by keepAliveMutex_.

  mutable std::shared_mutex fdMutex_;
  UniqueFd fd_;              // empty once closed. Guarded by fdMutex_.
  const UniqueFd wakeFd_;    // an eventfd, readable once a close was asked for

  std::atomic<bool> closeRequested_{false};
  std::atomic<bool> hasModemLines_{true};
  std::atomic<int> chunksInFlight_{0};
  std::atomic<bool> readPaused_{false};

  // Strand only.
  bool closing_ = false;   // the close has begun on the strand
  bool gone_ = false;      // the device hung up or went away
  bool reading_ = true;    // false after a read error
  bool havePolled_ = false;
  InputLines lastLines_;
  std::error_code lastPollError_;
  std::chrono::steady_clock::time_point drainDeadline_;
};

}  // namespace valmor
