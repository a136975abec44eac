// Construction, the shared instance, startSync, the timers and the orderly
// stop of the account's sync controller.
#include "sync/MainSyncController.h"

#include <unistd.h>

#include <utility>

#include "capture/ExcludedFilesCollections.h"
#include "database/DataBaseWrapper.h"
#include "engine/KVTBackupManager.h"
#include "foundation/QLBackupProgressLogger.h"
#include "foundation/QLLocalizedString.h"
#include "foundation/QLUtility.h"
#include "foundation/StringExtensions.h"
#include "ipc/IpcMessageTypes.h"
#include "journal/CompanionMessenger.h"
#include "journal/UMSDBSyncInputManger.h"
#include "platform/FileUtil.h"
#include "platform/IdleMarker.h"
#include "platform/ThreadCheck.h"
#include "platform/UserDefaults.h"
#include "sync/control/AccountSettings.h"
#include "sync/control/SyncControllerOwner.h"
#include "sync/control/SyncGate.h"

namespace ulmora {
namespace {

// Application files.
constexpr int kApplicationRootFolder = 0;
constexpr int kApplicationUserFolder = 1;
constexpr int kDaemonPreferences = 2;
constexpr int kInProcessState = 25;
constexpr int kLastUserLoginDetails = 26;
constexpr int kLogsFolder = 31;
constexpr int kSessionLogsFolder = 32;
constexpr int kRootUserFolder = 50;
constexpr int kProxySettings = 84;
constexpr int kDefaultKeyList = 94;
constexpr int kSyncFolderList = 110;
constexpr int kUserQuotaDetails = 124;
constexpr int kSystemInIdleState = 152;

constexpr const char* kListingIndexFile = "indexFile.txt";

// The shared instance: set by construction, cleared by shutdown, so a
// controller that is going away is never handed out. Main thread.
Mutex sharedMutex;
MainSyncController* sharedInstance ULMORA_GUARDED_BY(sharedMutex) = nullptr;

}  // namespace

MainSyncController::MainSyncController(SyncContext context)
    : ctx_(std::move(context)), workerLoop_(ctx_.clock) {
  initializeSync();
  MutexLock hold(sharedMutex);
  sharedInstance = this;
}

void MainSyncController::initializeSync() {
  // Each concern builds its collaborators, in this order: a concern takes
  // the ones built before it.
  buildLifecycle();
  buildProgress();
  buildControl();
  buildListing();
  buildUpload();
  buildPush();
  // Partial downloads of an earlier run are removed.
  serverRoad_->downloads().deleteHalfRestoredFiles();
}

MainSyncController::~MainSyncController() { shutdown(); }

MainSyncController* MainSyncController::sharedController() {
  MutexLock hold(sharedMutex);
  if (sharedInstance == nullptr) daemonTrace("sharedController: no sync controller is running");
  return sharedInstance;
}

void MainSyncController::buildLifecycle() {
  const SyncSessionDetails& s = ctx_.session;
  appSupportFilePaths_.setConsoleUserName(s.consoleUser);
  appSupportFilePaths_.setSyncUserName(s.syncUser);
  m_consoleUserID_ = QLUtility::currentConsoleUserID();
  {
    MutexLock hold(identityMutex_);
    mUlmoraSyncRootPath_ = s.syncRootPath;
  }
  enginePath_ = ctx_.enginePath.empty() ? QLLocalizedString("ExecuterPathKVT") : ctx_.enginePath;

  AccountSettings::Files files;
  files.loginDetails = applicationFile(kLastUserLoginDetails);
  files.syncFolders = applicationFile(kSyncFolderList);
  files.defaultKeys = applicationFile(kDefaultKeyList);
  files.daemonPreferences = applicationFile(kDaemonPreferences);
  files.idleMarker = applicationFile(kSystemInIdleState);
  files.sessionLogsFolder = applicationFile(kSessionLogsFolder);
  files.sessionListing = fileutil::joinPath(applicationFile(kApplicationUserFolder), "SessionLogsNew/Sync");
  files.proxySettings = applicationFile(kProxySettings);
  settings_ = std::make_unique<AccountSettings>(
      std::move(files), SettingsEncoding::blockingEngineEncoder(enginePath_),
      [](const std::string& stored) { return decryptedString(stored); });
  settingsEncoding_ = std::make_unique<SettingsEncoding>(SettingsEncoding::Parts{
      *settings_, state_, ctx_.collections, ctx_.mainLoop, applicationFile(kUserQuotaDetails),
      SettingsEncoding::engineEncoder(enginePath_), static_cast<SettingsEncodingAccount&>(*this)});
  timers_ = std::make_unique<SyncTimers>(ctx_.mainLoop, static_cast<SyncTimersHost&>(*this));
  // The network state is known before anything else asks for it.
  reachability_ = std::make_unique<AccountReachability>(AccountReachability::Parts{
      ctx_.clock, ctx_.mainLoop, state_, *settings_, ctx_.makeReachability,
      static_cast<AccountReachabilityHost&>(*this)});

  checkForApplicationSupportFolders();
  if (ctx_.defaults == nullptr) {
    ownDefaults_ = std::make_unique<UserDefaults>(
        fileutil::joinPath(applicationFile(kApplicationUserFolder), "Defaults.plist"));
  }
  for (auto* logger : {&mSyncCreateDirLogger_, &mSyncUpLogger_, &mSyncDownLogger_,
                       &mSyncRenameLogger_, &mRenameLogger_, &mDeleteLogger_}) {
    *logger = std::make_unique<QLBackupProgressLogger>(&ctx_.clock);
  }
  databaseHandler_ = std::make_unique<DataBaseWrapper>();

  // The queue learns this account's folders before anything reads or clears them.
  ctx_.inputQueue.initializeAppSupportFilePaths(s.consoleUser, s.syncUser);

  engines_ = std::make_unique<AccountEngines>(
      AccountEngines::Setup{s.consoleUser, s.syncUser, enginePath_, applicationFile(kApplicationUserFolder),
                            ctx_.makeEngineManager},
      ctx_.clock);
  thumbnails_ = std::make_unique<Thumbnails>(
      Thumbnails::Account{s.consoleUser, s.syncUser, applicationFile(kRootUserFolder)}, ctx_.clock, ctx_.mainLoop, state_,
      static_cast<ThumbnailHost&>(*this));

  idleMarker_ = std::make_unique<IdleMarker>(
      applicationFile(kSystemInIdleState),
      ctx_.idleProbe ? ctx_.idleProbe : [clock = &ctx_.clock] {
        return IdleMarker::terminalIdleTime(getuid(), *clock);
      });
  idleMarker_->update();
  idleTimer_ = ctx_.mainLoop.scheduleTimer(IdleMarker::kCheckInterval, true,
                                           guard_.wrap([this](RunLoopTimer&) { idleMarker_->update(); }));

  worker_ = std::thread([this] {
    RunLoop::setCurrent(&workerLoop_);
    workerLoop_.run();
    RunLoop::setCurrent(nullptr);
  });
}

// ---------------------------------------------------------------- stop

void MainSyncController::shutdown() {
  ULMORA_DCHECK_ON_LOOP(ctx_.mainLoop);
  if (shutDown_.exchange(true)) return;
  {
    MutexLock hold(sharedMutex);
    if (sharedInstance == this) sharedInstance = nullptr;
  }
  daemonTrace("sync controller of \"" + ctx_.session.syncUser + "\" stops");
  // Timers, delayed messages and worker tasks do nothing from here on; one
  // running on another thread is waited for.
  guard_.invalidate();
  settingsEncoding_->stop();
  timers_->stop();
  if (idleTimer_) idleTimer_->invalidate();
  idleTimer_.reset();
  if (worker_.joinable()) {
    workerLoop_.stop();
    worker_.join();
  }
  // The concerns end their own threads, in the reverse order of their
  // building; their collaborators stay whole until the controller goes.
  stopPush();
  stopUpload();
  stopListing();
  stopControl();
  stopProgress();
  // Then the engine runs, listings and thumbnail jobs (each joins its
  // threads); their last callbacks still find every collaborator whole, and
  // no thread of a concern is left to call them.
  engines_->stop();
  thumbnails_->stop();
  reachability_->stop();
}

void MainSyncController::postToMain(RunLoop::Task task) { ctx_.mainLoop.post(guard_.wrap(std::move(task))); }

void MainSyncController::postToWorker(RunLoop::Task task) {
  workerLoop_.post(guard_.wrap(std::move(task)));
}

// ---------------------------------------------------------------- identity

void MainSyncController::initWithConsoleUser(const SyncSessionDetails& session) {
  ULMORA_DCHECK_ON_LOOP(ctx_.mainLoop);
  // The controller was built with its session; a different one is a caller's
  // mistake that must not re-point a running account.
  if (!(session == ctx_.session)) {
    daemonTrace("initWithConsoleUser: a different session is ignored (" + session.syncUser + ")");
  }
}

void MainSyncController::setSharedUlmoraSyncUserController(SyncControllerOwner* owner) {
  ULMORA_DCHECK_ON_LOOP(ctx_.mainLoop);
  owner_ = owner;
}

void MainSyncController::setReinitializeState(bool state) {
  ULMORA_DCHECK_ON_LOOP(ctx_.mainLoop);
  MutexLock hold(state_.listing.mutex);
  state_.listing.isReinitialize = state;
}

bool MainSyncController::getReinitializeState() const {
  ULMORA_DCHECK_ON_LOOP(ctx_.mainLoop);
  MutexLock hold(state_.listing.mutex);
  return state_.listing.isReinitialize;
}

std::string MainSyncController::applicationFile(int index) const {
  return appSupportFilePaths_.pathForApplicationFile(index);
}

std::string MainSyncController::syncUserName() { return ctx_.session.syncUser; }

std::string MainSyncController::getUlmoraSyncRootPath() {
  MutexLock hold(identityMutex_);
  return mUlmoraSyncRootPath_;
}

std::string MainSyncController::getSyncFilePath() const { return applicationFile(kInProcessState); }

bool MainSyncController::isListingGoingOn() const {
  MutexLock hold(state_.listing.mutex);
  return state_.listing.listingStartedfromZeroIndex;
}

// ---------------------------------------------------------------- folders, engines

void MainSyncController::checkForApplicationSupportFolders() {
  // Owner-only: these folders hold the account's credentials and journals.
  for (int index : {kApplicationRootFolder, kApplicationUserFolder, kSessionLogsFolder, kLogsFolder}) {
    const std::string folder = applicationFile(index);
    if (folder.empty()) continue;
    if (!fileutil::makeDirectories(folder, fileutil::kOwnerOnlyFolder) ||
        !fileutil::setMode(folder, fileutil::kOwnerOnlyFolder)) {
      daemonTrace("checkForApplicationSupportFolders: cannot prepare \"" + folder + "\"");
    }
  }
}

// ---------------------------------------------------------------- start

void MainSyncController::startSync() {
  ULMORA_DCHECK_ON_LOOP(ctx_.mainLoop);
  if (shutDown_) return;
  const int gate = shouldSync();
  if (!syncgate::startMayProceed(gate)) {
    daemonTrace("startSync: the gate answers " + std::to_string(gate));
    if (gate == syncgate::kPaused || gate == syncgate::kMoveInProgress) {
      // The first tick that finds the gate open finishes this start.
      state_.cycle.startPending = true;
      timers_->scheduleSyncOperationTimer();
    }
    return;
  }
  startSyncAfterGate();
}

void MainSyncController::completePendingStart() {
  ULMORA_DCHECK_ON_LOOP(ctx_.mainLoop);
  if (std::exchange(state_.cycle.startPending, false)) {
    daemonTrace("the gate is open: the refused start goes on");
    startSyncAfterGate();
  }
}

void MainSyncController::startSyncAfterGate() {
  ULMORA_DCHECK_ON_LOOP(ctx_.mainLoop);
  state_.cycle.startPending = false;
  DownloadDispatcher& downloads = serverRoad_->downloads();
  downloads.deleteHalfRestoredFiles();
  state_.cycle.mAccountLoggedOutUnlinked = false;
  setUserData();

  // The journals are settled before startSync returns: the account
  // controller starts a reinitialise's walk right after it, and a clear
  // that came later would drop what the walk queued. Nothing here reads the
  // settings.
  // The writer's folders are known before a clear, so the clear reaches them,
  // also when the writer already runs (a repeated start).
  UMSDBSyncInputManger& queue = ctx_.inputQueue;
  queue.initializeAppSupportFilePaths(ctx_.session.consoleUser, ctx_.session.syncUser);
  queue.setFolderPaths();
  const auto startWriter = [&queue](bool clear) {
    if (clear) queue.clearSyncFiles();
    queue.startDBSyncInput(false);
  };
  const std::string indexFile =
      fileutil::joinPath(applicationFile(kRootUserFolder), kListingIndexFile);
  const bool reinitialise = getReinitializeState();
  const bool indexKept = !reinitialise && fileutil::exists(indexFile);
  if (reinitialise) {
    startWriter(true);
    downloads.ClearBackupRelatedFileEntries();
    downloads.ClearRestoreRelatedFileEntries();
  } else {
    startWriter(!indexKept);
    downloads.ClearRestoreRelatedFileEntries();
  }
  // The rest sends the root, starts listings and makes the media uploader:
  // each takes the account's values, so it waits for their secrets.
  settingsEncoding_->afterSettingsEncoded([this, reinitialise, indexKept] {
    if (shutDown_) return;
    sendRootMessagesToFinder();

    state_.cycle.duringPauseGotPns = false;
    ctx_.inputQueue.setShouldReturnBackupEntries(true);
    setEnableListeningNotifications(true);

    timers_->scheduleSyncOperationTimer();
    timers_->schedulePeriodicTimer();
    timers_->scheduleKeepAliveTimer();
    {
      MutexLock hold(state_.listing.mutex);
      state_.listing.isTenMinutesListing = true;
    }

    if (reinitialise) {
      // The walk's end asks for the listing.
    } else if (indexKept) {
      {
        MutexLock hold(state_.listing.mutex);
        state_.listing.listingStartedfromZeroIndex = true;
      }
      controlRoom_->control().resetToolTips();
      startSyncListingAllFiles(1);
      queryMainDB(1);
    } else {
      startSyncListingAllFiles(0);
      queryMainDB(1);
    }

    thumbnails_->makeImageUploader();
    daemonTrace("from start sync calculate quota called");
    controlRoom_->runCalQuotaInThread("YES");
  });
}

void MainSyncController::sendToFinder(int type) {
  SyncControllerOwner* o = owner();
  std::shared_ptr<CompanionMessenger> finder = o != nullptr ? o->finderMessenger() : nullptr;
  if (finder == nullptr) return;
  finder->sendIPCMessage(PropertyList(getUlmoraSyncRootPath()), type, true);
}

void MainSyncController::sendRootMessagesToFinder() {
  sendToFinder(messagetype::kFinderSyncRoot);
  // The second message follows on the main loop, in order, instead of after
  // a sleep that would hold every command and timer of the agent.
  ctx_.mainLoop.postDelayed(guard_.wrap([this] { sendToFinder(messagetype::kFinderSyncRootAgain); }),
                            kSecondRootMessageDelay);
}

// ---------------------------------------------------------------- timers

void MainSyncController::syncOperation() {
  ULMORA_DCHECK_ON_LOOP(ctx_.mainLoop);
  if (shutDown_) return;
  // Every run a tick may start takes the account's encoded secrets.
  if (settingsEncoding_->pending()) {
    daemonTrace("syncOperation: the account settings are being read; the tick waits");
    return;
  }
  runSyncCycleTick(*this);
}

void MainSyncController::periodicListening() {
  if (PushConcern* push = pushToStart()) push->periodicListening();
}

void MainSyncController::PushDummyNotification() {
  if (PushConcern* push = pushToStart()) push->PushDummyNotification();
}

void MainSyncController::createAllSyncTimers() {
  ULMORA_DCHECK_ON_LOOP(ctx_.mainLoop);
  if (shutDown_) return;
  timers_->createAllSyncTimers();
}

void MainSyncController::cancelAllSyncTimers() {
  ULMORA_DCHECK_ON_LOOP(ctx_.mainLoop);
  timers_->cancelAllSyncTimers();
}

}  // namespace ulmora
