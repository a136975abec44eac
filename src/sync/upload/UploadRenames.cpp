#include "sync/upload/UploadRenames.h"

#include <set>

namespace ulmora {

void UploadRenames::recordRename(const std::string& from, const std::string& to) {
  if (from.empty() || to.empty() || from == to) return;
  MutexLock lock(mutex_);
  renameDic_[from] = to;
}

std::optional<std::string> UploadRenames::followRename(
    const std::string& file, const std::function<bool(const std::string&)>& exists) {
  MutexLock lock(mutex_);
  auto it = renameDic_.find(file);
  if (it == renameDic_.end()) return std::nullopt;
  std::vector<std::string> followed{file};
  std::string current = it->second;
  size_t steps = renameDic_.size();
  while (!exists(current)) {
    auto next = renameDic_.find(current);
    if (steps == 0 || next == renameDic_.end()) return std::nullopt;
    --steps;
    followed.push_back(current);
    current = next->second;
  }
  // Only this file's chain is used up: other files of the set may have been
  // renamed too and still need their own hand-on.
  for (const auto& key : followed) renameDic_.erase(key);
  finished_.push_back(RenameEntry{file, current});
  return current;
}

std::vector<RenameEntry> UploadRenames::takeFinished() {
  MutexLock lock(mutex_);
  std::vector<RenameEntry> out;
  out.swap(finished_);
  return out;
}

std::vector<RenameEntry> UploadRenames::takeUnfollowed() {
  std::map<std::string, std::string> left;
  {
    MutexLock lock(mutex_);
    left.swap(renameDic_);
  }
  std::set<std::string> targets;
  for (const auto& [from, to] : left) targets.insert(to);
  std::vector<RenameEntry> out;
  auto chainFrom = [&](const std::string& start) {
    std::string current = left[start];
    left.erase(start);
    for (auto next = left.find(current); next != left.end(); next = left.find(current)) {
      current = next->second;
      left.erase(next);
    }
    if (current != start) out.push_back(RenameEntry{start, current});
  };
  // Chains begin at a name no other rename led to; what is left after them
  // goes round in a circle and starts anywhere.
  for (const auto& [from, to] : std::map<std::string, std::string>(left)) {
    if (!targets.count(from) && left.count(from)) chainFrom(from);
  }
  while (!left.empty()) chainFrom(left.begin()->first);
  return out;
}

void UploadRenames::clear() {
  MutexLock lock(mutex_);
  renameDic_.clear();
  finished_.clear();
}

}  // namespace ulmora
