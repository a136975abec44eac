#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "journal/SyncRootPath.h"
#include "platform/Clock.h"
#include "platform/LinkSafePath.h"

namespace ulmora {

// The one door through which the sync controller changes the user's files.
//
// Every path is checked before anything is touched: a path that is empty,
// holds a NUL byte or a "." or ".." component, names the sync root itself,
// or enters the cache folder (unless the caller asks for the cache) is
// refused with a trace line. Paths may be full (under the root) or relative
// to the root; both end up strictly inside it.
//
// Symbolic links are never followed: every folder on the way is opened with
// O_NOFOLLOW from the root down, so a link planted inside the sync folder
// cannot carry an operation elsewhere; a link as the last component is
// handled as the link itself. Moves never replace anything
// (RENAME_NOREPLACE). Nothing here deletes a user's file: the only removals
// are of empty folders, and of items that are already inside the cache.
//
// Thread-safety: the object is immutable after construction; every method
// may be called from any thread. The file system itself may change between
// calls (other processes); each call is one decision on what it finds.
class SyncRootFiles {
 public:
  static constexpr std::string_view kCacheFolderName = ".UMSCache";

  enum class Area { kUserItems, kCacheToo };

  struct Owner {
    uid_t uid = 0;
    gid_t gid = 0;
  };

  struct Info {
    bool isFolder = false;
    bool isSymlink = false;
    int64_t size = 0;
    Clock::WallTime modified{};
  };

  enum class MoveResult { kMoved, kTargetExists, kSourceMissing, kRefused, kFailed };

  // `owner`: given to every item moved into place and every folder made,
  // when the agent runs as root (an unprivileged agent owns them already).
  explicit SyncRootFiles(std::string root, std::optional<Owner> owner = std::nullopt);

  const SyncRootPath& rootPath() const { return root_; }
  std::string fullPath(std::string_view path) const { return root_.full(path); }

  // The root-relative form ("/a/b", no trailing "/") of an acceptable item
  // path, or nullopt (traced) when the path is refused.
  std::optional<std::string> check(std::string_view path, Area area = Area::kUserItems) const;
  // The same without a trace line, for questions rather than operations.
  std::optional<std::string> checkQuietly(std::string_view path, Area area = Area::kUserItems) const;

  // lstat of the item; nullopt when it is missing, refused or unreachable.
  std::optional<Info> info(std::string_view path, Area area = Area::kUserItems) const;
  bool exists(std::string_view path, Area area = Area::kUserItems) const {
    return info(path, area).has_value();
  }
  // Entry names of a folder, sorted bytewise; nullopt when it is not one.
  std::optional<std::vector<std::string>> list(std::string_view path,
                                                Area area = Area::kUserItems) const;
  // The text of a symbolic link.
  std::optional<std::string> readLink(std::string_view path, Area area = Area::kUserItems) const;

  // Moves an item, never onto an existing one. With `makeParents` the
  // missing folders above `to` are made first.
  MoveResult move(std::string_view from, std::string_view to, Area fromArea, Area toArea,
                  bool makeParents) const;
  MoveResult move(std::string_view from, std::string_view to, bool makeParents = true) const {
    return move(from, to, Area::kUserItems, Area::kUserItems, makeParents);
  }

  // Makes the folder and the missing ones above it.
  bool makeFolders(std::string_view path, Area area = Area::kUserItems) const;
  // Removes a folder only when it is empty (or holds nothing but a
  // ".DS_Store" file).
  bool removeEmptyFolder(std::string_view path) const;
  // Removes an item (a whole tree for a folder) that lies inside the cache
  // folder. Refuses anything outside it.
  bool removeFromCache(std::string_view path) const;

 private:
  std::optional<std::string> checkImpl(std::string_view path, Area area, bool trace) const;
  void fixOwner(int dirFd, const std::string& leaf) const;
  // The folder holding `relative`, the missing ones on the way made (and
  // given to the owner).
  std::optional<linksafe::Parent> openParentMaking(const std::string& relative) const;

  SyncRootPath root_;
  std::optional<Owner> owner_;
};

}  // namespace ulmora
