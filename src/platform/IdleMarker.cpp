#include "platform/IdleMarker.h"

#include <sys/stat.h>

#include "platform/FileUtil.h"
#include "platform/Trace.h"

namespace ulmora {

IdleMarker::IdleMarker(std::string markerPath, IdleProbe probe, Clock::Duration threshold)
    : path_(std::move(markerPath)), probe_(std::move(probe)), threshold_(threshold) {}

bool IdleMarker::update() {
  if (path_.empty()) return false;
  const std::optional<Clock::Duration> idleFor = probe_ ? probe_() : std::nullopt;
  const bool idle = idleFor && *idleFor >= threshold_;
  const bool present = fileutil::exists(path_);
  if (idle && !present) {
    if (!fileutil::makeDirectories(fileutil::parentPath(path_)) ||
        !fileutil::writeFileAtomically(path_, "")) {
      traceLine("idle marker: cannot write \"" + path_ + "\"");
    }
  } else if (!idle && present) {
    fileutil::removeAll(path_);
  }
  return idle;
}

std::optional<Clock::Duration> IdleMarker::terminalIdleTime(uid_t uid, const Clock& clock) {
  std::optional<Clock::WallTime> newest;
  const auto look = [&](const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0 || !S_ISCHR(st.st_mode) || st.st_uid != uid) return;
    const Clock::WallTime at{std::chrono::duration_cast<Clock::WallTime::duration>(
        std::chrono::seconds(st.st_atim.tv_sec) + std::chrono::nanoseconds(st.st_atim.tv_nsec))};
    if (!newest || at > *newest) newest = at;
  };
  for (const std::string& name : fileutil::listDirectory("/dev/pts").value_or(std::vector<std::string>{})) {
    look("/dev/pts/" + name);
  }
  for (int n = 1; n <= 12; ++n) look("/dev/tty" + std::to_string(n));
  if (!newest) return std::nullopt;
  const Clock::WallTime now = clock.wallNow();
  return now > *newest ? std::chrono::duration_cast<Clock::Duration>(now - *newest)
                       : Clock::Duration::zero();
}

}  // namespace ulmora
