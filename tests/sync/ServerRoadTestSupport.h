#pragma once

#include <fcntl.h>
#include <sys/stat.h>

#include <chrono>
#include <string>

#include "foundation/QLUtility.h"
#include "platform/Clock.h"

namespace ulmora::testing {

// Sets a file's modification time (of the link itself for a link).
inline void setModified(const std::string& path, Clock::WallTime when) {
  auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(when.time_since_epoch()).count();
  struct timespec times[2];
  times[0].tv_sec = times[1].tv_sec = static_cast<time_t>(ns / 1000000000);
  times[0].tv_nsec = times[1].tv_nsec = static_cast<long>(ns % 1000000000);
  ::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW);
}

// The instant a server time text names (local time), plus `extra`.
inline Clock::WallTime serverTime(const std::string& text,
                                  std::chrono::nanoseconds extra = std::chrono::nanoseconds(0)) {
  return *QLUtility::dateFromString(text) + std::chrono::duration_cast<Clock::WallTime::duration>(extra);
}

}  // namespace ulmora::testing
