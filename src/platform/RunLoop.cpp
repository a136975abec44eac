#include "platform/RunLoop.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <exception>
#include <map>
#include <string>
#include <utility>

#include "platform/Trace.h"

namespace ulmora {

namespace {

constexpr Clock::Duration kMinTimerInterval = std::chrono::milliseconds(1);

thread_local RunLoop* tlsCurrent = nullptr;
thread_local std::unique_ptr<RunLoop> tlsOwnLoop;

std::mutex& mainLoopMutex() {
  static std::mutex mu;
  return mu;
}
RunLoop* mainLoopOverride = nullptr;  // guarded by mainLoopMutex()

template <typename F>
void runCatching(const char* what, F&& f) {
  try {
    f();
  } catch (const std::exception& e) {
    traceLine(std::string("RunLoop: ") + what + " threw: " + e.what());
  } catch (...) {
    traceLine(std::string("RunLoop: ") + what + " threw a non-standard exception");
  }
}

// Makes a loop the thread's current one while it runs.
class ScopedCurrent {
 public:
  explicit ScopedCurrent(RunLoop* loop) : saved_(tlsCurrent) { tlsCurrent = loop; }
  ~ScopedCurrent() { tlsCurrent = saved_; }
  ScopedCurrent(const ScopedCurrent&) = delete;
  ScopedCurrent& operator=(const ScopedCurrent&) = delete;

 private:
  RunLoop* saved_;
};

}  // namespace

// ---- RunLoopTimer ----

RunLoopTimer::RunLoopTimer(Key, Clock::Duration interval, bool repeats, Callback callback)
    : interval_(std::max(interval, kMinTimerInterval)),
      repeats_(repeats),
      callback_(std::move(callback)) {}

void RunLoopTimer::invalidate() {
  Callback released;  // destroyed after the lock, in case its captures call back in
  std::unique_lock<std::mutex> lock(mu_);
  valid_ = false;
  released = std::move(callback_);
  callback_ = nullptr;
  const auto self = std::this_thread::get_id();
  idle_.wait(lock, [&] { return !firingOn_ || *firingOn_ == self; });
}

bool RunLoopTimer::isValid() const {
  std::lock_guard<std::mutex> hold(mu_);
  return valid_;
}

bool RunLoopTimer::fire() {
  Callback callback;
  {
    std::lock_guard<std::mutex> hold(mu_);
    if (!valid_ || !callback_) return false;
    // Moved out so that invalidate() from inside the callback does not
    // destroy the function that is running.
    callback = std::move(callback_);
    callback_ = nullptr;
    firingOn_ = std::this_thread::get_id();
  }
  runCatching("timer", [&] { callback(*this); });
  std::lock_guard<std::mutex> hold(mu_);
  firingOn_.reset();
  idle_.notify_all();
  if (valid_ && repeats_) {
    callback_ = std::move(callback);
    return true;
  }
  valid_ = false;
  return false;
}

// ---- RunLoop::Core ----

struct RunLoop::Core {
  struct Item {
    Task task;
    std::shared_ptr<RunLoopTimer> timer;
  };
  // Due time, then order of posting.
  using Key = std::pair<Clock::TimePoint, std::uint64_t>;

  explicit Core(Clock& c) : clock(c), owner(::gettid()) {}

  bool enqueue(Clock::TimePoint due, Item item) {
    std::lock_guard<std::mutex> hold(mu);
    if (closed) return false;
    queue.emplace(Key{due, nextSeq++}, std::move(item));
    ++generation;
    cv.notify_all();
    return true;
  }

  bool postDelayed(Task task, Clock::Duration delay) {
    if (!task) return false;
    const Clock::TimePoint due = clock.monotonicNow() + std::max(delay, Clock::Duration::zero());
    return enqueue(due, Item{std::move(task), nullptr});
  }

  void requestStop() {
    std::lock_guard<std::mutex> hold(mu);
    stopRequested = true;
    ++generation;
    cv.notify_all();
  }

  void runItem(Clock::TimePoint due, Item& item) {
    if (!item.timer) {
      runCatching("task", item.task);
      return;
    }
    if (!item.timer->fire()) return;
    // Stay on the timer's schedule, skipping periods that have already passed.
    const Clock::Duration interval = item.timer->interval();
    const Clock::TimePoint now = clock.monotonicNow();
    Clock::TimePoint next = due + interval;
    if (next <= now) next += interval * ((now - next) / interval + 1);
    if (!enqueue(next, Item{nullptr, item.timer})) item.timer->invalidate();
  }

