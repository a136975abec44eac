// The four file writers: events (folder 102), lists with their count file,
// download entries, and count files.
#include <sys/stat.h>

#include <unordered_set>

#include "foundation/QLBackupProgressLogger.h"
#include "journal/JournalFormat.h"
#include "journal/SyncFilesController.h"
#include "journal/UploadableItem.h"
#include "platform/FileUtil.h"

namespace ulmora {
namespace {


PropertyList textArray(const std::vector<std::string>& items) {
  return PropertyList(PropertyList::Array(items.begin(), items.end()));
}

std::size_t carriedCount(const std::vector<std::string>& entries) {
  std::size_t n = 0;
  for (const auto& e : entries)
    if (!e.empty() && journal::canCarryInTextList(e)) ++n;
  return n;
}

}  // namespace

// ---------------------------------------------------------------- events

std::vector<SyncFilesController::JournalEvent>
SyncFilesController::writeFilesEntryAtGeneralPathWithArray(const std::vector<JournalEvent>& run,
                                                            int code) {
  if (code == 2) return writeDeletes(run);
  if (code == 3) return writeRenames(run);
  daemonTrace("SyncFilesController: no event writer for code " + std::to_string(code));
  return {};
}

std::vector<SyncFilesController::JournalEvent> SyncFilesController::writeDeletes(
    const std::vector<JournalEvent>& run) {
  SyncRootPath root = syncRoot();
  // Without the root a queued full path would read as a relative one and
  // delete the wrong item on the server.
  if (!root.known()) return run;
  std::vector<std::string> deleted;
  for (const auto& event : run) {
    if (event.kind != JournalEvent::Kind::kDelete) continue;
    std::string relative = root.relative(event.path);
    if (relative.empty()) continue;
    // An item that exists again (saved by replacing it) is not deleted.
    if (fileutil::exists(root.full(relative))) continue;
    deleted.push_back(std::move(relative));
  }
  sendToFinder(textArray(deleted), kFinderDeletedItemsMessage);
  if (deleted.empty()) return {};
  auto result = writer_.writeTextList(folder(journal::kEventFolder), deleted,
                                      journal::kDeleteSuffix, JournalWriter::ChunkNames::kStampEach,
                                      JournalWriter::FilePause::kBeforeEveryHundredthFile);
  std::vector<JournalEvent> unwritten;
  for (auto& path : result.unwritten)
    unwritten.push_back({JournalEvent::Kind::kDelete, std::move(path), {}});
  return unwritten;
}

std::vector<SyncFilesController::JournalEvent> SyncFilesController::writeRenames(
    const std::vector<JournalEvent>& run) {
  SyncRootPath root = syncRoot();
  if (!root.known()) return run;
  std::vector<RenameEntry> renames;
  std::vector<std::string> newFullPaths;
  for (const auto& event : run) {
    if (event.kind != JournalEvent::Kind::kRename) continue;
    RenameEntry entry{root.relative(event.rename.originalPath),
                      root.relative(event.rename.renamedPath)};
    if (entry.originalPath.empty() || entry.renamedPath.empty()) {
      daemonTrace("SyncFilesController: rename of the sync root itself dropped: '" +
                  event.rename.originalPath + "' -> '" + event.rename.renamedPath + "'");
      continue;
    }
    newFullPaths.push_back(root.full(entry.renamedPath));
    renames.push_back(std::move(entry));
  }
  if (renames.empty()) return {};
  daemonTrace("Insync sending message to finder writing to downloads commented6.");
  postNotSynced(newFullPaths);
  daemonTrace("Rename list:" + describeRenames(renames, false));
  auto result = writer_.writeRenameList(folder(journal::kEventFolder), renames);
  std::vector<JournalEvent> unwritten;
  for (auto& entry : result.unwritten)
    unwritten.push_back({JournalEvent::Kind::kRename, {}, std::move(entry)});
  return unwritten;
}

// ---------------------------------------------------------------- lists

void SyncFilesController::writeFilesEntryAtPath(std::string_view code) {
  if (code == journal::kCodeUpload) {
    if (!shouldWriteSyncFiles_) {
      backupFilesCollection_.with([](auto& q) { q.clear(); });
      return;
    }
    if (backupFilesCollection_.with([](auto& q) { return q.empty(); })) return;
    SyncRootPath root = syncRoot();
    if (!root.known()) {
      if (!rootUnknownTraced_.exchange(true))
        daemonTrace("SyncFilesController: sync root unknown, events and uploads kept queued");
      return;
    }
    auto taken = backupFilesCollection_.with([](auto& q) { return q.take(); });
    std::vector<std::string> foldersToRefresh;
    std::vector<std::string> entries = filterUploads(root, std::move(taken), foldersToRefresh);
    if (!foldersToRefresh.empty()) {
      daemonTrace("Insync sending message to finder writing to downloads commented7.");
      postNotSynced(foldersToRefresh);
    }
    sendToMonitor(PropertyList(std::string()), kMonitorJournalsChangedMessage);
    writeList(backupFilesCollection_, journal::kUploadFolder, std::move(entries), true);
  } else if (code == journal::kCodeCreateFolder) {
    auto taken = createDirCollection_.with([](auto& q) { return q.take(); });
    if (taken.empty()) return;
    sendToMonitor(PropertyList(std::string()), kMonitorJournalsChangedMessage);
    writeList(createDirCollection_, journal::kCreateFolderFolder, std::move(taken), false);
  } else if (code == journal::kCodeOBUpload) {
    if (!shouldWriteOBFiles_) {
      OBBackupFilesCollection_.with([](auto& q) { q.clear(); });
      return;
    }
    auto taken = OBBackupFilesCollection_.with([](auto& q) { return q.take(); });
    writeList(OBBackupFilesCollection_, journal::kOBUploadFolder, std::move(taken), false);
  } else if (code == journal::kCodeOBDelete) {
    auto taken = OBDeleteFilesCollection_.with([](auto& q) { return q.take(); });
    writeList(OBDeleteFilesCollection_, journal::kOBDeleteFolder, std::move(taken), false);
  } else if (code == journal::kCodeOBCreateFolder) {
    auto taken = OBCreateDirCollection_.with([](auto& q) { return q.take(); });
    writeList(OBCreateDirCollection_, journal::kOBCreateFolderFolder, std::move(taken), false);
  }
}

std::vector<std::string> SyncFilesController::filterUploads(
    const SyncRootPath& root, std::vector<std::string> taken,
    std::vector<std::string>& foldersToRefresh) {
  std::vector<std::string> entries;
  std::unordered_set<std::string> seen;
  std::unordered_set<std::string> refresh;
  std::size_t existing = 0;
  UploadableItem uploadable("SyncFilesController");
  std::set<std::string> gone;
  for (auto& queued : taken) {
    std::string full = root.full(queued);
    if (!seen.insert(full).second) continue;
    struct stat st;
    if (::lstat(full.c_str(), &st) != 0) {  // gone again, or renamed: see followRenames
      gone.insert(root.relative(full));
      continue;
    }
    if (!uploadable.admits(full, st)) continue;
    if (++existing % 100 == 0) clock_.sleepFor(JournalWriter::kPause);
    std::string relative = root.relative(full);
    if (relative.empty()) continue;
    if (S_ISDIR(st.st_mode)) {
      // A folder is uploaded as an entry only while empty; its files are
      // entries of their own. An unreadable one counts as not empty.
      auto names = fileutil::listDirectory(full);
      if (names && names->empty()) entries.push_back(std::move(relative));
      continue;
    }
    for (std::string parent = fileutil::parentPath(full);
         root.isFullPath(parent) && !root.isRoot(parent); parent = fileutil::parentPath(parent)) {
      if (!refresh.insert(parent).second) break;
      foldersToRefresh.push_back(parent);
    }
    entries.push_back(std::move(relative));
  }
  goneUploads_.with([&gone](GoneUploads& g) {
    g.previous = std::exchange(g.current, std::move(gone));
  });
  return entries;
}

void SyncFilesController::writeList(Guarded<OrderedSet<std::string>>& queue, int folderIndex,
                                    std::vector<std::string> entries, bool countFile) {
  if (entries.empty()) return;
  auto result = writer_.writeTextList(folder(folderIndex), entries, {},
                                      JournalWriter::ChunkNames::kNumbered,
                                      JournalWriter::FilePause::kBeforeEveryHundredthFile);
  std::size_t written = carriedCount(entries) - result.unwritten.size();
  if (!result.unwritten.empty()) {
    daemonTrace("SyncFilesController: " + std::to_string(result.unwritten.size()) +
                " entries for folder " + std::to_string(folderIndex) +
                " not written, queued again");
    queue.with([&result](auto& q) { q.putBack(std::move(result.unwritten)); });
  }
  if (!countFile || written == 0) return;
  backupFilesCount_ += written;
  writeEventsCount(written, journal::kCodeUpload);
}

// ---------------------------------------------------------------- downloads and counts

std::vector<JournalWriter::DownloadEntry> SyncFilesController::WriteRestoreFilesEntry(
    const std::vector<JournalWriter::DownloadEntry>& entries, const std::string& folderPath) {
  // Dropped while a selective-sync change clears downloads: the new set
  // brings its own.
  if (!shouldWriteSyncFiles_ || entries.empty()) return {};
  // Through JournalFolder, so the input queue's pending-download check sees
  // every change of folder 105.
  return writer_.writeDownloadLists(JournalFolder(folderPath), entries).unwritten;
}

bool SyncFilesController::writeEventsCount(uint64_t count, std::string_view code) {
  if (code != journal::kCodeUpload) return false;
  return writer_.writeText(folder(journal::kUploadCountFolder), {}, std::to_string(count))
      .has_value();
}

}  // namespace ulmora
