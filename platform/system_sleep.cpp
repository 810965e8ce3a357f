#include "platform/system_sleep.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <thread>

#include "platform/log.h"
#include "valmor/platform/main_queue.h"
#include "platform/unique_fd.h"

namespace valmor {

namespace {

constexpr const char* kLogind = "org.freedesktop.login1";
constexpr const char* kLogindPath = "/org/freedesktop/login1";
constexpr const char* kLogindManager = "org.freedesktop.login1.Manager";

struct BusDeleter {
  void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
using BusPtr = std::unique_ptr<sd_bus, BusDeleter>;

// What the bus thread and the handler's main-queue tasks share.
struct Shared {
  SystemSleepWatcher::Handler handler;
  std::atomic<bool> alive{true};
  std::mutex mutex;
  UniqueFd inhibitor;  // the delay lock while awake. Guarded by mutex.
};

class LogindWatcher final : public SystemSleepWatcher {
 public:
  LogindWatcher(BusPtr bus, UniqueFd stop, SystemSleepWatcher::Handler handler)
      : bus_(std::move(bus)), stop_(std::move(stop)), shared_(std::make_shared<Shared>()) {
    shared_->handler = std::move(handler);
  }

  ~LogindWatcher() override {
    shared_->alive = false;
    const std::uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(stop_.get(), &one, sizeof one);
    if (thread_.joinable()) thread_.join();
  }

  // Subscribes, takes the first lock and starts the bus thread.
  bool start() {
    // Only logind's signal counts: a match on its well-known name.
    if (sd_bus_match_signal(bus_.get(), nullptr, kLogind, kLogindPath, kLogindManager, "PrepareForSleep",
                            &LogindWatcher::onSignal, this) < 0) {
      return false;
    }
    takeInhibitor();
    thread_ = std::thread([this] { run(); });
    return true;
  }

 private:
  // Asks logind for a delay lock; without logind there is none, and sleep
  // is just not delayed. Bus thread (or before it starts).
  void takeInhibitor() {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    if (sd_bus_call_method(bus_.get(), kLogind, kLogindPath, kLogindManager, "Inhibit", &error, &reply, "ssss",
                           "sleep", "valmor", "Closing the open serial ports", "delay") >= 0) {
      int fd = -1;
      // The descriptor belongs to the message: keep a duplicate of it.
      if (sd_bus_message_read(reply, "h", &fd) >= 0 && fd >= 0) {
        std::lock_guard lock(shared_->mutex);
        shared_->inhibitor.reset(::fcntl(fd, F_DUPFD_CLOEXEC, 3));
      }
    }
    sd_bus_message_unref(reply);
    sd_bus_error_free(&error);
  }

  static int onSignal(sd_bus_message* message, void* userdata, sd_bus_error*) {
    auto* self = static_cast<LogindWatcher*>(userdata);
    int goingToSleep = 0;
    if (sd_bus_message_read(message, "b", &goingToSleep) < 0) return 0;
    // Awake again: the lock for the next sleep first, then the handler.
    if (!goingToSleep) self->takeInhibitor();
    mainQueue().post([shared = self->shared_, goingToSleep = goingToSleep != 0] {
      if (!shared->alive) return;
      shared->handler(goingToSleep);
      // The handler has done what had to happen before sleep: let it go.
      if (goingToSleep) {
        std::lock_guard lock(shared->mutex);
        shared->inhibitor.reset();
      }
    });
    return 0;
  }

  void run() {
    for (;;) {
      int processed;
      while ((processed = sd_bus_process(bus_.get(), nullptr)) > 0) {
      }
      if (processed < 0) break;
      pollfd fds[2] = {{sd_bus_get_fd(bus_.get()), static_cast<short>(sd_bus_get_events(bus_.get())), 0},
                       {stop_.get(), POLLIN, 0}};
      if (fds[0].fd < 0 || fds[0].events < 0) break;
      if (::poll(fds, 2, -1) < 0 && errno != EINTR) break;
      if (fds[1].revents != 0) return;
    }
    if (shared_->alive) logLine("SystemSleepWatcher: the bus connection was lost; sleep and wake are no longer followed");
  }

  BusPtr bus_;
  UniqueFd stop_;
  std::shared_ptr<Shared> shared_;
  std::thread thread_;
};

}  // namespace

std::unique_ptr<SystemSleepWatcher> SystemSleepWatcher::watch(Handler handler, const std::string& busAddress) {
  sd_bus* raw = nullptr;
  int r;
  if (busAddress.empty()) {
    r = sd_bus_open_system(&raw);
  } else if ((r = sd_bus_new(&raw)) >= 0) {
    if ((r = sd_bus_set_address(raw, busAddress.c_str())) >= 0 && (r = sd_bus_set_bus_client(raw, 1)) >= 0) {
      r = sd_bus_start(raw);
    }
  }
  BusPtr bus(raw);
  UniqueFd stop(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (r < 0 || !stop) {
    logLine(std::string("SystemSleepWatcher: no bus to follow sleep and wake on (") +
            std::strerror(r < 0 ? -r : errno) + ")");
    return nullptr;
  }
  auto watcher = std::make_unique<LogindWatcher>(std::move(bus), std::move(stop), std::move(handler));
  if (!watcher->start()) {
    logLine("SystemSleepWatcher: cannot subscribe to logind's PrepareForSleep");
    return nullptr;
  }
  return watcher;
}

}  // namespace valmor