  Clock& clock;
  std::mutex mu;
  std::condition_variable cv;
  std::map<Key, Item> queue;    // guarded by mu
  std::uint64_t nextSeq = 0;    // guarded by mu
  // Bumped by every post and stop so that a waiting loop looks again.
  std::uint64_t generation = 0;  // guarded by mu
  bool stopRequested = false;    // guarded by mu
  bool closed = false;           // guarded by mu; the RunLoop is gone
  // The thread in run*() (0: none), and the one that made or last ran it.
  std::atomic<pid_t> runner{0};
  std::atomic<pid_t> owner;
};

// ---- RunLoop ----

RunLoop::RunLoop(Clock& clock) : core_(std::make_shared<Core>(clock)) {}

RunLoop::~RunLoop() {
  std::map<Core::Key, Core::Item> dropped;
  {
    std::lock_guard<std::mutex> hold(core_->mu);
    core_->closed = true;
    dropped.swap(core_->queue);
  }
  for (auto& entry : dropped) {
    if (entry.second.timer) entry.second.timer->invalidate();
  }
  if (tlsCurrent == this) tlsCurrent = nullptr;
  std::lock_guard<std::mutex> hold(mainLoopMutex());
  if (mainLoopOverride == this) mainLoopOverride = nullptr;
}

Clock& RunLoop::clock() const { return core_->clock; }

void RunLoop::post(Task task) { core_->postDelayed(std::move(task), Clock::Duration::zero()); }

void RunLoop::postDelayed(Task task, Clock::Duration delay) {
  core_->postDelayed(std::move(task), delay);
}

std::shared_ptr<RunLoopTimer> RunLoop::scheduleTimer(Clock::Duration interval, bool repeats,
                                                     RunLoopTimer::Callback callback) {
  auto timer = std::make_shared<RunLoopTimer>(RunLoopTimer::Key{}, interval, repeats,
                                              std::move(callback));
  core_->enqueue(clock().monotonicNow() + timer->interval(), Core::Item{nullptr, timer});
  return timer;
}

void RunLoop::run() { runUntil(std::nullopt, true); }

void RunLoop::runFor(Clock::Duration d) {
  runUntil(clock().monotonicNow() + std::max(d, Clock::Duration::zero()), true);
}

void RunLoop::runUntilIdle() { runUntil(std::nullopt, false); }

void RunLoop::stop() { core_->requestStop(); }

RunLoop::Handle RunLoop::handle() const { return Handle(core_); }

// Marks the calling thread as the one running the loop, for isCurrent();
// a nested run on the same thread restores the outer mark.
class RunLoop::ScopedRunner {
 public:
  explicit ScopedRunner(Core& core) : core_(core), saved_(core.runner.exchange(::gettid())) {
    core_.owner = ::gettid();
  }
  ~ScopedRunner() { core_.runner = saved_; }
  ScopedRunner(const ScopedRunner&) = delete;
  ScopedRunner& operator=(const ScopedRunner&) = delete;

 private:
  Core& core_;
  const pid_t saved_;
};

namespace {
template <class Core>
bool ownedByCallingThread(const Core& core) {
  const pid_t self = ::gettid();
  const pid_t runner = core.runner.load();
  if (runner != 0) return runner == self;
  return core.owner.load() == self;
}
}  // namespace

bool RunLoop::isCurrent() const {
  if (tlsCurrent == this) return true;
  return ownedByCallingThread(*core_);
}

void RunLoop::runUntil(std::optional<Clock::TimePoint> end, bool waitForWork) {
  Core& core = *core_;
  ScopedCurrent bind(this);
  ScopedRunner mark(core);
  std::unique_lock<std::mutex> lock(core.mu);
  while (true) {
    if (core.stopRequested) {
      core.stopRequested = false;
      return;
    }
    const Clock::TimePoint now = core.clock.monotonicNow();
    const Clock::TimePoint limit = end ? std::min(now, *end) : now;
    if (!core.queue.empty() && core.queue.begin()->first.first <= limit) {
      {
        // Extracted node: the task's captures are released outside the lock.
        auto node = core.queue.extract(core.queue.begin());
        lock.unlock();
        core.runItem(node.key().first, node.mapped());
      }
      lock.lock();
      continue;
    }
    if (!waitForWork || (end && now >= *end)) return;
    Clock::TimePoint deadline = end.value_or(Clock::TimePoint::max());
    if (!core.queue.empty()) deadline = std::min(deadline, core.queue.begin()->first.first);
    const std::uint64_t seen = core.generation;
    core.clock.waitUntil(lock, core.cv, deadline, [&] { return core.generation != seen; });
  }
}

RunLoop& RunLoop::current() {
  if (tlsCurrent != nullptr) return *tlsCurrent;
  if (::gettid() == ::getpid()) return main();
  if (!tlsOwnLoop) tlsOwnLoop = std::make_unique<RunLoop>();
  return *tlsOwnLoop;
}

void RunLoop::setCurrent(RunLoop* loop) { tlsCurrent = loop; }

RunLoop& RunLoop::main() {
  std::lock_guard<std::mutex> hold(mainLoopMutex());
  if (mainLoopOverride != nullptr) return *mainLoopOverride;
  // Never destroyed: threads may still post to it while statics are torn down.
  static RunLoop* const defaultMain = [] {
    auto* loop = new RunLoop();
    loop->core_->owner = ::getpid();  // the process's main thread runs it
    return loop;
  }();
  return *defaultMain;
}

void RunLoop::setMainForTesting(RunLoop* loop) {
  std::lock_guard<std::mutex> hold(mainLoopMutex());
  mainLoopOverride = loop;
}

// ---- RunLoop::Handle ----

bool RunLoop::Handle::post(Task task) const { return postDelayed(std::move(task), {}); }

bool RunLoop::Handle::postDelayed(Task task, Clock::Duration delay) const {
  const std::shared_ptr<Core> core = core_.lock();
  return core && core->postDelayed(std::move(task), delay);
}

std::optional<bool> RunLoop::Handle::isCurrent() const {
  const std::shared_ptr<Core> core = core_.lock();
  if (!core) return std::nullopt;
  if (tlsCurrent != nullptr && tlsCurrent->core_ == core) return true;
  return ownedByCallingThread(*core);
}

void RunLoop::Handle::stop() const {
  if (const std::shared_ptr<Core> core = core_.lock()) core->requestStop();
}

}  // namespace ulmora
