// Set-up, settings, folder paths and clearing of the sync input queue.
#include "journal/UMSDBSyncInputManger.h"

#include <new>
#include <utility>

#include "database/DataBaseWrapper.h"
#include "foundation/JournalStampGenerator.h"
#include "foundation/QLBackupProgressLogger.h"
#include "journal/JournalFormat.h"
#include "journal/SyncInputHost.h"

namespace ulmora {
UMSDBSyncInputManger::UMSDBSyncInputManger() : UMSDBSyncInputManger(Options{}) {}

UMSDBSyncInputManger::UMSDBSyncInputManger(Options options)
    : clock_(options.clock ? *options.clock : Clock::systemClock()),
      stamps_(options.stamps ? *options.stamps : JournalStampGenerator::shared()),
      writer_(stamps_, clock_),
      databaseBatches_(options.databaseBatches ? std::move(options.databaseBatches)
                                               : dataBaseWrapperBatches(stamps_)),
      queries_(std::make_unique<DataBaseWrapper>(stamps_)),
      applicationFileOverride_(std::move(options.applicationFile)),
      host_(options.host),
      poster_(options.poster) {}

UMSDBSyncInputManger::~UMSDBSyncInputManger() { stopDBSyncInputAndWait(); }

UMSDBSyncInputManger& UMSDBSyncInputManger::sharedManager() {
  // Never destroyed: static destruction order would otherwise let its writer
  // thread outlive the logger it traces to.
  alignas(UMSDBSyncInputManger) static unsigned char storage[sizeof(UMSDBSyncInputManger)];
  static UMSDBSyncInputManger* instance = ::new (storage) UMSDBSyncInputManger();
  return *instance;
}

// ---------------------------------------------------------------- settings

void UMSDBSyncInputManger::initializeAppSupportFilePaths(const std::string& consoleUser,
                                                        const std::string& syncUser) {
  const std::string key = consoleUser + '\0' + syncUser;
  {
    MutexLock lock(settingsMutex_);
    if (accountKey_ == key || accountKey_.empty()) {
      accountKey_ = key;
      appSupportFilePaths_.setConsoleUserName(consoleUser);
      appSupportFilePaths_.setSyncUserName(syncUser);
      return;
    }
  }
  // Another account: no pass may run across the switch, or it would write
  // one account's entries with the other's folders.
  MutexLock pass(passMutex_);
  std::string previous;
  {
    MutexLock lock(settingsMutex_);
    previous = std::exchange(accountKey_, key);
    appSupportFilePaths_.setConsoleUserName(consoleUser);
    appSupportFilePaths_.setSyncUserName(syncUser);
    // Resolved again for the new account by setFolderPaths and the writer's
    // start; until then nothing is written anywhere.
    folders_ = FolderPaths{};
    pathToUpdate_.clear();
  }
  if (previous == key) return;
  const std::string left = queuedWork();
  AccountQueues& parked = parkedQueues_[previous];
  swapQueues(parked);  // the previous account's work is parked ...
  auto returning = parkedQueues_.find(key);
  if (returning != parkedQueues_.end()) {
    swapQueues(returning->second);  // ... and this account's own comes back
    parkedQueues_.erase(returning);
  }
  if (!left.empty())
    daemonTrace("UMSDBSyncInputManger: work queued for the previous account is kept for it: " +
                left);
  restorePending_.with([](RestorePendingCache& cache) { cache = RestorePendingCache{}; });
}

void UMSDBSyncInputManger::swapQueues(AccountQueues& other) {
  auto swap = [](auto& guarded, auto& value) {
    guarded.with([&value](auto& queued) { std::swap(queued, value); });
  };
  swap(backupFilesCollection_, other.backup);
  swap(deleteFilesCollection_, other.deletes);
  swap(renameFilesCollection_, other.renames);
  swap(restoreFilesCollection_, other.restore);
  swap(notificationRequested_, other.notificationRequested);
  swap(createDirCollection_, other.createDir);
  swap(OBBackupFilesCollection_, other.OBBackup);
  swap(OBRenameFilesCollection_, other.OBRenames);
  swap(OBDeleteFilesCollection_, other.OBDelete);
  swap(mFilesToUpdate_, other.filesToUpdate);
  swap(mFilesToUpdateRefID_, other.filesToUpdateRefID);
  swap(mFilesToDelete_, other.filesToDelete);
  swap(updatesAfterDelete_, other.updatesAfterDelete);
  swap(mFilesToRename_, other.filesToRename);
  swap(mFilesToBackup_, other.filesToBackup);
  swap(mOBFilesToUpdateBackup_, other.OBFilesToUpdateBackup);
  swap(mOBFilesToUpdate_, other.OBFilesToUpdate);
  swap(mOBFilesToDelete_, other.OBFilesToDelete);
  swap(mRemoveEntryFromRDDB_, other.removeEntryFromRDDB);
}

void UMSDBSyncInputManger::setSyncInputHost(SyncInputHost* host) {
  MutexLock lock(settingsMutex_);
  host_ = host;
}

void UMSDBSyncInputManger::setNotificationPoster(NotificationPoster* poster) {
  MutexLock lock(settingsMutex_);
  poster_ = poster;
}

void UMSDBSyncInputManger::setBatchPublishedHandler(std::function<void()> handler) {
  MutexLock lock(settingsMutex_);
  batchPublished_ = std::move(handler);
}

SyncInputHost* UMSDBSyncInputManger::host() const {
  MutexLock lock(settingsMutex_);
  return host_;
}

NotificationPoster* UMSDBSyncInputManger::poster() const {
  MutexLock lock(settingsMutex_);
  return poster_;
}

SyncRootPath UMSDBSyncInputManger::syncRoot() const {
  SyncInputHost* h = host();
  return SyncRootPath(h ? h->getUlmoraSyncRootPath() : std::string());
}

std::string UMSDBSyncInputManger::syncUserName() const {
  SyncInputHost* h = host();
  return h ? h->syncUserName() : std::string();
}

std::string UMSDBSyncInputManger::applicationFile(int index) const {
  MutexLock lock(settingsMutex_);
  if (applicationFileOverride_) return applicationFileOverride_(index);
  return appSupportFilePaths_.pathForApplicationFile(index);
}

void UMSDBSyncInputManger::setFolderPaths() {
  daemonTrace("creating sync related folders");
  FolderPaths paths{applicationFile(journal::kUploadFolder),
                    applicationFile(journal::kEventFolder),
                    applicationFile(journal::kDownloadFolder),
                    applicationFile(journal::kServerChangeFolder),
                    applicationFile(journal::kCreateFolderFolder),
                    applicationFile(journal::kUploadCountFolder)};
  for (const std::string* p :
       {&paths.backup, &paths.daemonEvents, &paths.restore, &paths.notification, &paths.createDir}) {
    JournalFolder folder(*p);
    folder.ensureExists();
    journal::takeUpFolderAtStart(folder, stamps_);
  }
  MutexLock lock(settingsMutex_);
  folders_ = std::move(paths);
}

UMSDBSyncInputManger::FolderPaths UMSDBSyncInputManger::folderPaths() const {
  MutexLock lock(settingsMutex_);
  return folders_;
}

std::optional<JournalFolder> UMSDBSyncInputManger::folderForCode(std::string_view code) const {
  FolderPaths p = folderPaths();
  if (code == journal::kCodeUpload) return JournalFolder(p.backup);
  if (code == journal::kCodeDownload) return JournalFolder(p.restore);
  if (code == journal::kCodeServerChange) return JournalFolder(p.notification);
  if (code == journal::kCodeCreateFolder) return JournalFolder(p.createDir);
  if (code == journal::kCodeEventFolder) return JournalFolder(p.daemonEvents);
  return std::nullopt;
}

std::string UMSDBSyncInputManger::getPathToBackupFiles() const { return folderPaths().backup; }
std::string UMSDBSyncInputManger::getPathToDeleteFiles() const {
  return folderPaths().daemonEvents;
}
std::string UMSDBSyncInputManger::getPathToCreateDirCollection() const {
  return folderPaths().createDir;
}
std::string UMSDBSyncInputManger::getPathToRestoreFiles() const { return folderPaths().restore; }
std::string UMSDBSyncInputManger::getPathToNotificationFiles() const {
  return folderPaths().notification;
}

// ---------------------------------------------------------------- clearing

void UMSDBSyncInputManger::clearSyncFiles() {
  backupFilesCollection_.with([](auto& q) { q.clear(); });
  deleteFilesCollection_.with([](auto& q) { q.clear(); });
  renameFilesCollection_.with([](auto& q) { q.clear(); });
  restoreFilesCollection_.with([](RestoreQueue& q) { q.queued.clear(); });
  notificationRequested_.with([](bool& r) { r = false; });
  createDirCollection_.with([](auto& q) { q.clear(); });
  for (std::string_view code : {journal::kCodeUpload, journal::kCodeDelete, journal::kCodeRename,
                                journal::kCodeDownload, journal::kCodeServerChange,
                                journal::kCodeCreateFolder, journal::kCodeEventFolder})
    deleteFileFor(std::string(code), false);
}

void UMSDBSyncInputManger::clearForSelectiveSync() {
  backupFilesCollection_.with([](auto& q) { q.clear(); });
  restoreFilesCollection_.with([](RestoreQueue& q) { q.queued.clear(); });
  deleteFileFor(std::string(journal::kCodeUpload), false);
  deleteFileFor(std::string(journal::kCodeDownload), false);
}

void UMSDBSyncInputManger::removeDotRestoreFilesFolderContent() {
  JournalFolder folder(folderPaths().restore);
  folder.removeContents([&folder](const std::string& name) {
    interactiveTrace(folder.path() + "/" + name);
  });
}

void UMSDBSyncInputManger::deleteFileFor(const std::string& code, bool onlyRedItems) {
  auto folder = folderForCode(code);
  if (!folder) return;
  if (onlyRedItems)
    folder->removeConsumed();
  else
    folder->clear();
  if (code == journal::kCodeUpload)
    journal::cleanUploadCounts(*folder, JournalFolder(folderPaths().uploadCounts), onlyRedItems);
}

}  // namespace ulmora
