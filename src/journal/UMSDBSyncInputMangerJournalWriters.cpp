// Journal writers: one pass publishes every journal queue as list files.
#include "foundation/QLBackupProgressLogger.h"
#include "journal/JournalFormat.h"
#include "journal/UMSDBSyncInputManger.h"
#include "journal/UploadableItem.h"
#include "platform/FileUtil.h"

namespace ulmora {
namespace {



template <typename Queue>
auto takeAll(Guarded<Queue>& queue) {
  return queue.with([](Queue& q) { return q.take(); });
}

template <typename Queue, typename Items>
void putBack(Guarded<Queue>& queue, Items items, const char* what) {
  if (items.empty()) return;
  daemonTrace(std::string("journal: ") + std::to_string(items.size()) + " " + what +
              " entries not written, queued again");
  queue.with([&items](Queue& q) { q.putBack(std::move(items)); });
}

}  // namespace

void UMSDBSyncInputManger::writeJournals() {
  writeFilesEntryForOperation(journal::kCodeUpload);
  writeFilesEntryForOperation(journal::kCodeDelete);
  writeFilesEntryForOperation(journal::kCodeCreateFolder);
  WriteRestoreFilesEntry();
  writeRenameFilesEntry();
  writeNotificationFilesEntry();
}

std::vector<std::string> UMSDBSyncInputManger::takeUploadEntries(const SyncRootPath& root) {
  std::vector<std::string> taken = takeAll(backupFilesCollection_);
  std::vector<std::string> entries;
  entries.reserve(taken.size());
  UploadableItem uploadable("journal");
  for (std::size_t i = 0; i < taken.size(); ++i) {
    // A folder is not uploaded as an entry of its own; a path that no longer
    // exists still is (the upload reports it); a link, FIFO, socket or
    // device never is.
    const std::string full = root.full(taken[i]);
    struct stat st;
    const bool found = ::lstat(full.c_str(), &st) == 0;
    if (!found || (!S_ISDIR(st.st_mode) && uploadable.admits(full, st))) {
      std::string relative = root.relative(taken[i]);
      if (!relative.empty()) entries.push_back(std::move(relative));
    }
    if (i % 100 == 99) clock_.sleepFor(JournalWriter::kPause);
  }
  return entries;
}

void UMSDBSyncInputManger::writeFilesEntryForOperation(std::string_view code) {
  FolderPaths paths = folderPaths();
  if (code == journal::kCodeUpload) {
    if (backupFilesCollection_.with([](auto& q) { return q.empty(); })) return;
    SyncRootPath root = syncRoot();
    if (!root.known()) {
      daemonTrace("journal: sync root unknown, upload entries kept queued");
      return;
    }
    auto result = writer_.writeTextList(JournalFolder(paths.backup), takeUploadEntries(root),
                                        journal::kUploadSuffix);
    putBack(backupFilesCollection_, std::move(result.unwritten), "upload");
  } else if (code == journal::kCodeDelete) {
    if (deleteFilesCollection_.with([](auto& q) { return q.empty(); })) return;
    // A full path queued while the root was unknown would read as a relative
    // one and delete the wrong item on the server: it waits for the root.
    SyncRootPath root = syncRoot();
    if (!root.known()) {
      daemonTrace("journal: sync root unknown, delete entries kept queued");
      return;
    }
    std::vector<std::string> entries;
    for (auto& e : takeAll(deleteFilesCollection_)) {
      std::string relative = root.relative(e);
      if (!relative.empty()) entries.push_back(std::move(relative));
    }
    if (entries.empty()) return;
    auto result =
        writer_.writeTextList(JournalFolder(paths.daemonEvents), entries, journal::kDeleteSuffix);
    putBack(deleteFilesCollection_, std::move(result.unwritten), "delete");
  } else if (code == journal::kCodeCreateFolder) {
    std::vector<std::string> entries = takeAll(createDirCollection_);
    if (entries.empty()) return;
    auto result = writer_.writeTextList(JournalFolder(paths.createDir), entries,
                                        journal::kCreateFolderSuffix);
    putBack(createDirCollection_, std::move(result.unwritten), "folder creation");
  }
}

void UMSDBSyncInputManger::publishDownloadsDuringBatch() {
  if (restoreFilesCollection_.with([](RestoreQueue& q) { return q.queued.empty(); })) return;
  // Another thread is writing them already.
  if (!downloadListMutex_.try_lock()) return;
  MutexLock writing(downloadListMutex_, std::adopt_lock);
  writeDownloadLists();
}

void UMSDBSyncInputManger::WriteRestoreFilesEntry() {
  MutexLock writing(downloadListMutex_);
  writeDownloadLists();
}

void UMSDBSyncInputManger::writeDownloadLists() {
  // Entries move from the queue to the set being written in one step, and
  // leave that set only once they are in a published file (or queued again),
  // so the pending check never misses them.
  auto entries = restoreFilesCollection_.with([](RestoreQueue& q) {
    auto taken = q.queued.take();
    q.writing.insert(q.writing.end(), taken.begin(), taken.end());
    return taken;
  });
  if (entries.empty()) return;
  auto result = writer_.writeDownloadLists(JournalFolder(folderPaths().restore), entries);
  if (!result.unwritten.empty())
    daemonTrace("journal: " + std::to_string(result.unwritten.size()) +
                " download entries not written, queued again");
  restoreFilesCollection_.with([&result](RestoreQueue& q) {
    q.writing.clear();
    if (!result.unwritten.empty()) q.queued.putBack(std::move(result.unwritten));
  });
}

void UMSDBSyncInputManger::writeRenameFilesEntry() {
  std::vector<RenameEntry> entries = takeAll(renameFilesCollection_);
  if (entries.empty()) return;
  auto result = writer_.writeRenameList(JournalFolder(folderPaths().daemonEvents), entries);
  putBack(renameFilesCollection_, std::move(result.unwritten), "rename");
}

void UMSDBSyncInputManger::writeNotificationFilesEntry() {
  if (!notificationRequested_.with([](bool& r) { return r; })) return;
  JournalFolder folder(folderPaths().notification);
  // Only a marker the controller has not taken yet makes a new one
  // redundant; a consumed one says nothing about changes since.
  bool waiting = folder.hasEligible(journal::SkipRule::kReader);
  notificationRequested_.with([](bool& r) { r = false; });
  if (waiting) {
    interactiveTrace("Already notification file exist so no need to write.");
    return;
  }
  if (!writer_.writeMarker(folder)) {
    daemonTrace("journal: server-change marker not written, requested again");
    notificationRequested_.with([](bool& r) { r = true; });
    return;
  }
  interactiveTrace("NotificationWriten.");
}

}  // namespace ulmora
