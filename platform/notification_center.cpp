#include "valmor/platform/notification_center.h"

namespace valmor {

NotificationCenter& NotificationCenter::defaultCenter() {
  static NotificationCenter* center = new NotificationCenter;  // lives until exit
  return *center;
}

NotificationCenter::Token NotificationCenter::addObserver(std::string name, const void* sender,
                                                          Callback callback) {
  std::lock_guard lock(mutex_);
  const Token t = next_++;
  entries_.push_back({t, std::move(name), sender, std::move(callback)});
  return t;
}

void NotificationCenter::removeObserver(Token token) {
  std::lock_guard lock(mutex_);
  std::erase_if(entries_, [token](const Entry& e) { return e.token == token; });
}

void NotificationCenter::post(const Notification& n) {
  std::vector<Callback> toCall;
  {
    std::lock_guard lock(mutex_);
    for (const auto& e : entries_)
      if ((e.name.empty() || e.name == n.name) && (!e.sender || e.sender == n.sender))
        toCall.push_back(e.callback);
  }
  for (const auto& cb : toCall) cb(n);
}

}  // namespace valmor
