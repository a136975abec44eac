#include "PushBroker.h"

namespace ulmora::service {

std::optional<std::string> Subscription::next(std::chrono::milliseconds wait) {
  std::unique_lock<std::mutex> lock(mu_);
  cv_.wait_for(lock, wait, [this] { return ended_ || !queue_.empty(); });
  if (queue_.empty()) return std::nullopt;
  std::string message = std::move(queue_.front());
  queue_.pop_front();
  return message;
}

void Subscription::deliver(const std::string& message) {
  std::lock_guard<std::mutex> lock(mu_);
  if (ended_) return;
  if (queue_.size() >= kMaxQueued) {
    ended_ = true;
  } else {
    queue_.push_back(message);
  }
  cv_.notify_all();
}

void Subscription::end() {
  std::lock_guard<std::mutex> lock(mu_);
  ended_ = true;
  cv_.notify_all();
}

bool Subscription::ended() const {
  std::lock_guard<std::mutex> lock(mu_);
  return ended_;
}

std::string PushBroker::normalizedTopic(std::string topic) {
  for (char& c : topic) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return topic;
}

std::shared_ptr<Subscription> PushBroker::subscribe(const std::string& topic) {
  auto subscription = std::make_shared<Subscription>(normalizedTopic(topic));
  std::lock_guard<std::mutex> lock(mu_);
  if (closed_) {
    subscription->end();
  } else {
    byTopic_.emplace(subscription->topic(), subscription);
  }
  return subscription;
}

void PushBroker::unsubscribe(const std::shared_ptr<Subscription>& subscription) {
  std::lock_guard<std::mutex> lock(mu_);
  auto [first, last] = byTopic_.equal_range(subscription->topic());
  for (auto it = first; it != last; ++it) {
    if (it->second == subscription) {
      byTopic_.erase(it);
      return;
    }
  }
}

std::size_t PushBroker::publish(const std::string& topic, const std::string& message) {
  std::vector<std::shared_ptr<Subscription>> receivers;
  {
    std::lock_guard<std::mutex> lock(mu_);
    auto [first, last] = byTopic_.equal_range(normalizedTopic(topic));
    for (auto it = first; it != last; ++it) receivers.push_back(it->second);
  }
  for (const auto& receiver : receivers) receiver->deliver(message);
  return receivers.size();
}

void PushBroker::close() {
  std::multimap<std::string, std::shared_ptr<Subscription>> ending;
  {
    std::lock_guard<std::mutex> lock(mu_);
    closed_ = true;
    ending.swap(byTopic_);
  }
  for (auto& [topic, subscription] : ending) subscription->end();
}

void PushBroker::open() {
  std::lock_guard<std::mutex> lock(mu_);
  closed_ = false;
}

std::size_t PushBroker::subscriberCount(const std::string& topic) const {
  std::lock_guard<std::mutex> lock(mu_);
  return byTopic_.count(normalizedTopic(topic));
}

}  // namespace ulmora::service
