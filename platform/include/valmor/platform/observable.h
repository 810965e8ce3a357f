// Property observation. An object derives from Observable and announces each
// change of a property by name; observers registered for that name are called
// after the change, on the thread that made it. Observable ordered lists
// announce insertions and removals with the indexes they touched. A derived
// property can be declared to change with its source (isOpen with
// fileDescriptor), so that its observers hear of every change of the source.
//
// Threading: registration, removal and announcements may happen on any
// thread. Callbacks run without any lock held, so they may register or remove
// observers (themselves included) and read the object. removeObserver()
// returns only once no call of that observer is running on another thread,
// so what the callback uses may be destroyed right after it; called from
// inside the observer's own callback it does not wait for that call.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "valmor/platform/export.h"

namespace valmor {

struct PropertyChange {
  enum class Kind { Setting, Insertion, Removal };
  std::string property;
  Kind kind = Kind::Setting;
  std::vector<size_t> indexes;  // Insertion and Removal only, ascending.
};

class VALMOR_EXPORT Observable {
 public:
  using Callback = std::function<void(const PropertyChange&)>;
  using Token = std::uint64_t;

  Observable() = default;
  Observable(const Observable&) = delete;
  Observable& operator=(const Observable&) = delete;
  virtual ~Observable() = default;

  // Calls callback after each change of the named property. Returns a token
  // for removeObserver().
  Token addObserver(std::string property, Callback callback);
  // No call of the observer starts after this; one running on another
  // thread is waited for.
  void removeObserver(Token token);

 protected:
  // Announces that the property (a plain value, or a whole list replaced)
  // has changed.
  void didChange(std::string_view property);
  // Announces elements inserted into or removed from an ordered list.
  void didInsert(std::string_view property, std::vector<size_t> indexes);
  void didRemove(std::string_view property, std::vector<size_t> indexes);

  // From now on each announcement of source is followed by one of derived,
  // of the same kind and with the same indexes.
  void declareDependency(std::string derived, std::string source);

 private:
  void announce(const PropertyChange& change);

  struct Entry {
    Token token;
    std::string property;
    Callback callback;
    // Threads running the callback now, one element per call. Guarded by
    // mutex_.
    std::shared_ptr<std::vector<std::thread::id>> running;
  };
  std::mutex mutex_;
  std::condition_variable callsEnded_;
  Token next_ = 1;                                    // Guarded by mutex_.
  std::vector<Entry> observers_;                      // Guarded by mutex_.
  std::multimap<std::string, std::string> derived_;   // source -> derived; guarded by mutex_.
};

}  // namespace valmor
