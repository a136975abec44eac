#pragma once

#include <string>
#include <string_view>

namespace ulmora {

// The one conversion between full paths and paths relative to the sync root.
//
// A path that begins with the sync root on whole components ("/h/Sync" or
// "/h/Sync/...", but not "/h/Sync2/...") is a full path. Any other path is
// relative to the root; the relative form keeps its leading "/" (journals,
// the database and the filter sets all use it). An empty root means the root
// is unknown: nothing is under it.
//
// Thread-safety: a value type.
class SyncRootPath {
 public:
  explicit SyncRootPath(std::string_view root);

  const std::string& root() const { return root_; }
  bool known() const { return !root_.empty(); }

  // The root itself (with or without trailing "/").
  bool isRoot(std::string_view path) const;
  // The root or anything below it, on whole components.
  bool isFullPath(std::string_view path) const;

  // The relative form: the root's prefix cut from a full path ("" for the
  // root itself); any other path unchanged.
  std::string relative(std::string_view path) const;
  // The full form: a full path unchanged, a relative one appended to the
  // root ("/" inserted when it lacks one). With an unknown root, unchanged.
  std::string full(std::string_view path) const;

 private:
  std::string root_;  // without trailing "/" (except the file-system root)
};

}  // namespace ulmora
