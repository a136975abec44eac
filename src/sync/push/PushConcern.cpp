#include "sync/push/PushConcern.h"

#include <filesystem>
#include <mutex>
#include <system_error>

#include "capture/ExcludedFilesCollections.h"
#include "engine/KVTBackupManager.h"
#include "foundation/QLBackupProgressLogger.h"
#include "foundation/QLUtility.h"
#include "journal/CompanionMessenger.h"
#include "journal/NotificationPoster.h"
#include "journal/SyncRootPath.h"
#include "journal/UMSDBSyncInputManger.h"
#include "platform/ThreadCheck.h"
#include "service/SynListingController.h"
#include "sync/control/SyncControllerOwner.h"
#include "sync/runs/SeenVersionRule.h"
#include "sync/server/ServerRoad.h"
#include "sync/status/SyncTraceTexts.h"
#include "sync/upload/UploadRoad.h"

namespace ulmora {
namespace {

constexpr int kLoginDetailsFile = 26;

PropertyList pathList(const std::vector<std::string>& paths) {
  PropertyList::Array items;
  for (const std::string& p : paths) items.emplace_back(p);
  return PropertyList(std::move(items));
}

RenameDeleteOptions renameDeleteOptions(Clock& clock, AccountState& state) {
  RenameDeleteOptions options;
  options.clock = &clock;
  options.runningFlags = &state.push.workers;
  return options;
}

}  // namespace

PushConcern::PushConcern(Parts p)
    : files_(p.files),
      session_(std::move(p.session)),
      mainLoop_(p.mainLoop),
      poster_(p.poster),
      queue_(p.queue),
      filters_(p.filters),
      state_(p.state),
      settings_(p.settings),
      progress_(p.progress),
      control_(p.control),
      server_(p.server),
      uploads_(p.uploads),
      uploadManager_(p.uploadManager),
      renameLogger_(p.renameLogger),
      timers_(p.timers),
      account_(p.account),
      renameDeleteEngine_(renameDeleteController_, [this](KVTRenameDeleteController& k) { fillAccount(k); }),
      createDirEngine_(*this, createDirController_),
      handler_(*this, p.mainLoop),
      renameDelete_(*this, renameDeleteEngine_, *this, p.mainLoop, renameDeleteOptions(p.clock, p.state)),
      folderCreation_(*this, createDirEngine_, *this, p.mainLoop, &p.state.push.workers) {
  renameDeleteController_.setExecutorPath(p.enginePath);
  renameDeleteController_.initializeApplicationSupportPaths(session_.consoleUser, session_.syncUser);
  renameDeleteController_.setDelegate(&renameDelete_);
  renameDeleteController_.setHost(this);
  renameDeleteController_.setNotificationPoster(p.poster);
  createDirController_.setExecutorPath(p.enginePath);
  createDirController_.initializeApplicationSupportPaths(session_.consoleUser, session_.syncUser);
  createDirController_.setDelegate(&folderCreation_);
  handler_.setUserName(session_.syncUser);
}

PushConcern::~PushConcern() { stop(); }

void PushConcern::stop() {
  guard_.invalidate();
  renameDelete_.cancel();
  folderCreation_.cancel();
  renameDelete_.join();
  folderCreation_.join();
  handler_.setEnableListeningNotifications(false);
}

void PushConcern::refreshAccount() {
  const AccountSettings::Values v = settings_.values();
  if (!v.guserName.empty()) handler_.setUserName(v.guserName);
  if (!v.gPNSServer.empty()) handler_.setServerURL(v.gPNSServer);
}

// ---------------------------------------------------------------- push

void PushConcern::setEnableListeningNotifications(bool enable) {
  ULMORA_DCHECK_ON_LOOP(mainLoop_);
  refreshAccount();
  handler_.setEnableListeningNotifications(enable);
}

void PushConcern::startPushing(const std::string& topic, const std::string& messageID, const std::string& filePath) {
  ULMORA_DCHECK_ON_LOOP(mainLoop_);
  refreshAccount();
  handler_.startPushing(topic, messageID, filePath);
}

void PushConcern::periodicListening() {
  ULMORA_DCHECK_ON_LOOP(mainLoop_);
  refreshAccount();
  handler_.periodicListening();
}

void PushConcern::PushDummyNotification() {
  ULMORA_DCHECK_ON_LOOP(mainLoop_);
  refreshAccount();
  handler_.PushDummyNotification();
}

// ---------------------------------------------------------------- PushHost

std::optional<std::string> PushConcern::machineID() { return QLUtility::machineID(); }

void PushConcern::sendToMonitor(const std::string& text, int type) {
  SyncControllerOwner* o = account_.accountOwner();
  std::shared_ptr<CompanionMessenger> monitor = o != nullptr ? o->monitorMessenger() : nullptr;
  if (monitor) monitor->sendIPCMessage(PropertyList(text), type, true);
}

void PushConcern::addNotificationFilesInfo() { queue_.addNotificationFilesInfo(); }
bool PushConcern::isBackupRunning() { return uploadManager_.isRunning(); }
void PushConcern::removeLoginDetailsFile() {
  QLUtility::removeFile(files_.pathForApplicationFile(kLoginDetailsFile));
}

bool PushConcern::isListingRunning() {
  SynListingController* listing = account_.liveChangeListing();
  return listing != nullptr && listing->isRunning();
}

void PushConcern::cancelListing() {
  if (SynListingController* listing = account_.liveChangeListing()) listing->cancel();
}

bool PushConcern::isSyncTimerValid() {
  return timers_.isSyncOperationTimerValid();
}

std::string PushConcern::syncTimerDescription() {
  return synctexts::timerDescription(timers_.syncOperationTimer());
}

void PushConcern::resetPeriodicTimer() {
  timers_.invalidatePeriodicTimer();
  timers_.schedulePeriodicTimer();
}

void PushConcern::resetDummyTimer() {
  timers_.invalidateKeepAliveTimer();
  timers_.scheduleKeepAliveTimer();
}

void PushConcern::setDuringPauseGotPns(bool value) {
  ULMORA_DCHECK_ON_LOOP(mainLoop_);
  state_.cycle.duringPauseGotPns = value;
}

// ---------------------------------------------------------------- the workers' queue

bool PushConcern::CheckIfAnyRenameDeleteOrCreateDirOccured() {
  return queue_.CheckIfAnyRenameDeleteOrCreateDirOccured();
}
std::optional<PropertyList> PushConcern::parseEventsToGetEventSets() { return queue_.parseEventsToGetEventSets(); }
void PushConcern::deleteFileFor(const std::string& code, bool onlyRedItems) {
  queue_.deleteFileFor(code, onlyRedItems);
}
void PushConcern::addDeleteFiles(const std::string& path) { queue_.addDeleteFiles(path); }
void PushConcern::addRenamedFiles(const RenameEntry& rename) { queue_.addRenamedFiles(rename); }
void PushConcern::addBackupFiles(const std::string& fullPath) { queue_.addBackupFiles(fullPath); }
void PushConcern::addFileToBackup(const std::string& path) { queue_.addFileToBackup(path); }
void PushConcern::addDirectory(const std::string& fullPath) { queue_.addDirectory(fullPath); }
void PushConcern::recordFolderInSync(const std::string& relativeFolder) {
  queue_.addFileToUpdate({{relativeFolder, "Backup"}});
}
void PushConcern::setShouldReturnBackupEntries(bool value) { queue_.setShouldReturnBackupEntries(value); }
void PushConcern::deleteFileEntryFromRDDB(const std::string& fullPath) { queue_.deleteFileEntryFromRDDB(fullPath); }
PropertyList PushConcern::readCreateDirJournal() { return queue_.readFileFor("6"); }
void PushConcern::deleteCreateDirJournal() { queue_.deleteFileFor("6", true); }

// ---------------------------------------------------------------- the workers' account

std::string PushConcern::syncUserName() {
  const std::string user = settings_.values().guserName;
  return user.empty() ? session_.syncUser : user;
}

void PushConcern::reloadAccountUserNameIfEmpty() {
  if (!accountUserName().empty()) return;
  mainLoop_.post(guard_.wrap([this] {
    if (accountUserName().empty()) account_.setUserData();
  }));
}

void PushConcern::renamedOnServer(const std::string& oldPath, const std::string& newPath) {
  // A folder's version is never checked; the files in it keep their rows.
  const SyncRootPath root(syncRootPath());
  std::error_code ec;
  if (newPath.ends_with('/') || (root.known() && std::filesystem::is_directory(root.full(newPath), ec))) {
    folderCreation_.folderMovedHere(oldPath, newPath);
    return;
  }
  if (!root.known()) return;
  handSeenVersionOn(filters_, oldPath, newPath, uploads_.seenVersionForUpload(oldPath));
}

void PushConcern::fetchServerVersion(const std::string& relativePath) {
  mainLoop_.post(guard_.wrap([this, relativePath] { server_.records().keepRefusedUpload(relativePath); }));
}

std::optional<engineset::SeenVersion> PushConcern::seenVersion(const std::string& relativePath) {
  return uploads_.seenVersionForUpload(relativePath);
}

void PushConcern::addRenamedPathsDuringListing(const std::vector<std::string>& oldPaths) {
  MutexLock hold(state_.push.mutex);
  state_.push.renamedPathDuringListing.insert(oldPaths.begin(), oldPaths.end());
}

void PushConcern::clearRenamedPathDuringListing() {
  MutexLock hold(state_.push.mutex);
  state_.push.renamedPathDuringListing.clear();
}

void PushConcern::setLastRenamedInfo(const std::string& fullOld, const std::string& fullNew) {
  MutexLock hold(state_.push.mutex);
  state_.push.lastRenameAttemps.push_back(RenameEntry{fullOld, fullNew});
}

void PushConcern::cancelUpload() {
  uploadManager_.setCancel(true);
  uploadManager_.CancelBackupProcess(false);
}

bool PushConcern::uploadSetHasPrefix(const std::string& relativePath) {
  return uploadManager_.folderSetHasPrefix(relativePath);
}

std::string PushConcern::deleteJournalFolder() { return queue_.getPathToDeleteFiles(); }
bool PushConcern::isInBackupList(const std::vector<std::string>& deleted) { return filters_.isInBackupList(deleted); }
std::vector<std::string> PushConcern::filterDeletedFolderToavoid(const std::vector<std::string>& paths) {
  return filters_.filterDeletedFolderToavoid(paths);
}
void PushConcern::clearDeleteFilter() { filters_.clearDeleteFilter(); }
void PushConcern::clearFolderCreationFilter() { filters_.clearFolderCreationFilter(); }

void PushConcern::sendToFinder(const std::vector<std::string>& fullPaths, int type, bool runInThread) {
  SyncControllerOwner* o = account_.accountOwner();
  std::shared_ptr<CompanionMessenger> finder = o != nullptr ? o->finderMessenger() : nullptr;
  if (finder) finder->sendIPCMessage(pathList(fullPaths), type, runInThread);
}

void PushConcern::postInSyncList(const std::vector<std::string>& fullPaths) {
  if (poster_ == nullptr) return;
  PropertyList info(PropertyList::Dict{});
  info.set("InsyncList", pathList(fullPaths));
  poster_->post("FilesInsyncListGot", info);
}

void PushConcern::writeSessionLog(const std::string& file, const std::string& text, bool withTimeStamp) {
  if (file.empty()) return;
  if (withTimeStamp) {
    renameLogger_.writeSessionLog(text, file, true);
  } else {
    renameLogger_.writeSessionLogWithoutTimeStamp(text, file, true);
  }
}

void PushConcern::logSyncInteractiveSession(const std::string& text, bool flush) {
  QLBackupProgressLogger::progressLogger().logSyncInteractiveSession(text, flush);
}

}  // namespace ulmora
