// Producers: what the rest of the agent queues for the writer thread.
#include "foundation/QLBackupProgressLogger.h"
#include "journal/UMSDBSyncInputManger.h"
#include "platform/FileUtil.h"

namespace ulmora {
namespace {

constexpr std::string_view kPrivatePrefix = "/private/";


template <typename Queue, typename T>
void addTo(Guarded<Queue>& queue, T value) {
  queue.with([&value](Queue& q) { q.add(std::move(value)); });
}

void mergeInto(Guarded<OrderedDict>& queue, const std::map<std::string, std::string>& entries) {
  queue.with([&entries](OrderedDict& q) {
    q.reserve(entries.size());
    for (const auto& [path, value] : entries)
      if (!path.empty()) q.merge(path, value);
  });
}

// System temporary paths ("/private/...") are never synced. A path under the
// sync root is always kept, and so is a relative entry that names an item in
// the root, so that a folder called "private" in the root still syncs.
bool hasPrivatePrefix(const std::string& path) {
  return path.compare(0, kPrivatePrefix.size(), kPrivatePrefix) == 0;
}

bool isPrivateSystemPath(const SyncRootPath& root, const std::string& path) {
  if (root.isFullPath(path)) return false;
  return !(root.known() && fileutil::exists(root.full(path)));
}

}  // namespace

void UMSDBSyncInputManger::addBackupFiles(const std::string& path) {
  if (path.empty()) return;
  if (hasPrivatePrefix(path) && isPrivateSystemPath(syncRoot(), path)) return;
  addTo(backupFilesCollection_, path);
}

void UMSDBSyncInputManger::addDeleteFiles(const std::string& path) {
  if (path.empty()) return;
  std::string relative = syncRoot().relative(path);
  if (relative.empty()) return;
  addTo(deleteFilesCollection_, std::move(relative));
}

void UMSDBSyncInputManger::addRenamedFiles(const RenameEntry& entry) {
  if (entry.originalPath.empty() || entry.renamedPath.empty()) return;
  addTo(renameFilesCollection_, entry);
}

void UMSDBSyncInputManger::addRestoreFiles(const std::map<std::string, std::string>& entries) {
  restoreFilesCollection_.with([&entries](RestoreQueue& q) {
    for (const auto& [path, value] : entries)
      if (!path.empty()) q.queued.merge(path, value);
  });
}

void UMSDBSyncInputManger::addNotificationFilesInfo() {
  daemonTrace("addNotificationFilesInfo");
  notificationRequested_.with([](bool& requested) { requested = true; });
}

void UMSDBSyncInputManger::addDirectory(const std::string& path) {
  if (path.empty()) return;
  addTo(createDirCollection_, path);
}

void UMSDBSyncInputManger::addOBBackupFiles(const std::string& path) {
  if (path.empty()) return;
  addTo(OBBackupFilesCollection_, path);
}

void UMSDBSyncInputManger::addOBRenamedFiles(const RenameEntry& entry) {
  if (entry.originalPath.empty() || entry.renamedPath.empty()) return;
  addTo(OBRenameFilesCollection_, entry);
}

void UMSDBSyncInputManger::addOBFilesToDelete(const std::string& path) {
  if (path.empty()) return;
  addTo(OBDeleteFilesCollection_, path);
}

std::size_t UMSDBSyncInputManger::OBBackupFilesCount() {
  return OBBackupFilesCollection_.with([](auto& q) { return q.size(); });
}
std::size_t UMSDBSyncInputManger::OBRenameFilesCount() {
  return OBRenameFilesCollection_.with([](auto& q) { return q.size(); });
}
std::size_t UMSDBSyncInputManger::OBDeleteFilesCount() {
  return OBDeleteFilesCollection_.with([](auto& q) { return q.size(); });
}

// ---------------------------------------------------------------- database queues

void UMSDBSyncInputManger::noteUpdatesAfterDelete(const std::map<std::string, std::string>& entries) {
  std::vector<std::string> named;
  mFilesToDelete_.with([&](const OrderedSet<std::string>& q) {
    if (q.empty()) return;
    for (const auto& entry : entries)
      if (q.contains(entry.first)) named.push_back(entry.first);
  });
  if (named.empty()) return;
  // Noted before the update is queued: a pass that takes the update then
  // also finds the note.
  updatesAfterDelete_.with([&named](std::set<std::string>& s) { s.insert(named.begin(), named.end()); });
}

void UMSDBSyncInputManger::addFileToUpdate(const std::map<std::string, std::string>& entries) {
  noteUpdatesAfterDelete(entries);
  mergeInto(mFilesToUpdate_, entries);
}

void UMSDBSyncInputManger::addToUpdateRefID(const std::map<std::string, std::string>& entries) {
  noteUpdatesAfterDelete(entries);
  mergeInto(mFilesToUpdateRefID_, entries);
}

void UMSDBSyncInputManger::addOBFileToUpdate(const std::map<std::string, std::string>& entries) {
  mergeInto(mOBFilesToUpdate_, entries);
}

void UMSDBSyncInputManger::addFileToDelete(const std::string& path) {
  if (path.empty()) return;
  addTo(mFilesToDelete_, path);
}

void UMSDBSyncInputManger::addFileToRename(const RenameEntry& entry) {
  if (entry.originalPath.empty() || entry.renamedPath.empty()) return;
  addTo(mFilesToRename_, entry);
}

void UMSDBSyncInputManger::addFileToBackup(const std::string& path) {
  if (path.empty()) return;
  if (hasPrivatePrefix(path) && isPrivateSystemPath(syncRoot(), path)) return;
  addTo(mFilesToBackup_, path);
}

void UMSDBSyncInputManger::addOBFileToBackup(const std::string& path) {
  if (path.empty() || hasPrivatePrefix(path)) return;
  addTo(mOBFilesToUpdateBackup_, path);
}

void UMSDBSyncInputManger::addOBDeleteFiles(const std::string& path) {
  if (path.empty()) return;
  addTo(mOBFilesToDelete_, path);
}

void UMSDBSyncInputManger::deleteFileEntryFromRDDB(const std::string& value) {
  if (value.empty()) return;
  addTo(mRemoveEntryFromRDDB_, value);
}

std::optional<std::vector<std::string>> UMSDBSyncInputManger::filesToDeleteFromRDDB() {
  auto taken = mRemoveEntryFromRDDB_.with([](auto& q) { return q.take(); });
  if (taken.empty()) return std::nullopt;
  return taken;
}

void UMSDBSyncInputManger::clearDBEntries() {
  mFilesToDelete_.with([](auto& q) { q.clear(); });
  mFilesToUpdate_.with([](auto& q) { q.clear(); });
  updatesAfterDelete_.with([](auto& s) { s.clear(); });
}

std::size_t UMSDBSyncInputManger::getUpdateBackupFilesCount() {
  return mFilesToUpdate_.with([](auto& q) { return q.size(); });
}

std::size_t UMSDBSyncInputManger::getUpdateRefIDFilesCount() {
  return mFilesToUpdateRefID_.with([](auto& q) { return q.size(); });
}

}  // namespace ulmora
