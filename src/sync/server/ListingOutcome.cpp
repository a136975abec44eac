#include "sync/server/ListingOutcome.h"

#include <algorithm>

#include "foundation/QLUtility.h"
#include "platform/FileUtil.h"
#include "platform/LinkSafePath.h"
#include "platform/Trace.h"
#include "sync/status/UlmoraSyncStatus.h"

namespace ulmora {
namespace {

constexpr std::string_view kOutOfBox = "/Out of Box/";

using linksafe::components;

std::string lastName(std::string_view path) {
  auto parts = components(path);
  return parts.empty() ? std::string() : parts.back();
}

std::string parentOf(std::string_view path) {
  std::string p(path);
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  return fileutil::parentPath(p);
}

}  // namespace

ListingOutcome::ListingOutcome(const SyncRootFiles& files, Ports ports, ListingTally& tally)
    : files_(files), ports_(ports), tally_(tally) {}

// One rule for every name a notification shows.
std::string ListingOutcome::shortened(std::string_view name) {
  return UlmoraSyncStatus::shortenedNotificationName(name);
}

std::optional<std::string> ListingOutcome::changeSummary(const ListingTally::Snapshot& t, const SyncRootPath& root,
                                                         bool newPathIsFolder) {
  const int d = std::max(t.deleted, 0), r = std::max(t.renamed, 0), u = std::max(t.updatedFromCache, 0);
  auto singleDelete = [&]() -> std::optional<std::string> {
    if (t.lastDeleted.empty()) return std::nullopt;
    return "N1025||" + shortened(lastName(t.lastDeleted));
  };
  auto singleUpdate = [&]() -> std::optional<std::string> {
    if (t.filesUpdatedFromCache.empty()) return std::nullopt;
    const std::string& entry = t.filesUpdatedFromCache.front();
    return "N1031||" + shortened(lastName(entry)) + "::" + root.relative(entry);
  };
  auto singleRename = [&]() -> std::optional<std::string> {
    if (!t.lastRename) return std::nullopt;
    const auto& [oldPath, newPath] = *t.lastRename;
    auto oldParts = components(oldPath);
    std::string differing;
    for (const auto& part : components(newPath))
      if (std::find(oldParts.begin(), oldParts.end(), part) == oldParts.end())
        differing += (differing.empty() ? "" : "/") + part;
    differing = shortened(differing);
    if (differing.empty()) return std::nullopt;
    bool sameParent = parentOf(oldPath) == parentOf(newPath);
    std::string verb = sameParent ? "renamed" : "moved";
    std::string code = newPathIsFolder && sameParent ? "N1032" : "N1033";
    return code + "||" + shortened(lastName(oldPath)) + "||" + verb + "||" + lastName(differing);
  };
  if (d >= 2) {
    if (r >= 2 || u >= 2) return "N1024||" + std::to_string(d) + "||" + std::to_string(r + u);
    if (r == 0 && u == 0) return "N1006||" + std::to_string(d);
    if (r == 0) return singleUpdate();
    return singleRename();
  }
  if (d == 1) return singleDelete();
  if (r >= 2 || u >= 2) return "N1005||" + std::to_string(r + u);
  if (r == 1) return singleRename();
  if (u == 1) return singleUpdate();
  return std::nullopt;
}

void ListingOutcome::listingDataProcessedComplete(const Folders& folders) {
  auto summary = tally_.takeSummary();
  bool newIsFolder = false;
  if (summary.lastRename) {
    auto info = files_.info(summary.lastRename->newPath);
    newIsFolder = info && info->isFolder;
  }
  if (auto note = changeSummary(summary, files_.rootPath(), newIsFolder))
    ports_.host.showDesktopPushNotification(*note);
  ports_.host.sendRecentItemsList(tally_.takeRestoredFiles());
  if (summary.cacheFileMoved) ports_.host.deleteCachedFiles();
  manageFoldersReceivedFromServer(folders);
  if (folders.retryForNoData) {
    traceLine("##tooltip removed case");
    return;
  }
  traceLine("## skipping tooltip removed case");
  ports_.host.removePNSRelatedToolTips();
  if (!ports_.host.isDownloadRunning()) ports_.host.removeItemFromToolTipFor("Syncing Down");
}

bool ListingOutcome::skipped(const std::string& fname) {
  return fname.substr(0, kOutOfBox.size()) == kOutOfBox || ports_.selective.checkForFileisUnderSSyncSet(fname);
}

// A folder the server holds and this computer has: its row lets a start
// see it removed while the agent was not running.
void ListingOutcome::recordFolder(const std::string& relative) {
  ports_.queue.addFileToUpdate({{relative, "Backup"}});
}

bool ListingOutcome::removeEmptyTree(const std::string& relative, int depth) {
  if (depth > 256) return false;
  auto names = files_.list(relative);
  if (!names) return false;
  for (const auto& name : *names) {
    std::string sub = relative + "/" + name;
    auto info = files_.info(sub);
    if (info && info->isFolder && !removeEmptyTree(sub, depth + 1)) return false;
  }
  return files_.removeEmptyFolder(relative);
}

void ListingOutcome::removeIfNoFiles(const std::string& path) {
  auto rel = files_.check(path);
  if (!rel) return;
  auto info = files_.info(*rel);
  if (info && !info->isFolder) return;
  if (info && (QLUtility::doesContainsFile(files_.fullPath(*rel)) || !removeEmptyTree(*rel, 0))) return;
  // Its row (and those of the folders below) goes with it: left behind, a
  // later start would take the folder for one the user removed, and delete
  // whatever the server holds under that name by then.
  ports_.queue.addFileToDelete(*rel);
}

void ListingOutcome::manageFoldersReceivedFromServer(const Folders& folders) {
  ports_.queue.ClearRestorePendingSet();
  std::set<std::string> live;
  for (const auto& record : folders.live) live.insert(record.fname);
  ports_.filters.setFoldersFromRestore(live);

  for (const auto& record : folders.deleted) {
    if (skipped(record.fname)) continue;
    for (const auto* name : {&record.fname, &record.fnameOld})
      if (!name->empty()) removeIfNoFiles(*name);
  }
  for (const auto& folder : tally_.takeFoldersToDelete()) removeIfNoFiles(folder);

  for (const auto& record : folders.live) {
    if (skipped(record.fname)) continue;
    auto rel = files_.check(record.fname);
    if (!rel) continue;
    if (auto info = files_.info(*rel)) {
      if (info->isFolder) recordFolder(*rel);
      continue;
    }
    if (ports_.status && ports_.status->backupStatus(*rel)) {
      // Recorded in sync and gone from here: the user removed it (while the
      // agent was not running, perhaps), and that delete is on its way to
      // the server; made again, it would undo it.
      continue;
    }
    std::string full = files_.fullPath(*rel);
    ports_.filters.addToAvoidFolderCreation(full);
    ports_.filters.addTomFileInfoChangedManualyList(full);
    if (files_.makeFolders(*rel)) {
      recordFolder(*rel);
      ports_.host.showDesktopPushNotification("N1034||" + shortened(lastName(*rel)) + "||added::" + *rel);
    }
  }

  for (const auto& folder : ports_.filters.emptyFoldersDuringReintialze()) {
    auto rel = files_.checkQuietly(folder);
    if (!rel) continue;
    if (QLUtility::doesContainsFile(files_.fullPath(*rel))) continue;
    ports_.host.WritingCreateDirCollection(folder);
    ports_.filters.removeEmptyFolderFromList(folder);
  }
}

}  // namespace ulmora
