#include "platform/observable.h"

#include <algorithm>

namespace valmor {

Observable::Token Observable::addObserver(std::string property, Callback callback) {
  std::lock_guard lock(mutex_);
  const Token t = next_++;
  observers_.push_back({t, std::move(property), std::move(callback)});
  return t;
}

void Observable::removeObserver(Token token) {
  std::lock_guard lock(mutex_);
  std::erase_if(observers_, [token](const Entry& e) { return e.token == token; });
}

void Observable::declareDependency(std::string derived, std::string source) {
  std::lock_guard lock(mutex_);
  derived_.emplace(std::move(source), std::move(derived));
}

void Observable::announce(const PropertyChange& change) {
  std::vector<Callback> toCall;
  std::vector<std::string> dependents;
  {
    std::lock_guard lock(mutex_);
    for (const auto& e : observers_)
      if (e.property == change.property) toCall.push_back(e.callback);
    auto [first, last] = derived_.equal_range(change.property);
    for (auto it = first; it != last; ++it) dependents.push_back(it->second);
  }
  for (const auto& cb : toCall) cb(change);
  for (auto& d : dependents) announce(PropertyChange{std::move(d), PropertyChange::Kind::Setting, {}});
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
