#pragma once

#include <cstddef>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/ThreadAnnotations.h"

namespace ulmora {

// Containers of the sync input queues. They keep arrival order (a rename
// followed by a rename of the result must reach the database in that order)
// while duplicates collapse.
//
// Thread-safety: none; each queue lives in a Guarded<> with its own lock.

// A set that remembers the order of first arrival. Each value is held
// once, in items_; the index keeps only its hash and position (queues hold
// 100,000s of paths).
template <typename T>
class OrderedSet {
 public:
  using Entry = T;
  bool add(T value) {
    const std::size_t hash = std::hash<T>{}(value);
    if (position(hash, value)) return false;
    index_.emplace(hash, items_.size());
    items_.push_back(std::move(value));
    return true;
  }
  std::vector<T> take() {
    index_.clear();
    return std::exchange(items_, {});
  }
  // Queues `older` (taken earlier) again ahead of what arrived since; a
  // value in both keeps its newer place.
  void putBack(std::vector<T> older) {
    OrderedSet kept;
    for (auto& v : older) {
      const std::size_t hash = std::hash<T>{}(v);
      if (!position(hash, v)) kept.add(std::move(v));
    }
    for (auto& v : take()) kept.add(std::move(v));
    *this = std::move(kept);
  }
  void clear() { take(); }
  bool contains(const T& value) const { return position(std::hash<T>{}(value), value); }
  std::size_t size() const { return items_.size(); }
  bool empty() const { return items_.empty(); }
  const std::vector<T>& items() const { return items_; }

 private:
  // Already a hash: used as it is.
  struct Identity {
    std::size_t operator()(std::size_t hash) const { return hash; }
  };
  bool position(std::size_t hash, const T& value) const {
    auto [it, end] = index_.equal_range(hash);
    for (; it != end; ++it)
      if (items_[it->second] == value) return true;
    return false;
  }

  std::vector<T> items_;
  std::unordered_multimap<std::size_t, std::size_t, Identity> index_;
};

// Path -> value in order of first arrival; a later value for a path wins.
class OrderedDict {
 public:
  using Entry = std::pair<std::string, std::string>;

  void merge(std::string key, std::string value) {
    const std::size_t hash = std::hash<std::string_view>{}(key);
    auto [it, end] = index_.equal_range(hash);
    for (; it != end; ++it) {
      if (items_[it->second].first == key) {
        items_[it->second].second = std::move(value);
        return;
      }
    }
    index_.emplace(hash, items_.size());
    items_.emplace_back(std::move(key), std::move(value));
  }
  // Room for `more` keys beyond those held, before a merge of many. Only a
  // merge at least as large as what is held sizes the index up front, so
  // many small merges still grow it geometrically.
  void reserve(std::size_t more) {
    std::size_t wanted = items_.size() + more;
    if (more >= items_.size() &&
        static_cast<float>(wanted) > index_.bucket_count() * index_.max_load_factor())
      index_.reserve(wanted);
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
  // Already a hash: used as it is.
  struct Identity {
    std::size_t operator()(std::size_t hash) const { return hash; }
  };

  std::vector<Entry> items_;
  // Key hash -> position in items_. Queues hold 100,000s of paths: keeping
  // each path once, in items_, halves what they allocate and free.
  std::unordered_multimap<std::size_t, std::size_t, Identity> index_;
};

// A value with its own lock, held only for the duration of `with`.
template <typename T>
class Guarded {
 public:
  template <typename F>
  auto with(F&& f) {
    MutexLock lock(mutex_);
    return f(value_);
  }
  template <typename F>
  auto with(F&& f) const {
    MutexLock lock(mutex_);
    return f(value_);
  }

 private:
  mutable Mutex mutex_;
  T value_ ULMORA_GUARDED_BY(mutex_){};
};

}  // namespace ulmora
