#include "serial/requests/request_writer.h"

#include <string>

#include "platform/log.h"

namespace valmor {

RequestWriter::~RequestWriter() {
  {
    std::lock_guard lock(state_->mutex);
    state_->stop = true;
  }
  state_->wake.notify_all();
  if (!thread_.joinable()) return;
  if (thread_.get_id() == std::this_thread::get_id()) {
    thread_.detach();  // the job running now returns, and the thread sees stop
  } else {
    thread_.join();
  }
}

void RequestWriter::write(std::function<void()> job) {
  {
    std::lock_guard lock(state_->mutex);
    if (state_->stop) return;
    state_->jobs.push_back(std::move(job));
    if (!thread_.joinable()) thread_ = std::thread([state = state_] { run(state); });
  }
  state_->wake.notify_one();
}

void RequestWriter::run(const std::shared_ptr<State>& state) {
  for (;;) {
    std::function<void()> job;
    {
      std::unique_lock lock(state->mutex);
      state->wake.wait(lock, [&] { return state->stop || !state->jobs.empty(); });
      if (state->stop) return;
      job = std::move(state->jobs.front());
      state->jobs.pop_front();
    }
    runLoggingExceptions(job, "A request write");
  }
}

}  // namespace valmor
