#include "sync/status/FinderLists.h"

#include <set>
#include <utility>

#include "foundation/QLBackupProgressLogger.h"
#include "journal/SyncRootPath.h"
#include "platform/FileUtil.h"

namespace ulmora {

FinderLists::FinderLists(RootSource syncRoot, FinderChannel finder, NotificationPoster& poster)
    : syncRoot_(std::move(syncRoot)), finder_(std::move(finder)), poster_(poster) {}

std::optional<std::vector<std::string>> FinderLists::foldersToAnnounce(
    const std::vector<std::string>& createDirCollection, const std::string& syncRoot) {
  if (createDirCollection.empty() || createDirCollection.size() > kMaxFoldersAnnounced)
    return std::nullopt;
  const SyncRootPath root(syncRoot);
  std::set<std::string> seen;
  std::vector<std::string> folders;
  for (const auto& entry : createDirCollection) {
    // Walks up from the folder; a path outside the root is announced alone.
    std::string path = entry;
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    while (!path.empty() && !root.isRoot(path) && path != "/") {
      if (!seen.insert(path).second) break;
      folders.push_back(path);
      if (!root.isFullPath(path)) break;
      path = fileutil::parentPath(path);
    }
  }
  if (folders.empty()) return std::nullopt;
  return folders;
}

bool FinderLists::sendMessageToFinder(const std::vector<std::string>& createDirCollection) const {
  auto folders = foldersToAnnounce(createDirCollection, syncRoot_());
  if (!folders) return false;
  daemonTrace("Insync sending message to finder writing to downloads commented4.");
  postSyncList(*folders);
  return true;
}

void FinderLists::postSyncList(const std::vector<std::string>& paths) const {
  PropertyList list(PropertyList::Array{});
  for (const std::string& p : paths) list.append(p);
  PropertyList info(PropertyList::Dict{});
  info.set(kSyncListKey, std::move(list));
  poster_.post(kSyncListNotification, info);
}

std::string FinderLists::getFullPathFor(const std::string& path, const std::string& syncRoot) {
  if (syncRoot.empty()) return path;
  return SyncRootPath(syncRoot).full(path);
}

void FinderLists::send(const std::string& payload, int type) const {
  if (auto finder = finder_ ? finder_() : nullptr)
    finder->sendIPCMessage(PropertyList(payload), type, false);
}

void FinderLists::SendPathRootSet() const { send(syncRoot_(), kRootPathMessage); }
void FinderLists::VersionRestoreStarted() const { send("", kVersionRestoreStarted); }
void FinderLists::VersionRestoreEnded() const { send("", kVersionRestoreEnded); }

}  // namespace ulmora
