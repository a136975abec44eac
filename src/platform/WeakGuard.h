#pragma once

#include <algorithm>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace ulmora {

// Keeps a posted task or timer callback that captures `this` from running after
// `this` is gone. Make the guard the owner's LAST member (destroyed first), and
// post guard.wrap([this] { ... }) instead of the bare lambda.
//
// Once the guard is destroyed (or invalidate() has returned), wrapped functions
// do nothing. invalidate() also waits for wrapped functions that are running on
// other threads to return, so the owner's members stay valid for them; one
// running on the calling thread (the owner deleted from inside its own task) is
// not waited for.
//
// Thread-safety: wrap() and invalidate() may be called from any thread; the
// wrapped functions may run on any thread, also after the guard is gone.
class WeakGuard {
 public:
  WeakGuard() : state_(std::make_shared<State>()) {}
  ~WeakGuard() { invalidate(); }
  WeakGuard(const WeakGuard&) = delete;
  WeakGuard& operator=(const WeakGuard&) = delete;

  void invalidate() {
    std::unique_lock<std::mutex> lock(state_->mu);
    state_->alive = false;
    const auto self = std::this_thread::get_id();
    state_->idle.wait(lock, [&] {
      return std::all_of(state_->running.begin(), state_->running.end(),
                         [&](std::thread::id id) { return id == self; });
    });
  }

  template <typename F>
  auto wrap(F f) const {
    return [state = state_, f = std::move(f)](auto&&... args) {
      Entry entry(*state);
      if (entry.entered()) f(std::forward<decltype(args)>(args)...);
    };
  }

 private:
  struct State {
    std::mutex mu;
    std::condition_variable idle;
    bool alive = true;
    std::vector<std::thread::id> running;  // one per wrapped call in progress
  };

  // Records a wrapped call for its whole duration, also when it throws.
  class Entry {
   public:
    explicit Entry(State& s) : state_(s) {
      std::lock_guard<std::mutex> hold(state_.mu);
      entered_ = state_.alive;
      if (entered_) state_.running.push_back(std::this_thread::get_id());
    }
    ~Entry() {
      if (!entered_) return;
      std::lock_guard<std::mutex> hold(state_.mu);
      auto& r = state_.running;
      r.erase(std::find(r.begin(), r.end(), std::this_thread::get_id()));
      state_.idle.notify_all();
    }
    Entry(const Entry&) = delete;
    Entry& operator=(const Entry&) = delete;
    bool entered() const { return entered_; }

   private:
    State& state_;
    bool entered_ = false;
  };

  std::shared_ptr<State> state_;
};

}  // namespace ulmora
