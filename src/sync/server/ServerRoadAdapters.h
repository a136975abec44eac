#pragma once

#include <charconv>
#include <functional>
#include <string>

#include "capture/ExcludedFilesCollections.h"
#include "database/DataBaseWrapper.h"
#include "engine/KVTBackupManager.h"
#include "journal/UMSDBSyncInputManger.h"
#include "service/SynListingController.h"
#include "sync/server/DownloadDispatcher.h"
#include "sync/server/ListingHandler.h"
#include "sync/server/ServerRoadPorts.h"

namespace ulmora {

// The server road's ports over the real objects. Each adapter only
// forwards; the objects lock themselves.

class InputQueueAdapter final : public SyncQueuePort {
 public:
  explicit InputQueueAdapter(UMSDBSyncInputManger& queue) : q_(queue) {}
  void addFileToUpdate(const Entries& e) override { q_.addFileToUpdate(e); }
  void addToUpdateRefID(const Entries& e) override { q_.addToUpdateRefID(e); }
  void addRestoreFiles(const Entries& e) override { q_.addRestoreFiles(e); }
  void addFileToDelete(const std::string& p) override { q_.addFileToDelete(p); }
  void addFileToRename(const RenameEntry& r) override { q_.addFileToRename(r); }
  void addFileToBackup(const std::string& p) override { q_.addFileToBackup(p); }
  void addBackupFiles(const std::string& p) override { q_.addBackupFiles(p); }
  std::optional<std::string> getFilePathforRefID(const std::string& id) override {
    return q_.getFilePathforRefID(id);
  }
  void addNotificationFilesInfo() override { q_.addNotificationFilesInfo(); }
  void deleteFileFor(const std::string& code, bool only) override { q_.deleteFileFor(code, only); }
  void addServerDelete(const std::string& relativePath) override { q_.addDeleteFiles(relativePath); }
  std::vector<std::string> pendingDownloadsFresh() override {
    q_.ClearRestorePendingSet();
    return q_.CheckifAnyRestoreFilesPending();
  }
  std::size_t restoreFileCollection() override { return q_.restoreFileCollection(); }
  std::size_t restoreSetWhichWritingToFile() override { return q_.restoreSetWhichWritingToFile(); }
  void ClearRestorePendingSet() override { q_.ClearRestorePendingSet(); }

 private:
  UMSDBSyncInputManger& q_;
};

class FilterSetsAdapter final : public CaptureFilterPort {
 public:
  explicit FilterSetsAdapter(ExcludedFilesCollections& filters) : f_(filters) {}
  void addToExclude(const std::string& p) override { f_.addToExclude(p); }
  void removeFromExclude(const std::string& p) override { f_.removeFromExclude(p); }
  void addToAvoidRename(const RenameEntry& r) override { f_.addToAvoidRename(r); }
  void addToAvoidDelete(const std::string& p, const std::string& s) override { f_.addToAvoidDelete(p, s); }
  bool shouldDelete(const std::string& p, const std::string& s) override { return f_.shouldDelete(p, s); }
  void AaddToAvoidAutoDelete(const std::string& p) override { f_.AaddToAvoidAutoDelete(p); }
  void addToAvoidBackup(const std::string& p) override { f_.addToAvoidBackup(p); }
  void expectDownload(const std::string& p, int64_t size, Clock::WallTime modified) override {
    f_.expectDownload(p, size,
                      std::chrono::duration_cast<std::chrono::nanoseconds>(modified.time_since_epoch()).count());
  }
  bool isChangedSinceDownload(const std::string& p) override { return f_.isChangedSinceDownload(p); }
  void downloadsUnderWay(const std::vector<std::string>& paths) override {
    for (const std::string& p : paths) f_.addToRestoreSetOfEngineOne(p);
  }
  std::optional<DownloadedFile> versionDownloadedHere(const std::string& p) override {
    auto facts = f_.versionDownloadedHere(p);
    if (!facts) return std::nullopt;
    return DownloadedFile{facts->size, Clock::WallTime(std::chrono::duration_cast<Clock::WallTime::duration>(
                                           std::chrono::nanoseconds(facts->modifiedNs)))};
  }
  bool isRenamedHereTo(const std::string& p) override { return f_.isRenamedHereTo(p); }
  bool downloadWrittenSinceQueued(const std::string& p, const std::string& queuedSize) override {
    int64_t size = 0;
    const auto [end, ec] = std::from_chars(queuedSize.data(), queuedSize.data() + queuedSize.size(), size);
    const bool known = ec == std::errc() && end == queuedSize.data() + queuedSize.size() && !queuedSize.empty();
    return f_.downloadWrittenSinceQueued(p, known ? std::optional<int64_t>(size) : std::nullopt);
  }
  void addTomFileInfoChangedManualyList(const std::string& p) override { f_.addTomFileInfoChangedManualyList(p); }
  void clearRenameFilter() override { f_.clearRenameFilter(); }
  void clearAutoDeleteList() override { f_.clearAutoDeleteList(); }
  void setFoldersFromRestore(const std::set<std::string>& p) override { f_.setFoldersFromRestore(p); }
  void addToAvoidFolderCreation(const std::string& p) override { f_.addToAvoidFolderCreation(p); }
  std::vector<std::string> emptyFoldersDuringReintialze() override { return f_.emptyFoldersDuringReintialze(); }
  void removeEmptyFolderFromList(const std::string& p) override { f_.removeEmptyFolderFromList(p); }
  bool shouldExcludeFile(const std::string& p) override { return f_.shouldExcludeFile(p); }

