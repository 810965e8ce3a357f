// A SerialPortDelegate for tests that records every call it gets, in order,
// with whether it came on the main thread, and runs an optional hook inside
// each call.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "valmor/platform/main_queue.h"
#include "valmor/serial/serial_port.h"
#include "valmor/serial/serial_port_delegate.h"

namespace valmor::test {

struct DelegateEvent {
  // "opened", "closed", "removed", "error", "data", "packet", "response",
  // "timeout"
  std::string kind;
  std::vector<std::uint8_t> data;  // data, packet, response
  PosixError error;
  bool onMainThread = false;
  std::shared_ptr<SerialPacketDescriptor> descriptor;  // packet
  std::shared_ptr<SerialRequest> request;              // response, timeout
  std::chrono::steady_clock::time_point at = std::chrono::steady_clock::now();
};

class RecordingDelegate : public SerialPortDelegate {
 public:
  explicit RecordingDelegate(MethodSet implemented = kAllMethods) : SerialPortDelegate(implemented) {}

  // Runs inside each call, after it was recorded.
  std::function<void(SerialPort&, const std::string& kind)> hook;

  void serialPortWasRemovedFromSystem(SerialPort& p) override { record(p, "removed"); }
  void serialPortDidReceiveData(SerialPort& p, std::span<const std::uint8_t> data) override {
    record(p, "data", {data.begin(), data.end()});
  }
  void serialPortDidEncounterError(SerialPort& p, const PosixError& e) override { record(p, "error", {}, e); }
  void serialPortWasOpened(SerialPort& p) override { record(p, "opened"); }
  void serialPortWasClosed(SerialPort& p) override { record(p, "closed"); }
  void serialPortDidReceivePacketMatchingDescriptor(SerialPort& p, std::span<const std::uint8_t> packet,
                                                    const std::shared_ptr<SerialPacketDescriptor>& d) override {
    record(p, "packet", {packet.begin(), packet.end()}, {}, d);
  }
  void serialPortDidReceiveResponseToRequest(SerialPort& p, std::span<const std::uint8_t> response,
                                             const std::shared_ptr<SerialRequest>& r) override {
    record(p, "response", {response.begin(), response.end()}, {}, nullptr, r);
  }
  void serialPortRequestDidTimeout(SerialPort& p, const std::shared_ptr<SerialRequest>& r) override {
    record(p, "timeout", {}, {}, nullptr, r);
  }

  std::vector<DelegateEvent> events() const {
    std::lock_guard lock(mutex_);
    return events_;
  }
  // The events of one kind, in order.
  std::vector<DelegateEvent> eventsOf(const std::string& kind) const {
    std::vector<DelegateEvent> all;
    for (const auto& e : events())
      if (e.kind == kind) all.push_back(e);
    return all;
  }
  // The kinds of every call but data, in order.
  std::vector<std::string> kinds() const {
    std::vector<std::string> k;
    for (const auto& e : events())
      if (e.kind != "data") k.push_back(e.kind);
    return k;
  }
  // Kept as a tally, since tests wait on it after every main-queue task and
  // a long run records thousands of events.
  int count(const std::string& kind) const {
    std::lock_guard lock(mutex_);
    const auto it = counts_.find(kind);
    return it == counts_.end() ? 0 : it->second;
  }
  std::string received() const {
    std::string all;
    for (const auto& e : events())
      if (e.kind == "data") all.append(e.data.begin(), e.data.end());
    return all;
  }
  std::vector<PosixError> errors() const {
    std::vector<PosixError> all;
    for (const auto& e : events())
      if (e.kind == "error") all.push_back(e.error);
    return all;
  }
  bool allOnMainThread() const {
    for (const auto& e : events())
      if (!e.onMainThread) return false;
    return true;
  }

 private:
  void record(SerialPort& port, const std::string& kind, std::vector<std::uint8_t> data = {},
              PosixError error = {}, std::shared_ptr<SerialPacketDescriptor> descriptor = nullptr,
              std::shared_ptr<SerialRequest> request = nullptr) {
    DelegateEvent event;
    event.kind = kind;
    event.data = std::move(data);
    event.error = std::move(error);
    event.onMainThread = mainQueue().isCurrent();
    event.descriptor = std::move(descriptor);
    event.request = std::move(request);
    {
      std::lock_guard lock(mutex_);
      events_.push_back(std::move(event));
      ++counts_[kind];
    }
    if (hook) hook(port, kind);
  }

  mutable std::mutex mutex_;
  std::vector<DelegateEvent> events_;  // Guarded by mutex_.
  std::map<std::string, int> counts_;  // events_ by kind. Guarded by mutex_.
};

}  // namespace valmor::test
