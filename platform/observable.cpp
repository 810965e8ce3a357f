#include "valmor/platform/observable.h"

#include <algorithm>

namespace valmor {

Observable::Token Observable::addObserver(std::string property, Callback callback) {
  std::lock_guard lock(mutex_);
  const Token t = next_++;
  observers_.push_back({t, std::move(property), std::move(callback),
                        std::make_shared<std::vector<std::thread::id>>()});
  return t;
}

void Observable::removeObserver(Token token) {
  std::unique_lock lock(mutex_);
  auto it = std::find_if(observers_.begin(), observers_.end(),
                         [token](const Entry& e) { return e.token == token; });
  if (it == observers_.end()) return;
  const auto running = it->running;
  observers_.erase(it);
  // Calls on this thread are the caller's own callback (or callbacks it is
  // nested in); waiting for them would never end.
  const auto self = std::this_thread::get_id();
  callsEnded_.wait(lock, [&] {
    return std::all_of(running->begin(), running->end(), [&](auto id) { return id == self; });
  });
}

void Observable::declareDependency(std::string derived, std::string source) {
  std::lock_guard lock(mutex_);
  derived_.emplace(std::move(source), std::move(derived));
}

void Observable::announce(const PropertyChange& change) {
  struct Call {
    Callback callback;
    std::shared_ptr<std::vector<std::thread::id>> running;
  };
  std::vector<Call> toCall;
  std::vector<std::string> dependents;
  const auto self = std::this_thread::get_id();
  {
    std::lock_guard lock(mutex_);
    for (const auto& e : observers_)
      if (e.property == change.property) toCall.push_back({e.callback, e.running});
    auto [first, last] = derived_.equal_range(change.property);
    for (auto it = first; it != last; ++it) dependents.push_back(it->second);
  }
  for (const auto& call : toCall) {
    {
      std::lock_guard lock(mutex_);
      // Removed since the list was taken: no call starts after removal.
      const bool stillThere = std::any_of(observers_.begin(), observers_.end(),
                                          [&](const Entry& e) { return e.running == call.running; });
      if (!stillThere) continue;
      call.running->push_back(self);
    }
    struct Done {
      Observable& o;
      const Call& call;
      std::thread::id self;
      ~Done() {
        std::lock_guard lock(o.mutex_);
        auto& r = *call.running;
        r.erase(std::find(r.begin(), r.end(), self));
        o.callsEnded_.notify_all();
      }
    } done{*this, call, self};
    call.callback(change);
  }
  // A derived property hears the change as its source made it: a list that
  // copies another list learns the same insertions and removals.
  for (auto& d : dependents) announce(PropertyChange{std::move(d), change.kind, change.indexes});
}

void Observable::didChange(std::string_view property) {
  announce(PropertyChange{std::string(property), PropertyChange::Kind::Setting, {}});
}

void Observable::didInsert(std::string_view property, std::vector<size_t> indexes) {
  announce(PropertyChange{std::string(property), PropertyChange::Kind::Insertion, std::move(indexes)});
}

void Observable::didRemove(std::string_view property, std::vector<size_t> indexes) {
  announce(PropertyChange{std::string(property), PropertyChange::Kind::Removal, std::move(indexes)});
}

}  // namespace valmor
