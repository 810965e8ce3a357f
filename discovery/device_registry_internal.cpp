#include "discovery/device_registry_internal.h"

#include <asio/post.hpp>
#include <asio/posix/stream_descriptor.hpp>

#include <atomic>

#include "platform/background.h"
#include "platform/log.h"
#include "valmor/platform/main_queue.h"
#include "platform/thread_checks.h"

namespace valmor::discovery_internal {

std::pair<std::string, std::string> splitTtyName(std::string_view name) {
  size_t digits = name.size();
  while (digits > 0 && name[digits - 1] >= '0' && name[digits - 1] <= '9') --digits;
  return {std::string(name.substr(0, digits)), std::string(name.substr(digits))};
}

DeviceHandle makeSerialStreamDevice(std::string calloutPath, std::string dialinPath,
                                    std::string ttyName, PropertyMap extra) {
  auto [base, suffix] = splitTtyName(ttyName);
  PropertyMap p = std::move(extra);
  p.insert_or_assign(std::string(kIOCalloutDevice), std::move(calloutPath));
  p.insert_or_assign(std::string(kIODialinDevice), std::move(dialinPath));
  p.insert_or_assign(std::string(kIOTTYDevice), std::move(ttyName));
  p.insert_or_assign(std::string(kIOTTYBaseName), std::move(base));
  p.insert_or_assign(std::string(kIOTTYSuffix), std::move(suffix));
  p.insert_or_assign(std::string(kIOSerialBSDClientType), std::string(kIOSerialStream));
  return std::make_shared<const Device>(std::move(p));
}

namespace {

// What the main queue needs to deliver a batch; shared by the subscription
// and every batch in flight.
struct Delivery {
  std::atomic<bool> alive{true};
  DeviceRegistry::Callback published;
  DeviceRegistry::Callback terminated;
};

// Threading: every member except start() and stop() runs on strand_.
class Watch : public std::enable_shared_from_this<Watch> {
 public:
  Watch(std::unique_ptr<DeviceEventSource> source, std::shared_ptr<Delivery> delivery)
      : strand_(makeStrand()),
        descriptor_(strand_),
        source_(std::move(source)),
        delivery_(std::move(delivery)) {}

  // Registers the descriptor with the pool's reactor. Called once, before
  // any work is posted for this watch.
  bool assign() {
    asio::error_code ec;
    // From here the descriptor belongs to source_ but is registered with
    // descriptor_, which gives it back with release() and never closes it.
    descriptor_.assign(source_->fd(), ec);
    if (ec) logLine("Device registry: cannot watch for hot plug: " + ec.message());
    return !ec;
  }

  void start() {
    asio::post(strand_, [self = shared_from_this()] { self->arm(); });
  }

  void stop() {
    asio::post(strand_, [self = shared_from_this()] { self->stopOnStrand(); });
  }

 private:
  void arm() {
    VALMOR_CHECK_THREAD(strand_.running_in_this_thread(), "a hot-plug watch runs on its strand only");
    if (stopped_) return;
    descriptor_.async_wait(asio::posix::descriptor_base::wait_read,
                           [self = shared_from_this()](const asio::error_code& ec) {
                             self->onReadable(ec);
                           });
  }

  void onReadable(const asio::error_code& ec) {
    VALMOR_CHECK_THREAD(strand_.running_in_this_thread(), "a hot-plug watch runs on its strand only");
    if (stopped_ || ec == asio::error::operation_aborted) return;
    if (ec) {
      logLine("Device registry: hot-plug watch failed: " + ec.message());
      stopOnStrand();
      return;
    }
    auto changes = source_->readChanges();
    if (!changes) {
      stopOnStrand();
      return;
    }
    if (!changes->empty()) deliver(std::move(*changes));
    // Re-armed only while the source works: a source that failed stopped
    // above, so a descriptor stuck readable cannot keep the pool busy.
    arm();
  }

  void deliver(DeviceChanges changes) {
    VALMOR_CHECK_THREAD(strand_.running_in_this_thread(), "a hot-plug watch runs on its strand only");
    // Nothing is posted for a subscription already destroyed: besides
    // saving work, it keeps the pool off the main queue once its owner has
    // moved on (at process exit the main queue may be going away).
    if (!delivery_->alive) return;
    mainQueue().post([d = delivery_, c = std::move(changes)] {
      VALMOR_CHECK_MAIN_THREAD();
      // Checked before each call: the subscription may have been destroyed
      // since the batch was posted, or by the terminated callback itself.
      if (d->alive && d->terminated && !c.terminated.empty()) d->terminated(DeviceIterator(c.terminated));
      if (d->alive && d->published && !c.published.empty()) d->published(DeviceIterator(c.published));
    });
  }

  void stopOnStrand() {
    VALMOR_CHECK_THREAD(strand_.running_in_this_thread(), "a hot-plug watch runs on its strand only");
    if (stopped_) return;
    stopped_ = true;
    // release() deregisters the descriptor and completes a pending wait with
    // operation_aborted; the source then closes the descriptor it owns.
    descriptor_.release();
    source_.reset();
    delivery_.reset();
  }

  Strand strand_;
  asio::posix::stream_descriptor descriptor_;
  std::unique_ptr<DeviceEventSource> source_;
  std::shared_ptr<Delivery> delivery_;
  bool stopped_ = false;
};

class WatchSubscription : public DeviceSubscription {
 public:
  WatchSubscription(std::shared_ptr<Delivery> delivery, std::shared_ptr<Watch> watch)
      : delivery_(std::move(delivery)), watch_(std::move(watch)) {}

  ~WatchSubscription() override {
    delivery_->alive = false;
    watch_->stop();
  }

 private:
  std::shared_ptr<Delivery> delivery_;
  std::shared_ptr<Watch> watch_;
};

}  // namespace

std::unique_ptr<DeviceSubscription> watchDeviceEvents(std::unique_ptr<DeviceEventSource> source,
                                                      DeviceRegistry::Callback published,
                                                      DeviceRegistry::Callback terminated) {
  // Make sure a main queue exists before the pool first posts to it, so that
  // a default one belongs to the subscribing thread rather than a pool thread.
  mainQueue();
  auto delivery = std::make_shared<Delivery>();
  delivery->published = std::move(published);
  delivery->terminated = std::move(terminated);
  auto watch = std::make_shared<Watch>(std::move(source), delivery);
  if (!watch->assign()) return nullptr;
  watch->start();
  return std::make_unique<WatchSubscription>(std::move(delivery), std::move(watch));
}

}  // namespace valmor::discovery_internal
