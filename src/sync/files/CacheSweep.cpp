#include "sync/files/CacheSweep.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cstdio>
#include <ctime>

#include "foundation/QLBackupProgressLogger.h"
#include "platform/FileUtil.h"

namespace ulmora::cachesweep {

namespace {

// A wall time as a local calendar day and the time within that day.
struct LocalDay {
  std::chrono::sys_days day;
  Clock::WallTime::duration timeOfDay;
};

LocalDay localDay(Clock::WallTime t) {
  const auto seconds = std::chrono::floor<std::chrono::seconds>(t);
  const std::time_t whole = std::chrono::system_clock::to_time_t(seconds);
  std::tm tm{};
  localtime_r(&whole, &tm);
  const std::chrono::year_month_day ymd{std::chrono::year(tm.tm_year + 1900),
                                        std::chrono::month(static_cast<unsigned>(tm.tm_mon + 1)),
                                        std::chrono::day(static_cast<unsigned>(tm.tm_mday))};
  const auto clockTime = std::chrono::hours(tm.tm_hour) + std::chrono::minutes(tm.tm_min) +
                         std::chrono::seconds(tm.tm_sec);
  return {std::chrono::sys_days(ymd),
          std::chrono::duration_cast<Clock::WallTime::duration>(clockTime) + (t - seconds)};
}

}  // namespace

// Counted on the local calendar, so a day that a daylight-saving change makes
// 23 or 25 hours long still counts as one.
int64_t wholeDaysBetween(Clock::WallTime from, Clock::WallTime to) {
  if (to < from) return -wholeDaysBetween(to, from);
  const LocalDay a = localDay(from);
  const LocalDay b = localDay(to);
  int64_t days = (b.day - a.day).count();
  if (days > 0 && b.timeOfDay < a.timeOfDay) --days;
  return days;
}

std::optional<Clock::WallTime> dateFromDayFolderName(const std::string& name) {
  int y = 0, m = 0, d = 0;
  char tail = 0;
  if (name.size() != 10 || std::sscanf(name.c_str(), "%4d-%2d-%2d%c", &y, &m, &d, &tail) != 3) {
    return std::nullopt;
  }
  if (m < 1 || m > 12 || d < 1 || d > 31 || name[4] != '-' || name[7] != '-') return std::nullopt;
  std::tm tm{};
  tm.tm_year = y - 1900;
  tm.tm_mon = m - 1;
  tm.tm_mday = d;
  tm.tm_isdst = -1;
  const std::time_t t = std::mktime(&tm);
  if (t == static_cast<std::time_t>(-1)) return std::nullopt;
  return std::chrono::system_clock::from_time_t(t);
}

std::optional<Clock::WallTime> creationDate(const std::string& path) {
  struct statx sx {};
  if (statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BTIME | STATX_MTIME, &sx) != 0) {
    return std::nullopt;
  }
  const auto at = [](const statx_timestamp& ts) {
    return Clock::WallTime(std::chrono::duration_cast<Clock::WallTime::duration>(
        std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec)));
  };
  if ((sx.stx_mask & STATX_BTIME) != 0) return at(sx.stx_btime);
  if (auto day = dateFromDayFolderName(fileutil::lastComponent(path))) return day;
  return at(sx.stx_mtime);
}

bool isSweepable(const std::string& name) {
  return !name.empty() && name != ".DS_Store" && name != "ConflictData";
}

bool sweep(const std::string& cacheFolder, Clock::WallTime now, const Remover& remove) {
  bool removed = false;
  const std::optional<std::vector<std::string>> names = fileutil::listDirectory(cacheFolder);
  if (!names) return false;
  for (const std::string& name : *names) {
    daemonTrace("cachedFolderName:" + name);
    if (!isSweepable(name)) continue;
    const std::string path = fileutil::joinPath(cacheFolder, name);
    const std::optional<Clock::WallTime> created = creationDate(path);
    if (!created || wholeDaysBetween(*created, now) < kKeepDays) continue;
    if (remove(path)) {
      removed = true;
    } else {
      daemonTrace("the cache entry \"" + path + "\" could not be removed");
    }
  }
  return removed;
}

}  // namespace ulmora::cachesweep
