#include "sync/server/RecordChangeTracker.h"

#include "platform/FileUtil.h"

namespace ulmora {

RecordChangeTracker::RecordChangeTracker(std::string recIdFilePath) : path_(std::move(recIdFilePath)) {
  if (path_.empty() || path_.front() != '/') path_.clear();  // no account folder: kept in memory only
  if (path_.empty()) return;
  auto text = fileutil::readFile(path_);
  if (text && !text->empty()) localRecId_ = *text;
}

bool RecordChangeTracker::note(const std::string& rcId) {
  if (rcId.empty()) return false;
  MutexLock lock(mu_);
  if (localRecId_ == rcId) return false;
  bool relist = localRecId_.has_value();
  localRecId_ = rcId;
  if (!path_.empty()) fileutil::writeFileAtomically(path_, rcId);
  return relist;
}

std::optional<std::string> RecordChangeTracker::current() const {
  MutexLock lock(mu_);
  return localRecId_;
}

}  // namespace ulmora
