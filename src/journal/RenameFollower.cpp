#include "journal/RenameFollower.h"

#include <algorithm>

namespace ulmora {
namespace {

std::string_view trimmed(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  return path;
}

}  // namespace

RenameFollower::RenameFollower(const std::vector<RenameEntry>& renames) {
  for (const RenameEntry& r : renames) {
    std::string from(trimmed(r.originalPath));
    std::string to(trimmed(r.renamedPath));
    if (from.empty() || to.empty() || from == to) continue;
    byOldPath_[from].push_back(renames_.size());
    renames_.push_back({std::move(from), std::move(to)});
  }
}

std::optional<std::string> RenameFollower::follow(std::string_view path) const {
  if (byOldPath_.empty()) return std::nullopt;
  std::string current(trimmed(path));
  bool moved = false;
  std::size_t next = 0;  // renames before this one are behind the path already
  for (;;) {
    // The earliest rename still ahead that names the path or a folder above it.
    std::optional<std::size_t> earliest;
    std::size_t prefixLength = 0;
    for (std::size_t end = current.size(); end != std::string::npos && end > 0;
         end = current.rfind('/', end - 1)) {
      auto it = byOldPath_.find(current.substr(0, end));
      if (it == byOldPath_.end()) continue;
      auto pos = std::lower_bound(it->second.begin(), it->second.end(), next);
      if (pos != it->second.end() && (!earliest || *pos < *earliest)) {
        earliest = *pos;
        prefixLength = end;
      }
    }
    if (!earliest) break;
    current = renames_[*earliest].renamedPath + current.substr(prefixLength);
    moved = true;
    next = *earliest + 1;
  }
  if (!moved) return std::nullopt;
  return current;
}

}  // namespace ulmora
