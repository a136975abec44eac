#include "platform/ManualClock.h"

#include <algorithm>
#include <vector>

namespace ulmora {

ManualClock::ManualClock(WallTime wallStart, TimePoint monotonicOrigin)
    : wall_(wallStart), mono_(monotonicOrigin) {}

ManualClock::~ManualClock() = default;

Clock::WallTime ManualClock::wallNow() const {
  std::lock_guard<std::mutex> hold(mu_);
  return wall_;
}

Clock::TimePoint ManualClock::monotonicNow() const {
  std::lock_guard<std::mutex> hold(mu_);
  return mono_;
}

void ManualClock::markBlocked(Waiter& w) {
  if (w.seenEpoch == epoch_) return;
  w.seenEpoch = epoch_;
  changed_.notify_all();
}

std::size_t ManualClock::blockedCount() const {
  return static_cast<std::size_t>(std::count_if(
      waiters_.begin(), waiters_.end(), [this](const Waiter& w) { return w.seenEpoch == epoch_; }));
}

void ManualClock::sleepFor(Duration d) {
  std::unique_lock<std::mutex> lock(mu_);
  const TimePoint deadline = mono_ + std::max(d, Duration::zero());
  auto self = waiters_.insert(waiters_.end(), Waiter{nullptr, nullptr, kNotBlocked});
  changed_.wait(lock, [&] {
    if (mono_ >= deadline) return true;
    markBlocked(*self);
    return false;
  });
  waiters_.erase(self);
  changed_.notify_all();
}

bool ManualClock::waitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
                            TimePoint deadline, const std::function<bool()>& pred) {
  if (pred()) return true;
  std::list<Waiter>::iterator self;
  {
    std::lock_guard<std::mutex> hold(mu_);
    self = waiters_.insert(waiters_.end(), Waiter{lock.mutex(), &cv, kNotBlocked});
  }
  // Registered before the first look at the time: an advance() from here on
  // has to take `lock` to notify us, which it cannot do until cv.wait()
  // has released it.
  while (!pred()) {
    {
      std::lock_guard<std::mutex> hold(mu_);
      if (mono_ >= deadline) break;
      markBlocked(*self);
    }
    cv.wait(lock);
  }
  // An advance() may be about to lock our mutex; release it while waiting for
  // that to finish, or the two of us would wait on each other.
  lock.unlock();
  {
    std::unique_lock<std::mutex> hold(mu_);
    changed_.wait(hold, [&] { return self->pins == 0; });
    waiters_.erase(self);
    changed_.notify_all();
  }
  lock.lock();
  return pred();
}

void ManualClock::advance(Duration d) {
  std::vector<Waiter*> toNotify;
  {
    std::lock_guard<std::mutex> hold(mu_);
    if (d > Duration::zero()) {
      mono_ += d;
      wall_ += std::chrono::duration_cast<WallTime::duration>(d);
    }
    ++epoch_;
    for (Waiter& w : waiters_) {
      if (w.mutex == nullptr) continue;  // sleepers wait on changed_ itself
      ++w.pins;
      toNotify.push_back(&w);
    }
    changed_.notify_all();
  }
  for (Waiter* w : toNotify) {
    {
      std::lock_guard<std::mutex> waiterLock(*w->mutex);
      w->cv->notify_all();
    }
    std::lock_guard<std::mutex> hold(mu_);
    --w->pins;
    changed_.notify_all();
  }
}

void ManualClock::setWallTime(WallTime t) {
  std::lock_guard<std::mutex> hold(mu_);
  wall_ = t;
}

bool ManualClock::awaitBlockedThreads(std::size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(mu_);
  return changed_.wait_for(lock, timeout, [&] { return blockedCount() >= count; });
}

}  // namespace ulmora
