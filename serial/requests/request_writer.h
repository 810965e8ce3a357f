// RequestWriter: a thread of a port's own that writes the bytes of its
// requests.
//
// A request's write waits as long as the device accepts nothing (flow
// control, a far end that stopped reading). On the request-handling queue
// that wait would hold a thread of the shared background pool, which every
// port's reading and closing and the hot-plug handling need; here it holds
// only this thread, and the queue goes on taking replies, cancels and
// snapshots. The port's close ends such a wait.
//
//   writer.write([…] { done(session->write(bytes) == std::error_code()); });
//
// The thread starts with the first write, so a port that sends no request
// has none. Jobs run one at a time, in the order given.
//
// Threading: write() may be called from any thread. The destructor waits
// for a job that is running (the port's close or destruction ends a write the
// device holds up); jobs not yet started are dropped. Destroyed by one of its
// own jobs (which let go of the last reference to the port), it lets its
// thread end by itself instead.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace valmor {

class RequestWriter {
 public:
  RequestWriter() = default;
  ~RequestWriter();
  RequestWriter(const RequestWriter&) = delete;
  RequestWriter& operator=(const RequestWriter&) = delete;

  // Runs job on the writer's thread after the jobs given before it.
  void write(std::function<void()> job);

 private:
  // Shared with the thread, which may outlive the writer.
  struct State {
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<std::function<void()>> jobs;  // Guarded by mutex.
    bool stop = false;                       // Guarded by mutex.
  };
  static void run(const std::shared_ptr<State>& state);

  const std::shared_ptr<State> state_ = std::make_shared<State>();
  std::thread thread_;  // Started under state_->mutex.
};

}  // namespace valmor
