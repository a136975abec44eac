#include "sync/files/SyncRootFiles.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include "platform/LinkSafePath.h"
#include "platform/Trace.h"

#ifndef RENAME_NOREPLACE
#define RENAME_NOREPLACE (1 << 0)
#endif

namespace ulmora {
namespace {

constexpr mode_t kFolderMode = 0700;

std::string printable(std::string_view path) {
  std::string out;
  for (char c : path.substr(0, 300)) {
    auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7f) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02x", u);
      out += buf;
    } else {
      out += c;
    }
  }
  return out;
}

using linksafe::Parent;

std::optional<Parent> openParent(const std::string& root, const std::string& relative) {
  return linksafe::openParent(root, linksafe::components(relative));
}

// The names in the folder `leaf` of `dirFd` (without "." and ".."), the
// folder opened without following a link.
std::optional<std::vector<std::string>> entryNames(int dirFd, const std::string& leaf) {
  int fd = ::openat(dirFd, leaf.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  DIR* d = ::fdopendir(fd);
  if (d == nullptr) {
    ::close(fd);
    return std::nullopt;
  }
  std::vector<std::string> names;
  while (dirent* e = ::readdir(d)) {
    std::string_view name = e->d_name;
    if (name != "." && name != "..") names.emplace_back(name);
  }
  ::closedir(d);
  std::sort(names.begin(), names.end());
  return names;
}

// Empty, or holding nothing but a ".DS_Store" (then `*onlyDsStore`).
bool isEmptyFolderAt(int dirFd, const std::string& leaf, bool* onlyDsStore) {
  auto names = entryNames(dirFd, leaf);
  if (!names) return false;
  *onlyDsStore = names->size() == 1 && names->front() == ".DS_Store";
  if (*onlyDsStore) {
    struct stat st {};
    UniqueFd folder(::openat(dirFd, leaf.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!folder || ::fstatat(folder.get(), ".DS_Store", &st, AT_SYMLINK_NOFOLLOW) != 0 || S_ISDIR(st.st_mode))
      return false;
  }
  return names->empty() || *onlyDsStore;
}

bool removeTreeAt(int dirFd, const std::string& leaf, int depth) {
  if (depth > 256) return false;
  struct stat st {};
  if (::fstatat(dirFd, leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return errno == ENOENT;
  if (!S_ISDIR(st.st_mode)) return ::unlinkat(dirFd, leaf.c_str(), 0) == 0 || errno == ENOENT;
  auto names = entryNames(dirFd, leaf);
  UniqueFd folder(::openat(dirFd, leaf.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!names || !folder) return false;
  bool ok = true;
  for (const auto& name : *names) ok = removeTreeAt(folder.get(), name, depth + 1) && ok;
  return ::unlinkat(dirFd, leaf.c_str(), AT_REMOVEDIR) == 0 && ok;
}

// The folder holding an item that may be looked at (no trace for refusals).
std::optional<Parent> locate(const SyncRootFiles& files, std::string_view path, SyncRootFiles::Area area) {
  auto rel = files.checkQuietly(path, area);
  if (!rel) return std::nullopt;
  return openParent(files.rootPath().root(), *rel);
}

}  // namespace

SyncRootFiles::SyncRootFiles(std::string root, std::optional<Owner> owner)
    : root_(root), owner_(owner) {}

std::optional<std::string> SyncRootFiles::check(std::string_view path, Area area) const {
  return checkImpl(path, area, true);
}

std::optional<std::string> SyncRootFiles::checkQuietly(std::string_view path, Area area) const {
  return checkImpl(path, area, false);
}

std::optional<std::string> SyncRootFiles::checkImpl(std::string_view path, Area area, bool trace) const {
  auto refuse = [&](const char* why) -> std::optional<std::string> {
    if (trace) traceLine("SyncRootFiles refused " + printable(path) + ": " + why);
    return std::nullopt;
  };
  if (!root_.known()) return refuse("sync root unknown");
  if (path.empty()) return refuse("empty path");
  if (path.find('\0') != std::string_view::npos) return refuse("NUL byte");
  std::string relative = root_.isFullPath(path) ? root_.relative(path) : std::string(path);
  auto parts = linksafe::components(relative);
  if (parts.empty()) return refuse("the sync root itself");
  for (const auto& part : parts)
    if (part == "." || part == "..") return refuse("dot component");
  if (area == Area::kUserItems && parts.front() == kCacheFolderName) return refuse("inside the cache folder");
  std::string out;
  for (const auto& part : parts) out += "/" + part;
  return out;
}

std::optional<SyncRootFiles::Info> SyncRootFiles::info(std::string_view path, Area area) const {
  auto parent = locate(*this, path, area);
  if (!parent) return std::nullopt;
  struct stat st {};
  if (::fstatat(parent->folder.get(), parent->leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return std::nullopt;
  Info info;
  info.isFolder = S_ISDIR(st.st_mode);
  info.isSymlink = S_ISLNK(st.st_mode);
  info.size = static_cast<int64_t>(st.st_size);
  info.modified = Clock::WallTime(std::chrono::duration_cast<Clock::WallTime::duration>(
      std::chrono::seconds(st.st_mtim.tv_sec) + std::chrono::nanoseconds(st.st_mtim.tv_nsec)));
  return info;
}

std::optional<std::vector<std::string>> SyncRootFiles::list(std::string_view path, Area area) const {
  auto parent = locate(*this, path, area);
  if (!parent) return std::nullopt;
  return entryNames(parent->folder.get(), parent->leaf);
}

std::optional<std::string> SyncRootFiles::readLink(std::string_view path, Area area) const {
  auto parent = locate(*this, path, area);
  if (!parent) return std::nullopt;
  std::string buf(4096, '\0');
  ssize_t n = ::readlinkat(parent->folder.get(), parent->leaf.c_str(), buf.data(), buf.size());
  if (n < 0) return std::nullopt;
  buf.resize(static_cast<size_t>(n));
  return buf;
}

void SyncRootFiles::fixOwner(int dirFd, const std::string& leaf) const {
  if (!owner_ || ::geteuid() != 0) return;
  if (::fchownat(dirFd, leaf.c_str(), owner_->uid, owner_->gid, AT_SYMLINK_NOFOLLOW) != 0)
    traceLine("SyncRootFiles could not give " + printable(leaf) + " to the console user: " +
              std::strerror(errno));
}

std::optional<linksafe::Parent> SyncRootFiles::openParentMaking(const std::string& relative) const {
  linksafe::OpenOptions options;
  options.create = true;
  options.mode = kFolderMode;
  options.made = [this](int dirFd, const std::string& name) { fixOwner(dirFd, name); };
  return linksafe::openParent(root_.root(), linksafe::components(relative), options);
}

SyncRootFiles::MoveResult SyncRootFiles::move(std::string_view from, std::string_view to, Area fromArea,
                                              Area toArea, bool makeParents) const {
  auto relFrom = check(from, fromArea);
  auto relTo = check(to, toArea);
  if (!relFrom || !relTo) return MoveResult::kRefused;
  if (*relFrom == *relTo) return MoveResult::kTargetExists;
  if (relTo->rfind(*relFrom + "/", 0) == 0) {
    traceLine("SyncRootFiles refused moving " + printable(*relFrom) + " into itself");
    return MoveResult::kRefused;
  }
  auto src = openParent(root_.root(), *relFrom);
  if (!src) return MoveResult::kSourceMissing;
  struct stat st {};
  if (::fstatat(src->folder.get(), src->leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
    return MoveResult::kSourceMissing;
  auto dst = makeParents ? openParentMaking(*relTo) : openParent(root_.root(), *relTo);
  if (!dst) {
    traceLine("SyncRootFiles could not reach the folder of " + printable(*relTo));
    return MoveResult::kFailed;
  }
  int rc = ::renameat2(src->folder.get(), src->leaf.c_str(), dst->folder.get(), dst->leaf.c_str(), RENAME_NOREPLACE);
  if (rc != 0 && (errno == EINVAL || errno == ENOSYS) && !S_ISDIR(st.st_mode)) {
    // File systems without the flag: a hard link cannot replace either.
    rc = ::linkat(src->folder.get(), src->leaf.c_str(), dst->folder.get(), dst->leaf.c_str(), 0);
    if (rc == 0) ::unlinkat(src->folder.get(), src->leaf.c_str(), 0);
  }
  if (rc != 0) {
    if (errno == EEXIST) return MoveResult::kTargetExists;
    traceLine("SyncRootFiles could not move " + printable(*relFrom) + " to " + printable(*relTo) + ": " +
              std::strerror(errno));
    return MoveResult::kFailed;
  }
  fixOwner(dst->folder.get(), dst->leaf);
  return MoveResult::kMoved;
}

bool SyncRootFiles::makeFolders(std::string_view path, Area area) const {
  auto rel = check(path, area);
  if (!rel) return false;
  auto parent = openParentMaking(*rel);
  if (!parent) return false;
  if (::mkdirat(parent->folder.get(), parent->leaf.c_str(), kFolderMode) == 0) {
    fixOwner(parent->folder.get(), parent->leaf);
    return true;
  }
  struct stat st {};
  return errno == EEXIST && ::fstatat(parent->folder.get(), parent->leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
         S_ISDIR(st.st_mode);
}

bool SyncRootFiles::removeEmptyFolder(std::string_view path) const {
  auto rel = check(path, Area::kCacheToo);
  if (!rel) return false;
  auto parent = openParent(root_.root(), *rel);
  if (!parent) return false;
  bool dsStore = false;
  if (!isEmptyFolderAt(parent->folder.get(), parent->leaf, &dsStore)) return false;
  if (dsStore) {
    UniqueFd folder(::openat(parent->folder.get(), parent->leaf.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (folder) ::unlinkat(folder.get(), ".DS_Store", 0);
  }
  return ::unlinkat(parent->folder.get(), parent->leaf.c_str(), AT_REMOVEDIR) == 0;
}

bool SyncRootFiles::removeFromCache(std::string_view path) const {
  auto rel = check(path, Area::kCacheToo);
  if (!rel) return false;
  auto parts = linksafe::components(*rel);
  if (parts.size() < 2 || parts.front() != kCacheFolderName) {
    traceLine("SyncRootFiles refused removing " + printable(*rel) + ": not inside the cache folder");
    return false;
  }
  auto parent = openParent(root_.root(), *rel);
  if (!parent) return true;  // nothing there
  return removeTreeAt(parent->folder.get(), parent->leaf, 0);
}

}  // namespace ulmora
