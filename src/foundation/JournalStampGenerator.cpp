#include "foundation/JournalStampGenerator.h"

#include <cstdio>
#include <ctime>
#include <optional>

namespace ulmora {

namespace {

using std::chrono::duration_cast;
using std::chrono::milliseconds;

int64_t floorDiv(int64_t a, int64_t b) { return a / b - (a % b != 0 && (a < 0) != (b < 0)); }

// Milliseconds since the epoch of the local wall-clock reading of `t`, i.e.
// the local time read as if it were UTC. Names are made from this value, so
// keeping it increasing keeps the names increasing even when the local time
// goes back an hour at the end of daylight saving time.
int64_t localMillis(Clock::WallTime t) {
  int64_t utcMillis = duration_cast<milliseconds>(t.time_since_epoch()).count();
  std::time_t seconds = static_cast<std::time_t>(floorDiv(utcMillis, 1000));
  std::tm local{};
  if (!localtime_r(&seconds, &local)) return utcMillis;
  return (static_cast<int64_t>(seconds) + local.tm_gmtoff) * 1000 + (utcMillis - seconds * 1000LL);
}

// "yyyy-MM-dd HH-mm-ss-SSS" of a local-milliseconds value.
std::string formatLocalMillis(int64_t millis) {
  std::time_t seconds = static_cast<std::time_t>(floorDiv(millis, 1000));
  int ms = static_cast<int>(millis - static_cast<int64_t>(seconds) * 1000);
  std::tm fields{};
  gmtime_r(&seconds, &fields);
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d-%02d-%02d-%03d", fields.tm_year + 1900,
                fields.tm_mon + 1, fields.tm_mday, fields.tm_hour, fields.tm_min, fields.tm_sec,
                ms);
  return text;
}

// The local-milliseconds value a stamp was made from; nullopt when `stamp`
// does not begin with "yyyy-MM-dd HH-mm-ss-SSS".
std::optional<int64_t> parseLocalMillis(std::string_view stamp) {
  static constexpr std::string_view kShape = "dddd-dd-dd dd-dd-dd-ddd";
  if (stamp.size() < kShape.size()) return std::nullopt;
  for (std::size_t i = 0; i < kShape.size(); ++i) {
    bool digit = stamp[i] >= '0' && stamp[i] <= '9';
    if (digit != (kShape[i] == 'd') || (!digit && stamp[i] != kShape[i])) return std::nullopt;
  }
  auto number = [stamp](std::size_t at, std::size_t width) {
    int value = 0;
    for (std::size_t i = at; i < at + width; ++i) value = value * 10 + (stamp[i] - '0');
    return value;
  };
  std::tm fields{};
  fields.tm_year = number(0, 4) - 1900;
  fields.tm_mon = number(5, 2) - 1;
  fields.tm_mday = number(8, 2);
  fields.tm_hour = number(11, 2);
  fields.tm_min = number(14, 2);
  fields.tm_sec = number(17, 2);
  return static_cast<int64_t>(timegm(&fields)) * 1000 + number(20, 3);
}

}  // namespace

JournalStampGenerator::JournalStampGenerator(Clock& clock) : clock_(clock) {}

JournalStampGenerator& JournalStampGenerator::shared() {
  static JournalStampGenerator generator(Clock::systemClock());
  return generator;
}

std::string JournalStampGenerator::next() {
  int64_t now = localMillis(clock_.wallNow());
  MutexLock lock(mutex_);
  lastMillis_ = now > lastMillis_ ? now : lastMillis_ + 1;
  return formatLocalMillis(lastMillis_);
}

void JournalStampGenerator::keepAbove(std::string_view stamp) {
  std::optional<int64_t> millis = parseLocalMillis(stamp);
  if (!millis) return;
  MutexLock lock(mutex_);
  if (*millis > lastMillis_) lastMillis_ = *millis;
}

std::string JournalStampGenerator::format(Clock::WallTime t) {
  return formatLocalMillis(localMillis(t));
}

}  // namespace ulmora
