// The server road: change listings and their index, record validation,
// server renames, downloads, the cache and the end of a listing.
#include <pwd.h>
#include <unistd.h>

#include <charconv>

#include "database/DataBaseWrapper.h"
#include "engine/ProxyController.h"
#include "foundation/QLBackupProgressLogger.h"
#include "foundation/QLLocalizedString.h"
#include "journal/CompanionMessenger.h"
#include "journal/NotificationPoster.h"
#include "journal/UMSDBSyncInputManger.h"
#include "platform/FileUtil.h"
#include "service/ServerRecord.h"
#include "service/SynListingController.h"
#include "sync/MainSyncController.h"
#include "sync/control/SyncControllerOwner.h"

namespace ulmora {
namespace {

constexpr int kLoginDetails = 26;
constexpr int kRootUserFolder = 50;
constexpr int kProxySettings = 84;
constexpr int kUploadJournal = 101;
constexpr int kRestoreJournal = 105;
constexpr int kLocalDatabaseFolder = 107;
constexpr int kBackupFileEntries = 113;
constexpr int kRestoreFileEntries = 118;
constexpr int kRecID = 136;
constexpr int kRestoreStatusFirst = 139;
constexpr int kRestoreStatusLast = 142;

constexpr int kMessageAccountCancelled = 507;
constexpr int kMessageReinitialiseEnded = 516;

// A localised text with its "%@" places filled in order.
std::string localized(const std::string& key, std::initializer_list<std::string> values = {}) {
  std::string text = QLLocalizedString(key);
  size_t from = 0;
  for (const auto& value : values) {
    size_t at = text.find("%@", from);
    if (at == std::string::npos) break;
    text.replace(at, 2, value);
    from = at + value.size();
  }
  return text;
}

// One session log of the sync's own work: its heading, its lines, the rule.
void writeSessionLog(const std::string& file, const std::string& heading, std::initializer_list<std::string> lines) {
  if (file.empty() || file.front() != '/') return;  // no session-log folder known
  auto& logger = QLBackupProgressLogger::progressLogger();
  logger.writeSessionLogWithoutTimeStamp(heading, file, true);
  for (const auto& line : lines) logger.writeSessionLog(line, file, true);
  logger.writeSessionLogWithoutTimeStamp(std::string(50, '-') + "\n", file, true);
}

std::optional<SyncRootFiles::Owner> consoleOwner(const std::string& uidText) {
  uid_t uid = 0;
  auto [end, ec] = std::from_chars(uidText.data(), uidText.data() + uidText.size(), uid);
  if (ec != std::errc() || end != uidText.data() + uidText.size()) return std::nullopt;
  struct passwd pw {};
  struct passwd* found = nullptr;
  char buf[4096];
  if (getpwuid_r(uid, &pw, buf, sizeof buf, &found) != 0 || found == nullptr) return std::nullopt;
  return SyncRootFiles::Owner{uid, pw.pw_gid};
}

}  // namespace

// The server road's view of the rest of the account.
class MainSyncController::ServerRoadAccountAdapter final : public ServerRoadAccount {
 public:
  explicit ServerRoadAccountAdapter(MainSyncController& c) : c_(c) {}

  // ListingHost
  bool isUploadRunning() override;
  bool isDownloadRunning() override;
  bool lastDownloadRunFailed() override;
  bool startListingFromStoredIndex() override;
  void setMonitorToolTip(const std::string& code) override { c_.progress_->status().setMonitorToolTip(code); }
  void removeItemFromToolTipFor(const std::string& code) override { c_.progress_->status().removeItemFromToolTipFor(code); }
  void removePNSRelatedToolTips() override { c_.progress_->status().removePNSRelatedToolTipsOnMainThread(); }
  void showDesktopPushNotification(const std::string& code) override { c_.progress_->status().showDesktopPushNotification(code); }
  void passwordChangedFromWeb() override { c_.controlRoom_->events().passwordChangedFromWeb(); }
  void accountCancelledFromListing() override;
  void selectiveSyncModefied() override;
  void setQueueReinitializeState(bool state) override { c_.ctx_.inputQueue.setReinitializeState(state); }
  void reinitialiseEnded() override;
  void createAllSyncTimers() override { c_.createAllSyncTimers(); }
  void getLoginDetailForUlmoraSyncUser() override;
  void clearRecentItems() override { c_.controlRoom_->recent().clearItems(); }
  // ListingOutcomeHost
  void sendRecentItemsList(const std::vector<std::string>& restoredFromCache) override;
  void deleteCachedFiles() override;
  void WritingCreateDirCollection(const std::string& path) override;
  // the download dispatch's part
  void downloadSetStarting() override;
  void postSyncList(const std::vector<std::string>& fullPaths) override;
  // RecentItemsPort
  void setRecentlyModifiedItems(const std::string& fullPath, const std::string& operation) override {
    c_.controlRoom_->recent().setRecentlyModifiedItems(fullPath, operation);
  }
  // SelectiveSyncCheck
  bool checkForFileisUnderSSyncSet(const std::string& path) override { return c_.controlRoom_->selective().checkForFileisUnderSSyncSet(path); }
  // SyncSessionLogPort
  void syncDeleted(const std::string& relativePath) override;
  void syncRenamed(const std::string& oldRelative, const std::string& newRelative) override;
  void conflictCopyKept(const std::string& relativePath, const std::string& copyRelative) override;

