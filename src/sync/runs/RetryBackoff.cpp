#include "sync/runs/RetryBackoff.h"

#include <algorithm>

namespace ulmora {

Clock::Duration RetryBackoff::failed(const std::string& key, std::string payload) {
  MutexLock lock(mutex_);
  Entry& e = entries_[key];
  e.wait = e.wait == Clock::Duration::zero() ? kFirstWait : std::min(e.wait * 2, kLongestWait);
  e.due = clock_.monotonicNow() + e.wait;
  e.payload = std::move(payload);
  return e.wait;
}

void RetryBackoff::forget(const std::string& key) {
  MutexLock lock(mutex_);
  entries_.erase(key);
}

std::vector<RetryBackoff::Due> RetryBackoff::takeDue() {
  MutexLock lock(mutex_);
  const Clock::TimePoint now = clock_.monotonicNow();
  std::vector<Due> due;
  for (auto& [key, e] : entries_) {
    if (e.due > now) continue;
    due.push_back({key, e.payload});
    e.due = now + e.wait;
  }
  return due;
}

bool RetryBackoff::contains(const std::string& key) const {
  MutexLock lock(mutex_);
  return entries_.count(key) != 0;
}

bool RetryBackoff::empty() const {
  MutexLock lock(mutex_);
  return entries_.empty();
}

void RetryBackoff::clear() {
  MutexLock lock(mutex_);
  entries_.clear();
}

}  // namespace ulmora
