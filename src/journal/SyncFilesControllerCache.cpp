// Items moved to the Trash are recorded in the day's cache folder as symbolic
// links into the Trash, so the sync can still find what the user removed.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <set>
#include <system_error>
#include <utility>

#include "foundation/JournalStampGenerator.h"
#include "foundation/QLBackupProgressLogger.h"
#include "journal/SyncFilesController.h"
#include "journal/SyncFilesHost.h"
#include "platform/LinkSafePath.h"

namespace ulmora {
namespace {

void traceErrno(const std::string& what, const std::string& path, int err) {
  daemonTrace("SyncFilesController: " + what + " '" + path + "' failed: " + std::strerror(err));
}

// Makes `leaf` in `folder` a symlink to `target`. Whatever is already there
// stays: a link from an earlier trashing that day still leads to that copy,
// which a later trashing of the same path must not take away.
bool placeLink(int folder, const std::string& leaf, const std::string& target,
               const std::string& shownPath) {
  if (::symlinkat(target.c_str(), folder, leaf.c_str()) == 0) return true;
  if (errno == EEXIST) {
    daemonTrace("SyncFilesController: cache link not made, an item of that name is there: " +
                shownPath);
    return false;
  }
  traceErrno("making cache link", shownPath, errno);
  return false;
}

std::string withoutTrailingSlashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

bool isDotOrDotDot(const char* name) {
  return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

}  // namespace

std::string SyncFilesController::today() const {
  return JournalStampGenerator::format(clock_.wallNow()).substr(0, 10);
}

bool SyncFilesController::linkIntoCache(const std::string& root, const std::string& day,
                                        const std::string& itemPath,
                                        const std::string& target) const {
  SyncRootPath syncRootPath(root);
  auto parts = linksafe::plainComponents(syncRootPath.relative(itemPath));
  if (!parts) {
    daemonTrace("SyncFilesController: no cache link for '" + itemPath + "'");
    return false;
  }
  std::string shown = root + "/" + std::string(kCacheFolderName) + "/" + day +
                      syncRootPath.relative(itemPath);
  // A link left in the cache by an earlier trashing must not lead the new
  // link out of the cache: no folder below the root is followed.
  std::vector<std::string> where{std::string(kCacheFolderName), day};
  where.insert(where.end(), parts->begin(), parts->end());
  linksafe::OpenOptions options;
  options.create = true;
  auto parent = linksafe::openParent(root, where, options);
  if (!parent) {
    traceErrno("opening the cache folders for", shown, errno);
    return false;
  }
  return placeLink(parent->folder.get(), parent->leaf, target, shown);
}

SyncFilesController::CacheMoveResult SyncFilesController::moveToCache(
    const std::string& deletedPath, const std::string& trashPath) {
  if (deletedPath.empty() || trashPath.empty()) return CacheMoveResult::kFailed;
  SyncRootPath root = syncRoot();
  if (!root.known()) {
    daemonTrace("SyncFilesController: sync root unknown, no cache link for " + deletedPath);
    return CacheMoveResult::kFailed;
  }
  struct stat st;
  if (::lstat(trashPath.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
    reapFolderWalks();
    MutexLock lock(walksMutex_);
    if (stopWalks_) return CacheMoveResult::kFailed;
    auto done = std::make_shared<std::atomic<bool>>(false);
    try {
      std::thread walk([this, deletedPath, trashPath, done] {
        try {
          moveFolderToCache(deletedPath, trashPath);
        } catch (const std::exception& e) {
          daemonTrace(std::string("SyncFilesController: folder walk failed: ") + e.what());
        }
        *done = true;
      });
      walks_.push_back({std::move(walk), done});
    } catch (const std::system_error& e) {
      daemonTrace(std::string("SyncFilesController: no thread for folder walk: ") + e.what());
      return CacheMoveResult::kFailed;
    }
    return CacheMoveResult::kFolderWalkStarted;
  }
  return linkIntoCache(root.root(), today(), deletedPath, trashPath) ? CacheMoveResult::kLinked
                                                                      : CacheMoveResult::kFailed;
}

SyncFilesController::FolderWalkResult SyncFilesController::moveFolderToCache(
    const std::string& deletedPath, const std::string& trashPath) {
  FolderWalkResult result;
  SyncRootPath root = syncRoot();
  if (!root.known()) {
    daemonTrace("SyncFilesController: sync root unknown, folder not walked: " + trashPath);
    return result;
  }
  const std::string deleted = withoutTrailingSlashes(deletedPath);
  const std::string trash = withoutTrailingSlashes(trashPath);
  const std::string day = today();
  // Iterative: a deep tree costs heap, not stack. Only real folders are
  // entered (O_NOFOLLOW, d_type/lstat), and each folder once, so neither a
  // symlink nor a bind-mount loop leads the walk astray.
  std::vector<std::string> pending{trash};
  std::set<std::pair<dev_t, ino_t>> visited;
  bool first = true;
  while (!pending.empty() && !stopWalks_) {
    std::string folderPath = std::move(pending.back());
    pending.pop_back();
    if (!first) clock_.sleepFor(kWalkFolderPause);
    first = false;
    UniqueFd fd(::open(folderPath.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st;
    if (!fd.valid() || ::fstat(fd.get(), &st) != 0) {
      traceErrno("walking", folderPath, errno);
      ++result.failed;
      continue;
    }
    if (!visited.insert({st.st_dev, st.st_ino}).second) continue;
    DIR* dir = ::fdopendir(fd.get());
    if (!dir) {
      traceErrno("listing", folderPath, errno);
      ++result.failed;
      continue;
    }
    fd.release();
    ++result.folders;
    std::vector<std::string> subfolders;
    // Every entry of the folder counts towards the pause, folders too; the
    // pause follows a file whose place in the listing is a multiple of
    // kWalkPauseEvery.
    std::size_t index = 0;
    while (dirent* entry = ::readdir(dir)) {
      if (stopWalks_) break;
      if (isDotOrDotDot(entry->d_name)) continue;
      const std::size_t place = index++;
      std::string path = folderPath + "/" + entry->d_name;
      bool isFolder = entry->d_type == DT_DIR;
      if (entry->d_type == DT_UNKNOWN) {
        struct stat es;
        isFolder = ::fstatat(::dirfd(dir), entry->d_name, &es, AT_SYMLINK_NOFOLLOW) == 0 &&
                   S_ISDIR(es.st_mode);
      }
      if (isFolder) {
        subfolders.push_back(std::move(path));
        continue;
      }
      // Only the leading Trash part names the item's old place; the same
      // text deeper in the path is part of a name.
      std::string oldPlace = deleted + path.substr(trash.size());
      if (linkIntoCache(root.root(), day, oldPlace, path))
        ++result.linked;
      else
        ++result.failed;
      if (place % kWalkPauseEvery == 0) clock_.sleepFor(kWalkFilePause);
    }
    ::closedir(dir);
    pending.insert(pending.end(), std::make_move_iterator(subfolders.rbegin()),
                   std::make_move_iterator(subfolders.rend()));
  }
  return result;
}

void SyncFilesController::reapFolderWalks() {
  std::list<FolderWalk> finished;
  {
    MutexLock lock(walksMutex_);
    for (auto it = walks_.begin(); it != walks_.end();) {
      auto next = std::next(it);
      if (*it->done) finished.splice(finished.end(), walks_, it);
      it = next;
    }
  }
  for (auto& walk : finished) walk.thread.join();
}

void SyncFilesController::waitForFolderWalks() {
  for (;;) {
    std::list<FolderWalk> running;
    {
      MutexLock lock(walksMutex_);
      running.swap(walks_);
    }
    if (running.empty()) return;
    for (auto& walk : running) walk.thread.join();
  }
}

}  // namespace ulmora
