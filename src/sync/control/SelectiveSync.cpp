#include "sync/control/SelectiveSync.h"

#include <algorithm>
#include <utility>

#include "foundation/QLBackupProgressLogger.h"
#include "journal/SyncRootPath.h"
#include "platform/ThreadCheck.h"

namespace ulmora {

namespace selective {

namespace {

bool startsWith(const std::string& s, const std::string& prefix) {
  return s.size() >= prefix.size() && s.compare(0, prefix.size(), prefix) == 0;
}

std::string withoutTrailingSlash(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

}  // namespace

bool isSafeRelativePath(const std::string& path) {
  if (path.size() < 2 || path[0] != '/' || path.find('\0') != std::string::npos) return false;
  std::size_t start = 1;
  while (start <= path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    const std::string_view part(path.data() + start, end - start);
    // A trailing "/" (a folder) leaves one empty last part; that is fine.
    if (part.empty() && end != path.size()) return false;
    if (part == "." || part == "..") return false;
    start = end + 1;
  }
  return true;
}

std::set<std::string> unselectedFromList(const PropertyList& list) {
  std::set<std::string> excluded;
  const auto* dict = list.asDict();
  if (!dict) return excluded;
  for (const auto& [key, value] : *dict) {
    if (!value.asString() || *value.asString() != "0") continue;
    std::string folder = withoutTrailingSlash(key);
    if (!isSafeRelativePath(folder)) {
      daemonTrace("selective sync: ignoring the list entry " + key);
      continue;
    }
    excluded.insert(std::move(folder));
  }
  // A folder inside an excluded folder is covered by it. Its entries are not
  // always next to it in order: a sibling such as "/A B" or "/A.x" sorts
  // between "/A" and "/A/B", so look for them where "/A/" would sort.
  for (auto it = excluded.begin(); it != excluded.end(); ++it) {
    const std::string prefix = *it + "/";
    auto inner = excluded.lower_bound(prefix);
    while (inner != excluded.end() && startsWith(*inner, prefix)) inner = excluded.erase(inner);
  }
  return excluded;
}

bool hasExtension(const std::string& folder) {
  const std::string name = fileutil::lastComponent(folder);
  const auto dot = name.rfind('.');
  return dot != std::string::npos && dot > 0 && dot + 1 < name.size();
}

bool isUnder(const std::set<std::string>& excluded, const std::string& path) {
  for (const auto& e : excluded) {
    if (startsWith(path, e + "/")) return true;
    if (hasExtension(e) && path == e) return true;
  }
  return false;
}

bool matches(const std::set<std::string>& excluded, const std::string& path) {
  for (const auto& e : excluded)
    if (path == (hasExtension(e) ? e : e + "/")) return true;
  return false;
}

std::string conflictName(const std::string& path, int attempt) {
  if (attempt == 0) return path + " (Selective Sync Conflict)";
  return path + " (Selective Sync Conflict " + std::to_string(attempt) + ")";
}

}  // namespace selective

SelectiveSync::SelectiveSync(std::string selectiveSyncList, RootSource syncRoot,
                             SelectiveSyncPort& port, RunLoop& mainLoop)
    : listFile_(std::move(selectiveSyncList)),
      syncRoot_(std::move(syncRoot)),
      port_(port),
      mainLoop_(mainLoop),
      excluded_(std::make_shared<const std::set<std::string>>()) {}

std::optional<std::set<std::string>> SelectiveSync::getUnselectedObjectsFromList() const {
  ULMORA_DCHECK_ON_LOOP(mainLoop_);
  if (!fileutil::exists(listFile_)) return std::nullopt;
  auto list = PropertyList::readFile(listFile_);
  if (!list || !list->isDict()) return std::nullopt;
  return selective::unselectedFromList(*list);
}

void SelectiveSync::initializeSelctiveSyncSet() {
  ULMORA_DCHECK_ON_LOOP(mainLoop_);
  publish(getUnselectedObjectsFromList().value_or(std::set<std::string>{}));
}

void SelectiveSync::publish(std::set<std::string> excluded) {
  auto snapshot = std::make_shared<const std::set<std::string>>(std::move(excluded));
  MutexLock lock(mu_);
  excluded_ = std::move(snapshot);
}

SelectiveSync::Snapshot SelectiveSync::excludedSet() const {
  MutexLock lock(mu_);
  return excluded_;
}

bool SelectiveSync::checkForFileisUnderSSyncSet(const std::string& relativePath) const {
  return selective::isUnder(*excludedSet(), relativePath);
}

bool SelectiveSync::checkForFileMatchesSSyncSet(const std::string& relativePath) const {
  return selective::matches(*excludedSet(), relativePath);
}

std::string SelectiveSync::full(const std::string& relative) const {
  return SyncRootPath(syncRoot_()).full(relative);
}

void SelectiveSync::selectiveSyncModefied() {
  ULMORA_DCHECK_ON_LOOP(mainLoop_);
  if (port_.deferToReinitialise()) return;
  // A list that exists but cannot be read (being rewritten) is no change:
  // reading it as empty would fetch every excluded folder again.
  if (fileutil::exists(listFile_) && !getUnselectedObjectsFromList()) {
    daemonTrace("selectiveSyncModefied: the selective-sync list cannot be read; nothing changed");
    return;
  }
  const std::set<std::string> list = getUnselectedObjectsFromList().value_or(std::set<std::string>{});
  const Snapshot current = excludedSet();
  std::string listText, currentText;
  for (const auto& f : list) listText += f + " ";
  for (const auto& f : *current) currentText += f + " ";
  daemonTrace("selectiveSyncModefied sArray:" + listText + " sSyncSet:" + currentText);

  std::set<std::string> newlyExcluded, newlyIncluded;
  std::set_difference(list.begin(), list.end(), current->begin(), current->end(),
                      std::inserter(newlyExcluded, newlyExcluded.end()));
  std::set_difference(current->begin(), current->end(), list.begin(), list.end(),
                      std::inserter(newlyIncluded, newlyIncluded.end()));

  if (!newlyExcluded.empty()) {
    daemonTrace("selectiveSyncModefied case 1");
    // Uploads elsewhere in the tree are not the user's to lose.
    const auto pending = port_.pendingUploads();
    // Downloads of folders still selected go too; their changes are listed
    // again, as after a pause.
    const bool dropsDownloads = port_.hasDownloads();
    port_.clearForSelectiveSync();
    port_.cancelTransfers();
    if (dropsDownloads) port_.listDroppedDownloadsAgain();
    for (const auto& path : pending)
      if (!newlyExcluded.count(path) && !selective::isUnder(newlyExcluded, path))
        port_.queueUpload(path);
    port_.requeuePendingUploads();
    {
      MutexLock lock(mu_);
      for (auto it = folderToSearch_.begin(); it != folderToSearch_.end();) {
        if (newlyExcluded.count(*it) || selective::isUnder(newlyExcluded, *it))
          it = folderToSearch_.erase(it);
        else
          ++it;
      }
    }
    searchPendingSSFolder();
  }

  daemonTrace("selecting sync modifying tool tip sent");
  port_.setMonitorToolTip(kApplyingStatus);

  if (port_.isPaused() || !port_.isNetworkAvailable()) port_.setRefreshSS();
  const bool refresh = port_.refreshSS();

  std::set<std::string> next = list;
  // While the folders cannot be fetched they stay in the set, so that the
  // next application sees them as newly included again.
  if (refresh) next.insert(newlyIncluded.begin(), newlyIncluded.end());
  publish(std::move(next));

  if (!newlyIncluded.empty() && !refresh) {
    daemonTrace("selectiveSyncModefied case 2");
    std::vector<std::string> fullPaths;
    for (const auto& f : newlyIncluded) fullPaths.push_back(full(f));
    const auto skipped = checkSelectiveSyncFolderAlreadyExists(fullPaths);
    std::vector<std::string> toSearch;
    std::set<std::string> stillExcluded = list;
    {
      MutexLock lock(mu_);
      for (const auto& f : newlyIncluded) {
        if (std::find(skipped.begin(), skipped.end(), full(f)) != skipped.end()) {
          // Kept out of sync (and tried again with the next change) rather
          // than letting the listing write into the local folder.
          stillExcluded.insert(f);
          continue;
        }
        folderToSearch_.insert(f);
        toSearch.push_back(f + "/");
      }
    }
    if (!skipped.empty()) publish(std::move(stillExcluded));
    searchToDownloadSelectiveSyncFolder(toSearch);
  }

  mainLoop_.postDelayed(guard_.wrap([this] { stopAnimationForSS(); }), kStopAnimationDelay);
}

void SelectiveSync::searchPendingSSFolder() {
  ULMORA_DCHECK_ON_LOOP(mainLoop_);
  const auto pending = ssFolderToSearch();
  if (pending.empty()) return;
  std::string text;
  for (const auto& f : pending) text += f + " ";
  daemonTrace("searchPendingSSFolder:" + text);
  searchToDownloadSelectiveSyncFolder(std::vector<std::string>(pending.begin(), pending.end()));
}

void SelectiveSync::searchToDownloadSelectiveSyncFolder(const std::vector<std::string>& folders) {
  ULMORA_DCHECK_ON_LOOP(mainLoop_);
  if (folders.empty()) return;
  daemonTrace(
      "calling initwith proxy details from setProxyObjectWithSettingsFile of search to download of "
      "mainsync class");
  for (const auto& folder : folders) port_.startSearch(folder);
}

void SelectiveSync::searchDidReceiveData(const PropertyList& entries) {
  ULMORA_DCHECK_ON_LOOP(mainLoop_);
  const auto* list = entries.asArray();
  if (!list) return;
  const Snapshot excluded = excludedSet();
  for (const auto& entry : *list) {
    auto name = entry.stringFor("FileName");
    if (!name || !selective::isSafeRelativePath(*name)) {
      daemonTrace("selective sync: search result without a usable name skipped");
      continue;
    }
    if (name->back() == '/') {
      if (!selective::isUnder(*excluded, *name)) port_.createFolder(full(name->substr(0, name->size() - 1)));
      continue;
    }
    auto refId = entry.stringFor("ref_id");
    auto size = entry.stringFor("FileSize");
    if (!refId || !size) {
      daemonTrace("selective sync: search result without ref_id or FileSize skipped: " + *name);
      continue;
    }
    if (selective::isUnder(*excluded, *name)) continue;
    if (port_.moveFromCache(*name, entry.stringFor("FileModificationDate").value_or(""), *size, *refId))
      continue;
    interactiveTrace("adfile to update16:{" + *name + " = " + *refId + "}");
    port_.queueDownload(*name, *refId, *size);
  }
}

void SelectiveSync::searchDidFinishSuccessfully(const std::string& rootPath) {
  ULMORA_DCHECK_ON_LOOP(mainLoop_);
  std::string folder = rootPath;
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  MutexLock lock(mu_);
  folderToSearch_.erase(folder);
}

void SelectiveSync::searchDidFailWithError(const std::string& error, const std::string& rootPath) {
  ULMORA_DCHECK_ON_LOOP(mainLoop_);
  // The folder stays pending and is searched again with the next change.
  daemonTrace("selective sync search of " + rootPath + " failed: " + error);
}

std::vector<std::string> SelectiveSync::checkSelectiveSyncFolderAlreadyExists(
    const std::vector<std::string>& fullPaths) {
  ULMORA_DCHECK_ON_LOOP(mainLoop_);
  std::vector<std::string> moved, skipped;
  for (const auto& path : fullPaths) {
    if (!port_.exists(path) || !port_.containsFile(path)) continue;
    bool done = false;
    for (int attempt = 0; attempt < kMaxConflictAttempts && !done; ++attempt) {
      const std::string target = selective::conflictName(path, attempt);
      // The capture must not see the move as the user deleting the folder.
      port_.addToExclude(path);
      port_.addToExclude(target);
      const auto result = port_.moveAside(path, target);
      if (result == fileutil::RenameResult::kOk) {
        moved.push_back(target);
        mainLoop_.postDelayed(guard_.wrap([this, path, target] {
                                port_.removeFromExclude(path);
                                port_.removeFromExclude(target);
                              }),
                              kExclusionLift);
        done = true;
        break;
      }
      port_.removeFromExclude(path);
      port_.removeFromExclude(target);
      if (result == fileutil::RenameResult::kFailed) break;
    }
    if (!done) {
      // Fetching the server's folder now would write over the local one.
      daemonTrace("selective sync: cannot move " + path + " aside; it is not fetched now");
      skipped.push_back(path);
    }
  }
  if (!moved.empty()) port_.enumerateForUpload(moved);
  return skipped;
}

void SelectiveSync::didFoundFile(const std::string& fullPath) {
  const std::string relative = SyncRootPath(syncRoot_()).relative(fullPath);
  interactiveTrace("didFoundFile relativePath:" + relative);
  port_.queueUpload(relative);
}

void SelectiveSync::stopAnimationForSS() {
  ULMORA_DCHECK_ON_LOOP(mainLoop_);
  daemonTrace("stopAnimationForSS");
  port_.removeItemFromToolTipFor(kApplyingItem);
}

void SelectiveSync::updateSSWindowRefresh() { port_.sendMonitorMessage(kRefreshWindowMessage); }


std::set<std::string> SelectiveSync::ssFolderToSearch() const {
  ULMORA_DCHECK_ON_LOOP(mainLoop_);
  MutexLock lock(mu_);
  return folderToSearch_;
}

}  // namespace ulmora
