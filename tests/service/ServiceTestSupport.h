#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "WaitUntil.h"
#include "engine/User.h"

namespace ulmora::testing {

inline User storageUser(const std::string& storage, const std::string& name = "alice") {
  User user;
  user.setUserName(name);
  user.setPassword("secret");
  user.setKVTServerIP(storage);
  return user;
}

// The calls a delegate received, in order, with the thread each came on.
class CallLog {
 public:
  struct Call {
    std::string name;
    std::string text;
    std::thread::id thread;
  };

  void add(std::string name, std::string text = {}) {
    std::lock_guard<std::mutex> lock(mu_);
    calls_.push_back({std::move(name), std::move(text), std::this_thread::get_id()});
    cv_.notify_all();
  }
  std::vector<Call> calls() const {
    std::lock_guard<std::mutex> lock(mu_);
    return calls_;
  }
  std::vector<std::string> names() const {
    std::vector<std::string> out;
    for (const Call& c : calls()) out.push_back(c.name);
    return out;
  }
  std::vector<std::string> texts(const std::string& name) const {
    std::vector<std::string> out;
    for (const Call& c : calls())
      if (c.name == name) out.push_back(c.text);
    return out;
  }
  int count(const std::string& name) const {
    auto n = names();
    return static_cast<int>(std::count(n.begin(), n.end(), name));
  }
  void clear() {
    std::lock_guard<std::mutex> lock(mu_);
    calls_.clear();
  }
  // Waits (real time, bounded) until a call named `name` has arrived.
  bool waitFor(const std::string& name, std::chrono::seconds limit = std::chrono::seconds(60)) {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, limit, [&] {
      return std::any_of(calls_.begin(), calls_.end(), [&](const Call& c) { return c.name == name; });
    });
  }

 private:
  mutable std::mutex mu_;
  std::condition_variable cv_;
  std::vector<Call> calls_;
};

// Waits with short real-time pauses until `pred` holds, for state no report
// announces (the engine's output having been read).
inline bool eventuallyTrue(const std::function<bool()>& pred,
                           std::chrono::seconds limit = std::chrono::seconds(60)) {
  return waitUntil(pred, limit, std::chrono::milliseconds(5));
}

}  // namespace ulmora::testing
