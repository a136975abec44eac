#pragma once

#include <cstddef>
#include <mutex>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace ulmora {

// Containers of the sync input queues. They keep arrival order (a rename
// followed by a rename of the result must reach the database in that order)
// while duplicates collapse.
//
// Thread-safety: none; each queue lives in a Guarded<> with its own lock.

// A set that remembers the order of first arrival.
template <typename T>
class OrderedSet {
 public:
  bool add(T value) {
    if (!seen_.insert(value).second) return false;
    items_.push_back(std::move(value));
    return true;
  }
  std::vector<T> take() {
    seen_.clear();
    return std::exchange(items_, {});
  }
  // Queues `older` (taken earlier) again ahead of what arrived since.
  void putBack(std::vector<T> older) {
    std::vector<T> merged;
    merged.reserve(older.size() + items_.size());
    for (auto& v : older)
      if (seen_.insert(v).second) merged.push_back(std::move(v));
    for (auto& v : items_) merged.push_back(std::move(v));
    items_ = std::move(merged);
  }
  void clear() { take(); }
  std::size_t size() const { return items_.size(); }
  bool empty() const { return items_.empty(); }
  const std::vector<T>& items() const { return items_; }

 private:
  std::vector<T> items_;
  std::set<T> seen_;
};

// Path -> value in order of first arrival; a later value for a path wins.
class OrderedDict {
 public:
  using Entry = std::pair<std::string, std::string>;

  void merge(std::string key, std::string value) {
    auto [it, fresh] = index_.try_emplace(key, items_.size());
    if (fresh)
      items_.emplace_back(std::move(key), std::move(value));
    else
      items_[it->second].second = std::move(value);
  }
  std::vector<Entry> take() {
    index_.clear();
    return std::exchange(items_, {});
  }
  // Queues `older` again ahead of what arrived since; values that arrived
  // since win.
  void putBack(std::vector<Entry> older) {
    std::vector<Entry> current = take();
    for (auto& [k, v] : older) merge(std::move(k), std::move(v));
    for (auto& [k, v] : current) merge(std::move(k), std::move(v));
  }
  void clear() { take(); }
  std::size_t size() const { return items_.size(); }
  bool empty() const { return items_.empty(); }
  const std::vector<Entry>& items() const { return items_; }

 private:
  std::vector<Entry> items_;
  std::unordered_map<std::string, std::size_t> index_;
};

// A value with its own lock, held only for the duration of `with`.
template <typename T>
class Guarded {
 public:
  template <typename F>
  auto with(F&& f) {
    std::lock_guard<std::mutex> lock(mutex_);
    return f(value_);
  }
  template <typename F>
  auto with(F&& f) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return f(value_);
  }

 private:
  mutable std::mutex mutex_;
  T value_{};
};

}  // namespace ulmora
