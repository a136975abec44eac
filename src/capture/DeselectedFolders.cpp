#include "capture/DeselectedFolders.h"

#include <sys/stat.h>

#include <algorithm>

#include "capture/CapturePaths.h"
#include "platform/PropertyList.h"
#include "platform/Trace.h"

namespace ulmora {

DeselectedFolders::DeselectedFolders(std::string listPath, Clock& clock)
    : listPath_(std::move(listPath)), clock_(clock) {}

void DeselectedFolders::refresh() {
  const Clock::TimePoint now = clock_.monotonicNow();
  if (checked_ && now - *checked_ < kRecheckInterval) return;
  checked_ = now;
  struct stat st;
  std::optional<int64_t> modified;
  if (!listPath_.empty() && ::stat(listPath_.c_str(), &st) == 0) {
    modified = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  }
  if (modified == modifiedNs_) return;
  modifiedNs_ = modified;
  folders_.clear();
  if (!modified) return;
  std::optional<std::vector<std::string>> folders = readList(listPath_);
  if (!folders) {
    traceLine("capture: the selective-sync list \"" + listPath_ + "\" cannot be read; nothing is left out");
    return;
  }
  folders_ = std::move(*folders);
}

std::optional<std::vector<std::string>> DeselectedFolders::readList(const std::string& listPath) {
  if (listPath.empty()) return std::nullopt;
  const std::optional<PropertyList> list = PropertyList::readFile(listPath);
  const PropertyList::Dict* dict = list ? list->asDict() : nullptr;
  if (!dict) return std::nullopt;
  std::vector<std::string> folders;
  for (const auto& [folder, value] : *dict) {
    const std::string* flag = value.asString();
    if (!flag || *flag != "0") continue;
    std::string key = capturepath::normalizedRelative(folder);
    if (!key.empty()) folders.push_back(std::move(key));
  }
  return folders;
}

bool DeselectedFolders::contains(const std::string& relativePath) {
  MutexLock lock(mutex_);
  refresh();
  return std::any_of(folders_.begin(), folders_.end(), [&](const std::string& folder) {
    return capturepath::isSameOrBelow(relativePath, folder);
  });
}

}  // namespace ulmora