 private:
  // Controller operations that belong to the main thread, posted there from
  // the listing worker.
  void onMain(std::function<void()> task) { c_.ctx_.mainLoop.post(c_.guard_.wrap(std::move(task))); }

  MainSyncController& c_;
};

void MainSyncController::buildListing() {
  roadAccount_ = std::make_shared<ServerRoadAccountAdapter>(*this);
  DownloadDispatcher::Paths paths;
  for (int i = kRestoreStatusFirst; i <= kRestoreStatusLast; ++i) paths.restoreStatusFiles.push_back(applicationFile(i));
  paths.restoreEntries = applicationFile(kRestoreFileEntries);
  paths.restoreJournalFolder = applicationFile(kRestoreJournal);
  paths.backupEntries = applicationFile(kBackupFileEntries);
  paths.backupJournalFolder = applicationFile(kUploadJournal);
  serverRoad_ = std::make_unique<ServerRoad>(ServerRoad::Parts{
      getUlmoraSyncRootPath(),
      consoleOwner(m_consoleUserID_),
      ctx_.inputQueue,
      ctx_.collections,
      *databaseHandler_,
      applicationFile(kLocalDatabaseFolder),
      ctx_.session.syncUser,
      ctx_.clock,
      state_,
      *mSynListingController_,
      *mSynListingForRefIDController_,
      [this](SynListingController& listing) { setUserAndProxyToObject(listing); },
      *mRestoreManager_,
      [this](KVTBackupManager& m) {
        m.setBackupSourceFolder(getUlmoraSyncRootPath());
        m.setUserInfo(craeteUserInfoObject());
        m.setProxyObjectWithSettingsFile(applicationFile(kProxySettings));
        m.setRestore(true);
        m.deleteTempFilePaths();
        m.createTempFilePaths();
        m.setCancel(false);
        // A changed throttle preference counts from the next run on.
        m.setBandwidthThrottleValue(settings_->runStartThrottle(false));
      },
      fileutil::joinPath(applicationFile(kRootUserFolder), ListingIndexStore::kFileName),
      applicationFile(kRecID),
      std::move(paths),
      *roadAccount_,
      // Delayed work of the road (lifting exclusions, retries, timers after a
      // reinitialise) runs on the main loop, and never after the controller.
      [this](std::function<void()> task, Clock::Duration delay) {
        auto wrapped = guard_.wrap(std::move(task));
        if (delay == Clock::Duration::zero())
          ctx_.mainLoop.post(std::move(wrapped));
        else
          ctx_.mainLoop.postDelayed(std::move(wrapped), delay);
      },
      [this](const std::string& oldPath, const std::string& newPath) {
        return takeRenamedHere(oldPath, newPath);
      }});
}

void MainSyncController::stopListing() {
  // The road has no thread of its own: its collaborators run on the
  // listings' workers and the main loop, and stay whole until the
  // controller goes, so the listings' last reports still find them.
}

// ---------------------------------------------------------------- the road's account

bool MainSyncController::ServerRoadAccountAdapter::isUploadRunning() { return c_.mBackupManager_ && c_.mBackupManager_->isRunning(); }
bool MainSyncController::ServerRoadAccountAdapter::isDownloadRunning() {
  return c_.mRestoreManager_ && c_.mRestoreManager_->isRunning();
}

bool MainSyncController::ServerRoadAccountAdapter::lastDownloadRunFailed() {
  return c_.mRestoreManager_ && (c_.mRestoreManager_->failureFileCount() > 0 ||
                                 c_.mRestoreManager_->backupOrRestorFailCount() > 0);
}

bool MainSyncController::ServerRoadAccountAdapter::startListingFromStoredIndex() {
  c_.startSyncListingAllFiles(1);
  return c_.mSynListingController_ && c_.mSynListingController_->isRunning();
}

void MainSyncController::ServerRoadAccountAdapter::accountCancelledFromListing() {
  c_.progress_->status().setMonitorToolTip("T1018");
  c_.progress_->status().showDesktopPushNotification("N1023");
  if (SyncControllerOwner* o = c_.owner())
    if (auto monitor = o->monitorMessenger())
      monitor->sendIPCMessage(PropertyList(std::string("The account has been cancelled")),
                              kMessageAccountCancelled, false);
  fileutil::removeAll(c_.applicationFile(kLoginDetails));
  daemonTrace("The account has been cancelld so sending unlink message to monitor");
}

void MainSyncController::ServerRoadAccountAdapter::selectiveSyncModefied() {
  onMain([&c = c_] { c.selectiveSyncModefied(); });
}

void MainSyncController::ServerRoadAccountAdapter::reinitialiseEnded() {
  if (SyncControllerOwner* o = c_.owner()) {
    if (auto monitor = o->monitorMessenger())
      monitor->sendIPCMessage(PropertyList(std::string()), kMessageReinitialiseEnded, false);
    o->setisReinitializeState(false);
  }
}

// The account-details request belongs to the main loop.
void MainSyncController::ServerRoadAccountAdapter::getLoginDetailForUlmoraSyncUser() {
  onMain([&c = c_] { c.controlRoom_->events().getLoginDetailForUlmoraSyncUser(); });
}
void MainSyncController::ServerRoadAccountAdapter::sendRecentItemsList(const std::vector<std::string>& restoredFromCache) {
  for (const std::string& path : restoredFromCache) c_.controlRoom_->recent().addFileUpdatedFromCache(path);
  c_.controlRoom_->sendRecentItemsList();
}
void MainSyncController::ServerRoadAccountAdapter::deleteCachedFiles() {
  onMain([&c = c_] { c.deleteCachedFiles(); });
}
void MainSyncController::ServerRoadAccountAdapter::WritingCreateDirCollection(const std::string& path) {
  c_.WritingCreateDirCollection(c_.serverRoad_->files().fullPath(path));
}
// The batch's counters start again and the monitor shows the download
// before the totals are counted.
void MainSyncController::ServerRoadAccountAdapter::downloadSetStarting() {
  c_.ctx_.collections.downloadRunStarting();
  c_.state_.server.IsMoreThanTenThousandRestore = false;
  c_.progress_->tracker().ResetSetVariablesForRestore();
  c_.progress_->BackupRestoreStarted(c_.restoreManager());
  c_.GetTotalCountAndTotalSizeOfRestoreFiles();
}

void MainSyncController::ServerRoadAccountAdapter::postSyncList(const std::vector<std::string>& fullPaths) {
  daemonTrace("Insync sending message to finder writing to downloads commented2.");
  c_.postSyncList(fullPaths);
}

void MainSyncController::ServerRoadAccountAdapter::syncDeleted(const std::string& relativePath) {
  writeSessionLog(c_.createSessionFileForOperation(4, "Delete"), localized("Operation: Sync deletion"),
                  {localized("Deleted item %@", {relativePath}), "SyncDeleted successfully"});
}

void MainSyncController::ServerRoadAccountAdapter::syncRenamed(const std::string& oldRelative, const std::string& newRelative) {
  writeSessionLog(c_.createSessionFileForOperation(13, "Sync-Rename"), localized("Operation: Sync rename"),
                  {localized("Renamed item %@ to %@", {oldRelative, newRelative}), "SyncRenamed successfully"});
}

void MainSyncController::ServerRoadAccountAdapter::conflictCopyKept(const std::string& relativePath, const std::string& copyRelative) {
  writeSessionLog(c_.createSessionFileForOperation(2, "Sync-Down"), localized("Operation: Sync conflict"),
                  {localized("The local copy of %@ was kept as %@: the server's copy took its place",
                             {relativePath, copyRelative})});
}

}  // namespace ulmora
