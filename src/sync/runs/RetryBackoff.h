#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/ThreadAnnotations.h"

#include "platform/Clock.h"

namespace ulmora {

// Items whose transfer failed for a reason that may pass (a full disk, a
// refused permission, a service that did not answer), tried again later:
// first after kFirstWait, each further failure doubling the wait up to
// kLongestWait, until the item succeeds or is forgotten.
//
// An item handed out for a try waits its current wait again unless a
// failure or a success is reported for it, so a try that ends unreported
// (a cancelled run) is made again rather than lost.
//
// Thread-safety: every method may be called from any thread.
class RetryBackoff {
 public:
  static constexpr Clock::Duration kFirstWait = std::chrono::seconds(30);
  static constexpr Clock::Duration kLongestWait = std::chrono::minutes(15);

  struct Due {
    std::string key;
    std::string payload;
  };

  explicit RetryBackoff(Clock& clock) : clock_(clock) {}

  // `key` failed (again); `payload` is kept with it. Returns the wait before
  // its next try.
  Clock::Duration failed(const std::string& key, std::string payload = {});
  // `key` succeeded, or is no longer to be tried.
  void forget(const std::string& key);
  // The items whose wait is over, in key order.
  std::vector<Due> takeDue();
  bool contains(const std::string& key) const;
  bool empty() const;
  void clear();

 private:
  struct Entry {
    std::string payload;
    Clock::Duration wait{};
    Clock::TimePoint due{};
  };

  Clock& clock_;
  mutable Mutex mutex_;
  std::map<std::string, Entry> entries_ ULMORA_GUARDED_BY(mutex_);
};

}  // namespace ulmora
