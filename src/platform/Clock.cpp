#include "platform/Clock.h"

#include <thread>

namespace ulmora {

Clock& Clock::systemClock() {
  // Never destroyed: detached threads and the main loop may still read the time
  // while static objects are being torn down at exit.
  static SystemClock* const clock = new SystemClock();
  return *clock;
}

Clock::WallTime SystemClock::wallNow() const { return std::chrono::system_clock::now(); }

Clock::TimePoint SystemClock::monotonicNow() const { return std::chrono::steady_clock::now(); }

void SystemClock::sleepFor(Duration d) {
  if (d > Duration::zero()) std::this_thread::sleep_for(d);
}

bool SystemClock::waitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
                            TimePoint deadline, const std::function<bool()>& pred) {
  // "Forever" is spelled TimePoint::max(); converting it to a timespec
  // inside wait_until would overflow.
  if (deadline == TimePoint::max()) {
    cv.wait(lock, pred);
    return true;
  }
  return cv.wait_until(lock, deadline, pred);
}

}  // namespace ulmora
