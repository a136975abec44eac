#include "sync/CacheSweep.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cstdio>
#include <ctime>

#include "foundation/QLBackupProgressLogger.h"
#include "platform/FileUtil.h"

namespace ulmora::cachesweep {

int64_t wholeDaysBetween(Clock::WallTime from, Clock::WallTime to) {
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(to - from).count();
  return seconds / 86400;
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

bool sweep(const std::string& cacheFolder, Clock::WallTime now) {
  return sweep(cacheFolder, now, [](const std::string& path) { return fileutil::removeAll(path); });
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
