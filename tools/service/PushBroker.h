#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace ulmora::service {

// One open subscribe poll: the messages published to its topic since it
// opened, waiting to be written to the client.
//
// Thread-safety: every method from any thread.
class Subscription {
 public:
  // A subscriber that falls this far behind is ended; its agent subscribes
  // again and lists the account anyway.
  static constexpr std::size_t kMaxQueued = 1000;

  explicit Subscription(std::string topic) : topic_(std::move(topic)) {}
  const std::string& topic() const { return topic_; }

  // The next message, waiting at most `wait`; nullopt on time-out or end.
  std::optional<std::string> next(std::chrono::milliseconds wait);
  void deliver(const std::string& message);
  void end();
  bool ended() const;

 private:
  const std::string topic_;
  mutable std::mutex mu_;
  std::condition_variable cv_;
  std::deque<std::string> queue_;
  bool ended_ = false;
};

// Topics and their open polls. Topics are compared in lower case (ASCII).
//
// Thread-safety: every method from any thread.
class PushBroker {
 public:
  // A new poll on `topic`; already ended while the broker is closed.
  std::shared_ptr<Subscription> subscribe(const std::string& topic);
  void unsubscribe(const std::shared_ptr<Subscription>& subscription);
  // Hands `message` to every open poll of `topic`; returns how many.
  std::size_t publish(const std::string& topic, const std::string& message);
  // Ends every poll, and refuses new ones until open(): lets the server
  // stop without waiting for long polls.
  void close();
  void open();
  std::size_t subscriberCount(const std::string& topic) const;

  static std::string normalizedTopic(std::string topic);

 private:
  mutable std::mutex mu_;
  bool closed_ = false;
  std::multimap<std::string, std::shared_ptr<Subscription>> byTopic_;
};

}  // namespace ulmora::service
