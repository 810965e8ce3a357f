// A process-wide notification centre: observers register for a notification
// name (and optionally one sender); a post calls every matching observer, in
// the order they registered, on the posting thread, before post() returns.
//
// Threading: every member may be called from any thread. Observers are called
// without any lock held and may add or remove observers.
#pragma once

#include <any>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "valmor/platform/export.h"

namespace valmor {

struct Notification {
  std::string name;
  const void* sender = nullptr;
  std::map<std::string, std::any> userInfo;
};

class VALMOR_EXPORT NotificationCenter {
 public:
  using Callback = std::function<void(const Notification&)>;
  using Token = std::uint64_t;

  static NotificationCenter& defaultCenter();

  // An empty name matches every name; a null sender matches every sender.
  Token addObserver(std::string name, const void* sender, Callback callback);
  void removeObserver(Token token);

  void post(const Notification& notification);

 private:
  struct Entry {
    Token token;
    std::string name;
    const void* sender;
    Callback callback;
  };
  std::mutex mutex_;
  Token next_ = 1;              // Guarded by mutex_.
  std::vector<Entry> entries_;  // Guarded by mutex_.
};

}  // namespace valmor
