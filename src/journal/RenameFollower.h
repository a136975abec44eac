#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "journal/RenameEntry.h"

namespace ulmora {

// Where a path queued before a run of renames stands after them: the
// renames apply in their order, each to the item it names and to everything
// below it, on whole components ("/a/b" -> "/c" moves "/a/b/f" to "/c/f",
// never "/a/bc"). A queued upload follows the item it was queued for, so a
// file saved under a temporary name and renamed before its list is written
// is uploaded under the name it has.
//
// Paths are compared as given (use one form for both sides); a trailing "/"
// is ignored.
//
// Thread-safety: a value type; follow() is const.
class RenameFollower {
 public:
  explicit RenameFollower(const std::vector<RenameEntry>& renames);

  bool empty() const { return byOldPath_.empty(); }
  // The path after the renames; nullopt when none of them touches it.
  std::optional<std::string> follow(std::string_view path) const;

 private:
  std::vector<RenameEntry> renames_;  // trailing "/" removed
  // Old path -> the positions in renames_ that move it, ascending.
  std::unordered_map<std::string, std::vector<std::size_t>> byOldPath_;
};

}  // namespace ulmora
