#include "platform/Clock.h"

#include <cmath>
#include <ctime>
#include <cstdlib>
#include <thread>

namespace ulmora {

namespace {
constexpr double kMaxTimeScale = 1000.0;
}

double Clock::parseTimeScale(const char* text) {
  if (text == nullptr || *text == '\0') return 1.0;
  char* end = nullptr;
  const double v = std::strtod(text, &end);
  if (end == text || *end != '\0' || !std::isfinite(v) || v <= 1.0) return 1.0;
  return std::min(v, kMaxTimeScale);
}

Clock& Clock::systemClock() {
  // Never destroyed: detached threads and the main loop may still read the time
  // while static objects are being torn down at exit.
  static SystemClock* const clock = new SystemClock(parseTimeScale(std::getenv("ULMORA_TIME_SCALE")));
  return *clock;
}

Clock& Clock::realClock() {
  static SystemClock* const clock = new SystemClock();
  return *clock;
}

double Clock::timeScale() { return static_cast<SystemClock&>(systemClock()).scale(); }

SystemClock::SystemClock(double scale)
    : scale_(scale > 1.0 ? scale : 1.0), origin_(std::chrono::steady_clock::now()) {}

Clock::WallTime SystemClock::wallNow() const { return std::chrono::system_clock::now(); }

Clock::TimePoint SystemClock::monotonicNow() const {
  const TimePoint now = std::chrono::steady_clock::now();
  if (scale_ == 1.0) return now;
  const auto elapsed = static_cast<long double>((now - origin_).count()) * scale_;
  return origin_ + Duration(static_cast<Duration::rep>(elapsed));
}

Clock::Duration SystemClock::toRealDuration(Duration d) const {
  if (scale_ == 1.0 || d <= Duration::zero()) return d;
  // Rounded up: a wait must never end before its time.
  return Duration(static_cast<Duration::rep>(std::ceil(static_cast<long double>(d.count()) / scale_)));
}

Clock::TimePoint SystemClock::toRealTime(TimePoint t) const {
  if (scale_ == 1.0) return t;
  return origin_ + toRealDuration(t - origin_);
}

void SystemClock::sleepFor(Duration d) {
  if (d > Duration::zero()) std::this_thread::sleep_for(toRealDuration(d));
}

bool SystemClock::waitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
                            TimePoint deadline, const std::function<bool()>& pred) {
  // "Forever" is spelled TimePoint::max(); converting it to a timespec
  // inside wait_until would overflow.
  if (deadline == TimePoint::max()) {
    cv.wait(lock, pred);
    return true;
  }
  return cv.wait_until(lock, toRealTime(deadline), pred);
}

std::string formatLocalTime(Clock::WallTime when, const char* format) {
  const std::time_t t = std::chrono::system_clock::to_time_t(when);
  std::tm tm{};
  localtime_r(&t, &tm);
  char text[64];
  const std::size_t n = std::strftime(text, sizeof text, format, &tm);
  return std::string(text, n);
}

}  // namespace ulmora
