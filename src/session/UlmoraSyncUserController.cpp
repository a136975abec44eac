#include "session/UlmoraSyncUserController.h"

#include <malloc.h>

#include <algorithm>
#include <iterator>

#include <map>
#include <string_view>
#include <unordered_set>

#include "capture/DBManager.h"
#include "capture/DeselectedFolders.h"
#include "capture/FolderEnumerator.h"
#include "capture/NEWFSEventWatcher.h"
#include "database/DatabaseMerger.h"
#include "foundation/QLUtility.h"
#include "journal/JournalFormat.h"
#include "journal/SyncRootPath.h"
#include "journal/UMSDBSyncInputManger.h"
#include "platform/FileUtil.h"
#include "platform/Trace.h"
#include "ipc/IpcMessage.h"
#include "ipc/MessageSendingModule.h"
#include "journal/CompanionMessenger.h"
#include "foundation/LoginDetails.h"
#include "ipc/IpcMessageTypes.h"
#include "session/UMSSharedInstanceManager.h"
#include "sync/MainSyncController.h"
#include "platform/ThreadCheck.h"

namespace ulmora {
namespace {

// Application files of the account.
constexpr int kDaemonPreferences = 2;
constexpr int kDatabaseFolder = 107;
constexpr int kBackupFileEntries = 113;
constexpr int kBackupFileEntriesAfterDelete = 114;
constexpr int kSelectiveSyncList = 133;
constexpr Clock::Duration kStartMergeWait = std::chrono::seconds(10);

void trace(const std::string& what) { traceLine("account: " + what); }

PropertyList writerDetails(const SyncSessionDetails& details) {
  PropertyList::Dict d{{"ConsoleUser", details.consoleUser}, {"SyncUser", details.syncUser}};
  return PropertyList(std::move(d));
}

SyncFilesController::Options writerOptions(Clock& clock, SyncFilesHost& host,
                                           NotificationPoster* poster) {
  SyncFilesController::Options o;
  o.clock = &clock;
  o.host = &host;
  o.poster = poster;
  return o;
}

SupportFilePaths pathsFor(const SyncSessionDetails& details) {
  SupportFilePaths paths;
  paths.setConsoleUserName(details.consoleUser);
  paths.setSyncUserName(details.syncUser);
  return paths;
}

std::unique_ptr<SyncController> makeSyncController(
    const UlmoraSyncUserController::Options& options, SyncContext context) {
  if (options.makeSyncController) return options.makeSyncController(std::move(context));
  return std::make_unique<MainSyncController>(std::move(context));
}

}  // namespace

UlmoraSyncUserController::UlmoraSyncUserController(SyncSessionDetails details, Options options)
    : details_(std::move(details)),
      options_(std::move(options)),
      registry_(options_.registry != nullptr ? *options_.registry
                                             : UMSSharedInstanceManager::sharedInstanceManager()),
      inputQueue_(options_.inputQueue != nullptr ? *options_.inputQueue
                                                 : UMSDBSyncInputManger::sharedManager()),
      clock_(options_.clock != nullptr ? *options_.clock : Clock::systemClock()),
      mainLoop_((options_.mainLoop != nullptr ? *options_.mainLoop : RunLoop::main()).handle()),
      paths_(pathsFor(details_)),
      dbFolder_(paths_.pathForApplicationFile(kDatabaseFolder)),
      filterQueue_(inputQueue_),
      collections_({details_.syncRootPath, applicationFile(kDaemonPreferences),
                    applicationFile(kBackupFileEntries),
                    applicationFile(kBackupFileEntriesAfterDelete), &filterQueue_}),
      database_(dbFolder_, details_.syncUser),
      syncFilesHost_(details_.syncRootPath, registry_, details_.consoleUser),
      syncFiles_(std::make_unique<SyncFilesController>(
          writerDetails(details_), writerOptions(clock_, syncFilesHost_, options_.poster))),
      syncFilesSink_(*syncFiles_),
      syncFilesControl_(*syncFiles_),
      sink_(options_.journalSink != nullptr ? *options_.journalSink : syncFilesSink_),
      eventJournal_(options_.eventJournal != nullptr ? *options_.eventJournal : syncFilesControl_),
      dbManager_(std::make_unique<DBManager>(database_, sink_, clock_)),
      workerLoop_(clock_) {
  syncFiles_->setDelegate(this);
  SyncContext context{details_, clock_,
                      options_.mainLoop != nullptr ? *options_.mainLoop : RunLoop::main(),
                      inputQueue_, collections_};
  context.eventJournal = syncFiles_.get();
  context.database = &database_;
  context.poster = options_.poster;
  syncController_ = makeSyncController(options_, std::move(context));
  totals_ = std::make_unique<UMDatabaseWrapper>(*syncController_);
}

UlmoraSyncUserController::~UlmoraSyncUserController() {
  shutdown();
  if (registry_.userControllerForCUser(details_.consoleUser, details_.syncUser) == this) {
    registry_.removeAccount(details_.consoleUser, details_.syncUser);
  }
  // Before anything it uses.
  totals_.reset();
  syncController_.reset();
}

// ---------------------------------------------------------------- life cycle

void UlmoraSyncUserController::start() {
  ULMORA_DCHECK_ON_LOOP(mainLoop_);
  if (started_) return;
  started_ = true;
  registry_.setUserController(this, details_.consoleUser, details_.syncUser);
  registry_.setSupportFilePaths(paths_, details_.consoleUser, details_.syncUser);
  registry_.setSyncFilesController(syncFiles_.get(), details_.consoleUser, details_.syncUser);

  folderUsable_ = fileutil::makeDirectories(details_.syncRootPath, fileutil::kOwnerOnlyFolder);
  if (!folderUsable_) trace("cannot create the sync folder \"" + details_.syncRootPath + "\"");
  if (dbFolder_.empty() || !fileutil::makeDirectories(dbFolder_, fileutil::kOwnerOnlyFolder)) {
    trace("no usable database folder for \"" + details_.syncUser + "\"");
  }
  collections_.loadExcludedFileListFor(details_.syncUser);
  // An account without a local database has never been scanned: its folder
  // is walked in full, as a reinitialise does.
  const bool newAccount = !localDatabaseExists();
  if (newAccount) trace("\"" + details_.syncUser + "\" has no local database; its folder is walked in full");
  startMerger();
  worker_ = std::thread([this] {
    RunLoop::setCurrent(&workerLoop_);
    workerLoop_.run();
    RunLoop::setCurrent(nullptr);
  });

  syncController_->initWithConsoleUser(details_);
  syncController_->setSharedUlmoraSyncUserController(this);
  const bool walk = options_.reinitializeDue || newAccount;
  if (walk) {
    reinitializing_ = true;
    syncController_->setReinitializeState(true);
  }
  didBackupSetOrUserChanged();
  activate(options_.unlinked);
  if (!folderUsable_) syncController_->notAbleTOCreateFolderAtPath();
  // After the start, whose clearing of the journals must not meet the walk's.
  if (walk && !options_.unlinked) startEnumeration();
}

void UlmoraSyncUserController::activate(bool unlinked) {
  ULMORA_DCHECK_ON_LOOP(mainLoop_);
  active_ = true;
  syncFilesHost_.setActive(true);
  installInInputQueue();
  if (folderUsable_ && options_.watchSyncRoot) startWatcher();
  if (unlinked) {
    trace("\"" + details_.syncUser + "\" is unlinked; the sync is not started");
    return;
  }
  syncController_->startSync();
}

void UlmoraSyncUserController::deactivate() {
  ULMORA_DCHECK_ON_LOOP(mainLoop_);
  active_ = false;
  syncFilesHost_.setActive(false);
  syncController_->stopSyncForUnlink(true);
  stopWatcher();
  stopEnumeration();
  if (hostInstalled_) {
    // What this account queued is written to its own journals before the
    // next account takes the queue over.
    inputQueue_.stopDBSyncInputAndWait();
    hostInstalled_ = false;
  }
}

void UlmoraSyncUserController::shutdown() {
  ULMORA_DCHECK_ON_LOOP(mainLoop_);
  if (shutDown_) return;
  shutDown_ = true;
  // First: its timers, runs and threads may use everything below.
  syncController_->shutdown();
  stopWatcher();
  stopEnumeration();
  if (worker_.joinable()) {
    workerLoop_.stop();
    worker_.join();
  }
  stopEventJournalWriter();
  if (hostInstalled_) inputQueue_.stopDBSyncInputAndWait();
  if (std::shared_ptr<DatabaseMerger> m = merger()) {
    if (!m->waitUntilMerged(options_.finalMergeLimit)) {
      trace("stopping with database batches not merged; they merge at the next start");
    }
  }
  stopMerger();
  if (hostInstalled_) {
    inputQueue_.setSyncInputHost(nullptr);
    inputQueue_.setNotificationPoster(nullptr);
    inputQueue_.setBatchPublishedHandler(nullptr);
    hostInstalled_ = false;
  }
}

void UlmoraSyncUserController::installInInputQueue() {
  inputQueue_.initializeAppSupportFilePaths(details_.consoleUser, details_.syncUser);
  inputQueue_.setSyncInputHost(syncController_.get());
  inputQueue_.setNotificationPoster(options_.poster);
  // The merger outlives no account; a batch written as it stops merges at
  // the next start.
  std::weak_ptr<DatabaseMerger> weak = merger();
  inputQueue_.setBatchPublishedHandler([weak] {
    if (std::shared_ptr<DatabaseMerger> m = weak.lock()) m->requestMerge();
  });
  hostInstalled_ = true;
  // The sync controller's start starts the queue's writer (and clears the
  // journals when it must): one owner, one order.
}

void UlmoraSyncUserController::stopEventJournalWriter() {
  syncFiles_->stopSyncFilesOperationWithReset(false);
  // The writer thread may take up to a slice to end; what the watcher handed
  // on as it stopped is written now rather than left to that thread's
  // timing. Ticks never overlap, so running one here is safe. Without
  // journal folders the writer never ran, and there is nowhere to write.
  if (!syncFiles_->folderPath(journal::kEventFolder).empty()) syncFiles_->timerFireMethod();
}

void UlmoraSyncUserController::startWatcher() {
  if (watcher_) return;
  NEWFSEventWatcher::Options o;
  o.syncRoot = details_.syncRootPath;
  o.clock = &clock_;
  o.database = &database_;
  // Left out of the sync on purpose: never deleted by a comparison.
  auto deselected = std::make_shared<DeselectedFolders>(
      paths_.pathForApplicationFile(kSelectiveSyncList), clock_);
  o.isDeselected = [deselected](const std::string& path) { return deselected->contains(path); };
  // What the last run recorded is merged before the start comparison reads
  // the database; a database that cannot merge holds it up only so long.
  o.settleDatabase = [this] {
    if (std::shared_ptr<DatabaseMerger> m = merger()) m->waitUntilMerged(kStartMergeWait);
  };
  // A folder found empty (an unmounted volume) and then filled again: what
  // it lacks is marked as still to download, so that no later start takes it
  // for a delete, and fetched.
  o.fetchMissing = [this](const std::vector<LocalFileRow>& missing) {
    std::map<std::string, std::string> marks, downloads;
    for (const LocalFileRow& row : missing) {
      marks.emplace(row.path, "NA");  // the recorded reference id stays
      downloads.emplace(row.path, row.size);
      collections_.addToAvoidBackup(row.path);
    }
    inputQueue_.addFileToUpdate(marks);
    inputQueue_.addRestoreFiles(downloads);
  };
  // A file set aside for the server's copy is missing until that download
  // writes it: its row must not read as the user's delete meanwhile.
  o.downloadsQueued = [this] { return inputQueue_.CheckifAnyRestoreFilesPending(); };
  watcher_ = std::make_unique<NEWFSEventWatcher>(o, sink_, collections_);
  if (!watcher_->start()) {
    trace("the watcher could not start; local changes are not seen");
    return;
  }
  // Nothing records what changed while the agent was not running: the
  // folder is compared with the local database. An account walked in full
  // (a new one, or a reinitialise) needs no second look.
  if (!reinitializing_ && localDatabaseExists()) watcher_->compareWithDatabaseAtStart();
}

void UlmoraSyncUserController::stopWatcher() {
  if (!watcher_) return;
  watcher_->stop();
  watcher_.reset();
}

// ---------------------------------------------------------------- merge

std::shared_ptr<DatabaseMerger> UlmoraSyncUserController::merger() const {
  MutexLock hold(mergerMutex_);
  return merger_;
}

void UlmoraSyncUserController::startMerger() {
  auto m = std::make_shared<DatabaseMerger>(dbFolder_, details_.syncUser, clock_);
  // Merged rows end a burst of work (a walk, a run of uploads or downloads):
  // the memory it freed goes back to the system then, not on a timer.
  m->setMergeObserver([](const MergeReport&) { ::malloc_trim(0); });
  m->start();
  MutexLock hold(mergerMutex_);
  merger_ = std::move(m);
}

void UlmoraSyncUserController::stopMerger() {
  std::shared_ptr<DatabaseMerger> m;
  {
    MutexLock hold(mergerMutex_);
    m = std::move(merger_);
  }
  if (m) m->stop();
}

bool UlmoraSyncUserController::localDatabaseExists() const {
  return !dbFolder_.empty() &&
         fileutil::exists(fileutil::joinPath(dbFolder_, details_.syncUser) + ".ql");
}

std::set<std::string> UlmoraSyncUserController::deselectedFolders() const {
  // The same reading of the selective-sync list as the watcher's.
  const auto folders = DeselectedFolders::readList(applicationFile(kSelectiveSyncList));
  return folders ? std::set<std::string>(folders->begin(), folders->end()) : std::set<std::string>{};
}

void UlmoraSyncUserController::removeLocalDatabase() {
  if (dbFolder_.empty()) return;
  const std::string base = fileutil::joinPath(dbFolder_, details_.syncUser);
  for (const char* suffix : {".ql", ".ql-wal", ".ql-shm", ".pending"}) {
    if (!fileutil::removeAll(base + suffix)) trace("could not remove \"" + base + suffix + "\"");
  }
}

// ---------------------------------------------------------------- commands

bool UlmoraSyncUserController::handleCommand(const IpcMessage& message) {
  ULMORA_DCHECK_ON_LOOP(mainLoop_);
  const std::string loginDetails = applicationFile(26);
  switch (message.type) {
    case messagetype::kStartSync:
      syncController_->startSync();
      return true;
    case messagetype::kPause:
    case messagetype::kResume: {
      const bool pause = message.type == messagetype::kPause;
      // The sync's gate reads the pause from the login details.
      LoginDetails::setFlag(loginDetails, LoginDetails::kPauseKey, pause);
      if (std::shared_ptr<CompanionMessenger> finder = finderMessenger()) {
        finder->sendIPCMessage(message.payload, message.type, false);
      }
      if (pause) {
        syncController_->PauseSync();
      } else {
        syncController_->ResumeSync();
      }
      return true;
    }
    case messagetype::kUnlink:
    case messagetype::kUnlinkToo:
      UnlinkSync();
      return true;
    case messagetype::kReinitialize:
      syncController_->ReinitializeSync();
      DeleteLocalDBAndEnumerate();
      return true;
    case messagetype::kSelectiveSyncChanged:
      syncController_->selectiveSyncModefied();
      return true;
    case messagetype::kFileVersion: {
      const std::string* path = message.payload.asString();
      if (path == nullptr) {
        trace("a version request without a path is ignored");
      } else {
        syncController_->ShowVersion(*path);
      }
      return true;
    }
    default:
      return false;
  }
}

void UlmoraSyncUserController::UnlinkSync() {
  ULMORA_DCHECK_ON_LOOP(mainLoop_);
  syncController_->UnlinkSync();
  syncController_->stopSyncForUnlink(true);
}

void UlmoraSyncUserController::DeleteLocalDBAndEnumerate() {
  ULMORA_DCHECK_ON_LOOP(mainLoop_);
  reinitializing_ = true;
  syncController_->setReinitializeState(true);
  stopEnumeration();
  // The merge thread must not hold the database while it goes.
  stopMerger();
  removeLocalDatabase();
  startMerger();
  startEnumeration();
}

void UlmoraSyncUserController::startEnumeration() {
  stopEnumeration();
  if (!folderUsable_) {
    trace("reinitialise: the sync folder is not usable; nothing to walk");
    enumerationFinished(false);
    return;
  }
  enumeration_ = std::jthread([this, deselected = deselectedFolders()](std::stop_token stop) {
    FolderEnumerator::Options o;
    o.root = details_.syncRootPath;
    o.deselectedFolders = deselected;
    FolderEnumerator walk(o, sink_, collections_);
    const bool completed = walk.run(stop).completed;
    mainLoop_.post(guard_.wrap([this, completed] { enumerationFinished(completed); }));
  });
}

void UlmoraSyncUserController::stopEnumeration() {
  if (!enumeration_.joinable()) return;
  enumeration_.request_stop();
  enumeration_.join();
}

void UlmoraSyncUserController::enumerationFinished(bool completed) {
  ULMORA_DCHECK_ON_LOOP(mainLoop_);
  trace(std::string("the walk of the sync root ") + (completed ? "finished" : "did not complete"));
  if (reinitializing_) syncController_->startSyncListingAllFiles(0);
}

// ---------------------------------------------------------------- journal writer

void UlmoraSyncUserController::didDBQueryFinishedForBackupFiles(
    const std::vector<std::string>& paths) {
  trace("the database lists " + std::to_string(paths.size()) + " files to upload");
}

void UlmoraSyncUserController::didDBQueryForRDDBCompleated() {
  trace("the rename/delete database was read");
}

void UlmoraSyncUserController::didBackupSetOrUserChanged() {
  ULMORA_DCHECK_ON_LOOP(mainLoop_);
  eventJournal_.stopSyncFilesOperationWithReset(true);
}

void UlmoraSyncUserController::accountLoggedOutWithUnlink(bool unlink) {
  ULMORA_DCHECK_ON_LOOP(mainLoop_);
  if (unlink) return;
  eventJournal_.stopSyncFilesOperationWithReset(false);
}

void UlmoraSyncUserController::checkSelectiveSyncFolders() {
  ULMORA_DCHECK_ON_LOOP(mainLoop_);
  eventJournal_.clearBackupRestoreSyncFiles();
  eventJournal_.deleteFileFor("1", false);
  eventJournal_.deleteFileFor("4", false);
  eventJournal_.setShouldWriteSyncFiles(true);
}

void UlmoraSyncUserController::clearOBInformationsFromDB() {
  ULMORA_DCHECK_ON_LOOP(mainLoop_);
  eventJournal_.clearOBSyncFiles();
  eventJournal_.deleteOBFileFor("7", false);
  eventJournal_.setOBFileWritingFlag(true);
}

void UlmoraSyncUserController::checkForOBFolders() {
  ULMORA_DCHECK_ON_LOOP(mainLoop_);
  eventJournal_.clearOBSyncFiles();
  eventJournal_.deleteOBFileFor("7", false);
}

void UlmoraSyncUserController::startOBFolderEnumeration() {
  ULMORA_DCHECK_ON_LOOP(mainLoop_);
  eventJournal_.setOBFileWritingFlag(true);
}

void UlmoraSyncUserController::checkForDBQueryAfterRename() {
  ULMORA_DCHECK_ON_LOOP(mainLoop_);
  eventJournal_.resetBackupCount();
}

// ---------------------------------------------------------------- owner interface

std::string UlmoraSyncUserController::syncFolderForUser(const std::string& /*user*/) const {
  return details_.syncRootPath;
}

std::string UlmoraSyncUserController::createRelativePathToUlmoraSync(
    const std::string& path) const {
  return SyncRootPath(details_.syncRootPath).relative(path);
}

std::shared_ptr<CompanionMessenger> UlmoraSyncUserController::finderMessenger() const {
  return active_ ? syncFilesHost_.finderMessenger() : nullptr;
}

std::shared_ptr<CompanionMessenger> UlmoraSyncUserController::monitorMessenger() const {
  return active_ ? syncFilesHost_.monitorMessenger() : nullptr;
}

void UlmoraSyncUserController::setisReinitializeState(bool state) { reinitializing_ = state; }

bool UlmoraSyncUserController::isSubAccount() const {
  return LoginDetails::isSubAccount(
      QLUtility::pathForTemplateKey("UMLoginDetailsFile", details_.consoleUser));
}

void UlmoraSyncUserController::queryMainDB(int option) {
  postToWorker([this, option] { performQueryMainDB(option); });
}

void UlmoraSyncUserController::performQueryMainDB(int option) {
  // Rows of a run that just ended may still wait in the queue's
  // write-behind: read without them, the database would hand back the files
  // that run just moved, and the next run would be the same set again (held
  // for a minute, then a run with nothing to do). They are counted as they
  // will be written, not written here: only the writer thread writes rows
  // (beside it a second writer could order one path's rows wrongly), and
  // at its pace a first sync's rows take minutes that the files the
  // database alone lists as still to fetch would wait.
  using Pending = UMSDBSyncInputManger::PendingRow;
  UMSDBSyncInputManger::PendingRows pending = inputQueue_.pendingRows();
  if (!pending.exact) {
    inputQueue_.flushDatabaseBatches();
    pending = inputQueue_.pendingRows();
  }
  if (std::shared_ptr<DatabaseMerger> m = merger()) {
    if (!m->waitUntilMerged(options_.mergeWaitLimit)) {
      trace("queryMainDB: database batches are still unmerged; the database is read as it is");
    }
  }
  // The database's paths of one kind, less those whose pending row says
  // otherwise, with the pending rows of that kind the database lacks.
  const auto overlay = [&pending](std::vector<std::string>& paths, Pending kind) {
    std::erase_if(paths, [&](const std::string& p) {
      auto it = pending.rows.find(p);
      return it != pending.rows.end() && it->second != kind;
    });
    std::vector<std::string> more;
    {
      // Views, not copies: a first sync lists 100,000s of paths here, and
      // `paths` stays as it is while they are looked at.
      const std::unordered_set<std::string_view> listed(paths.begin(), paths.end());
      for (const auto& [path, row] : pending.rows)
        if (row == kind && !listed.contains(path)) more.push_back(path);
    }
    std::sort(more.begin(), more.end());
    paths.insert(paths.end(), std::make_move_iterator(more.begin()), std::make_move_iterator(more.end()));
  };
  if (option == 0 || option == 1)
    dbManager_->performDBQueryForBackupFiles(
        [&overlay](std::vector<std::string>& paths) { overlay(paths, Pending::kToUpload); });
  if (option == 0 || option == 2) {
    std::unordered_set<std::string> waiting;
    {
      std::vector<std::string> queued = inputQueue_.CheckifAnyRestoreFilesPending();
      waiting.reserve(queued.size());
      for (std::string& p : queued) waiting.insert(std::move(p));
    }
    dbManager_->performDBQueryForRestoreFiles([&](std::vector<std::string>& paths) {
      overlay(paths, Pending::kToDownload);
      // A download queued twice would leave one copy to outlive the file's arrival.
      std::erase_if(paths, [&waiting](const std::string& p) { return waiting.contains(p); });
      // A file a download wrote and the user edited since: fetching that
      // version again would replace the edit, which goes up instead.
      std::erase_if(paths, [this](const std::string& p) { return collections_.isChangedSinceDownload(p); });
      // The files these downloads write are the server's: without the
      // mark, capture takes each for a local change and sends it back.
      for (const std::string& p : paths) collections_.addToAvoidBackup(p);
    });
  }
}

std::vector<std::string> UlmoraSyncUserController::queryMainDBForChickInsyncStatus() {
  std::vector<std::string> paths;
  const SyncRootPath root(details_.syncRootPath);
  for (auto list : {database_.pathsToUpload(), database_.pathsToDownload()}) {
    if (!list) continue;
    for (const std::string& p : *list) paths.push_back(root.full(p));
  }
  return paths;
}

void UlmoraSyncUserController::postToWorker(std::function<void()> task) {
  workerLoop_.post(std::move(task));
}

void UlmoraSyncUserController::queryMainDBForTotalCountAndSizeOfBackupFiles() {
  postToWorker([this] { totals_->totalNumberOfFilesAndSizeToBackup(dbFolder_, details_.syncUser); });
}

void UlmoraSyncUserController::queryMainDBForTotalCountAndSizeOfRestoreFiles() {
  postToWorker([this] { totals_->totalNumberOfFilesAndSizeToRestore(dbFolder_, details_.syncUser); });
}

}  // namespace ulmora