 private:
  ExcludedFilesCollections& f_;
};

// The database answers with bound parameters: names holding "'" are looked
// up as they are.
class FileStatusAdapter final : public FileStatusPort {
 public:
  FileStatusAdapter(DataBaseWrapper& db, std::string dbFolder, std::string user)
      : db_(db), folder_(std::move(dbFolder)), user_(std::move(user)) {}
  bool backupStatus(const std::string& p) override { return db_.getBackupStatusForFile(p, folder_, user_); }
  bool restoreStatus(const std::string& p) override { return db_.getRestoreStatusForFile(p, folder_, user_); }
  std::optional<BackupStatusAndRefId> backupStatusAndRefId(const std::string& p) override {
    return db_.getBackupStatusAndRef_idForFile(p, folder_, user_);
  }
  int backupStatusDuringMismatch(const std::string& p) override {
    return db_.getBackupStatusForFileDuringLMDMismatch(p, folder_, user_);
  }
  std::optional<std::string> fileNameForRefId(const std::string& id) override {
    return db_.getFileNameForGivenReferenceID(id, folder_, user_);
  }
  std::optional<RecordedFileFacts> recordedFacts(const std::string& p) override {
    return db_.getRecordedFactsForFile(p, folder_, user_);
  }

 private:
  DataBaseWrapper& db_;
  std::string folder_;
  std::string user_;
};

class ListingAdapter final : public ListingPort {
 public:
  // `prepare` gives the listing the account and proxy before each start.
  ListingAdapter(SynListingController& listing, std::function<void(SynListingController&)> prepare)
      : l_(listing), prepare_(std::move(prepare)) {}
  bool isRunning() const override { return l_.isRunning(); }
  void cancel() override { l_.cancel(); }
  void start(int64_t index) override {
    if (prepare_) prepare_(l_);
    l_.startListingWithIndexNumber(index);
  }
  bool IsRetryListingCalledForNoData() const override { return l_.IsRetryListingCalledForNoData(); }
  void SetIsRetryListingCalledForNoData(bool v) override { l_.SetIsRetryListingCalledForNoData(v); }

 private:
  SynListingController& l_;
  std::function<void(SynListingController&)> prepare_;
};

class DownloadEngineAdapter final : public DownloadEnginePort {
 public:
  // `prepare` sets the account, proxy and work folder of the next run.
  DownloadEngineAdapter(KVTBackupManager& manager, std::function<void(KVTBackupManager&)> prepare)
      : m_(manager), prepare_(std::move(prepare)) {}
  bool isRunning() const override { return m_.isRunning(); }
  std::vector<std::string> fileFolderSetForOperation() const override { return m_.fileFolderSetForOperation(); }
  void setFileFolderSetForOperation(const std::vector<std::string>& s) override {
    m_.setFileFolderSetForOperation(s);
  }
  void setSplitPoint(int64_t p) override { m_.setSplitPoint(p); }
  void setSameRestoreSetRepeated(bool r) override { m_.setSameRestoreSetRepeated(r); }
  void prepareRun() override {
    if (prepare_) prepare_(m_);
  }
  void startRestore() override { m_.startRestore(); }
  void setCancel(bool c) override { m_.setCancel(c); }
  void setFailureCount() override { m_.setFailureCount(); }
  void CancelBackupProcess() override { m_.CancelBackupProcess(true); }

 private:
  KVTBackupManager& m_;
  std::function<void(KVTBackupManager&)> prepare_;
};

}  // namespace ulmora
