#include "engine/KVTBackupManager.h"

#include <utility>

#include "engine/EngineSetFiles.h"
#include "engine/KVTBackupManagerRun.h"
#include "platform/FileUtil.h"
#include "platform/Trace.h"

namespace ulmora {

namespace {

constexpr const char* kOperationFolder = "Operation";
constexpr const char* kUploadFolder = "syncUp";
constexpr const char* kDownloadFolder = "syncDown";
constexpr const char* kCancelFile = "intCancel";
constexpr const char* kThrottleFile = "QLThrottle";
constexpr int kBackupFileEntries = 113;

}  // namespace

KVTBackupManager::KVTBackupManager(Clock& clock) : clock_(clock) {}

KVTBackupManager::~KVTBackupManager() { shutdown(); }

void KVTBackupManager::shutdown() {
  std::shared_ptr<Run> run;
  std::vector<std::thread> threads;
  {
    MutexLock lock(mutex_);
    if (shutDown_) return;
    shutDown_ = true;
    run = activeRun_;
    if (runThread_.joinable()) threads.push_back(std::move(runThread_));
    for (std::thread& t : finishedThreads_) threads.push_back(std::move(t));
    finishedThreads_.clear();
  }
  if (run) run->shutdown();
  for (std::thread& t : threads) {
    if (t.get_id() == std::this_thread::get_id()) {
      traceLine("KVTBackupManager: shut down from its own run; that thread is left to end");
      t.detach();
    } else if (t.joinable()) {
      t.join();
    }
  }
  running_ = false;
}

// --- set-up -----------------------------------------------------------------

void KVTBackupManager::setDelegate(KVTBackupRestoreHandlerProtocol* delegate) {
  MutexLock lock(mutex_);
  delegate_ = delegate;
}

KVTBackupRestoreHandlerProtocol* KVTBackupManager::delegate() const {
  MutexLock lock(mutex_);
  return delegate_;
}

void KVTBackupManager::setForOB(bool forOB) {
  MutexLock lock(mutex_);
  forOB_ = forOB;
}

void KVTBackupManager::setRelativeOperation(int relative) {
  MutexLock lock(mutex_);
  relativeOperation_ = relative;
}

void KVTBackupManager::setExecutorPath(std::string path) {
  MutexLock lock(mutex_);
  executorPath_ = std::move(path);
}

void KVTBackupManager::setApplicationSupportFolder(std::string folder) {
  MutexLock lock(mutex_);
  applicationSupportFolder_ = std::move(folder);
}

void KVTBackupManager::initializeApplicationSupportPaths(std::string consoleUser, std::string syncUser) {
  MutexLock lock(mutex_);
  supportFilePaths_.setConsoleUserName(std::move(consoleUser));
  supportFilePaths_.setSyncUserName(std::move(syncUser));
}

void KVTBackupManager::setRestoreMirrorPath(int mirror) {
  MutexLock lock(mutex_);
  restoreMirror_ = mirror != 0;
}

void KVTBackupManager::setConsoleUserName(std::string name) {
  MutexLock lock(mutex_);
  supportFilePaths_.setConsoleUserName(std::move(name));
}

void KVTBackupManager::setRestore(bool restore) {
  MutexLock lock(mutex_);
  restore_ = restore;
}

void KVTBackupManager::setBackupSourceFolder(std::string folder) {
  MutexLock lock(mutex_);
  sourceFolder_ = std::move(folder);
}

void KVTBackupManager::setDestinationPath(std::string path) {
  MutexLock lock(mutex_);
  destinationPath_ = std::move(path);
}

void KVTBackupManager::setProxyObjectWithSettingsFile(const std::string& path) {
  auto proxy = std::make_shared<const ProxyController>(path);
  MutexLock lock(mutex_);
  proxy_ = std::move(proxy);
}

User KVTBackupManager::userInfo() const {
  MutexLock lock(mutex_);
  return user_;
}

void KVTBackupManager::setUserInfo(User user) {
  MutexLock lock(mutex_);
  user_ = std::move(user);
}

void KVTBackupManager::editUserInfo(const std::function<void(User&)>& edit) {
  MutexLock lock(mutex_);
  edit(user_);
}

void KVTBackupManager::setApplicationFileResolver(std::function<std::string(int)> resolver) {
  MutexLock lock(mutex_);
  resolver_ = std::move(resolver);
}

void KVTBackupManager::setNoProgressTimeout(Clock::Duration timeout) {
  MutexLock lock(mutex_);
  noProgressTimeout_ = timeout;
}

std::string KVTBackupManager::applicationFile(int index) const {
  return resolver_ ? resolver_(index) : supportFilePaths_.pathForApplicationFile(index);
}

// --- work folder --------------------------------------------------------------

std::string KVTBackupManager::workFolderLocked() const {
  std::string operation = fileutil::joinPath(applicationSupportFolder_, kOperationFolder);
  return fileutil::joinPath(operation, restore_ ? kDownloadFolder : kUploadFolder);
}

std::string KVTBackupManager::workFolder() const {
  MutexLock lock(mutex_);
  return workFolderLocked();
}

std::string KVTBackupManager::cancelFilePath() const {
  return fileutil::joinPath(workFolder(), kCancelFile);
}

std::string KVTBackupManager::throttleFilePath() const {
  return fileutil::joinPath(workFolder(), kThrottleFile);
}

bool KVTBackupManager::enginesActive() const {
  MutexLock lock(mutex_);
  return activeRun_ && activeRun_->enginesLaunched();
}

void KVTBackupManager::createTempFilePaths() {
  std::string folder;
  {
    MutexLock lock(mutex_);
    if (applicationSupportFolder_.empty()) {
      traceLine("KVTBackupManager: no application support folder; no work folder made");
      return;
    }
    folder = workFolderLocked();
  }
  // The engines of a running operation read their set and credential files
  // from this folder; replacing it under them would fail their run.
  if (enginesActive()) {
    traceLine("KVTBackupManager: work folder kept while its engines run: " + folder);
    return;
  }
  fileutil::removeAll(folder);
  cancelRequested_ = false;
  if (!fileutil::makeDirectories(folder, fileutil::kOwnerOnlyFolder)) {
    traceLine("KVTBackupManager: cannot create the work folder " + folder);
    return;
  }
  fileutil::writeFileAtomically(fileutil::joinPath(folder, kCancelFile), "0");
}

void KVTBackupManager::deleteTempFilePaths() { removeTempFilePaths(); }

void KVTBackupManager::removeTempFilePaths() {
  std::string folder;
  {
    MutexLock lock(mutex_);
    if (applicationSupportFolder_.empty()) return;
    folder = workFolderLocked();
  }
  if (enginesActive()) {
    traceLine("KVTBackupManager: work folder kept while its engines run: " + folder);
    return;
  }
  fileutil::removeAll(folder);
}

void KVTBackupManager::setCancel(bool cancel) {
  cancelRequested_ = cancel;
  std::string folder = workFolder();
  if (fileutil::isDirectory(folder)) {
    fileutil::writeFileAtomically(fileutil::joinPath(folder, kCancelFile), cancel ? "3" : "0");
  }
  std::shared_ptr<Run> run;
  {
    MutexLock lock(mutex_);
    run = activeRun_;
  }
  if (run && cancel) run->wake();
}

void KVTBackupManager::setBandwidthThrottleValue(const std::string& value) {
  std::string folder = workFolder();
  if (!fileutil::isDirectory(folder)) return;
  // Written whole and renamed into place, so the engine never reads half a value.
  fileutil::writeFileAtomically(fileutil::joinPath(folder, kThrottleFile), value);
}

// --- the run set ----------------------------------------------------------------

void KVTBackupManager::setFileFolderSetForOperation(const std::vector<std::string>& set) {
  if (set.empty()) return;
  std::vector<std::string> unique = engineset::dedupe(set);
  MutexLock lock(mutex_);
  set_ = std::move(unique);
}

std::vector<std::string> KVTBackupManager::fileFolderSetForOperation() const {
  MutexLock lock(mutex_);
  return set_;
}

bool KVTBackupManager::folderSetHasPrefix(std::string_view relativePath) const {
  MutexLock lock(mutex_);
  for (const std::string& p : set_) {
    if (engineset::hasComponentPrefix(p, relativePath)) return true;
  }
  return false;
}

void KVTBackupManager::setSameBackupSetRepeated(bool repeated) {
  MutexLock lock(mutex_);
  sameBackupSetRepeated_ = repeated;
}

void KVTBackupManager::setSameRestoreSetRepeated(bool repeated) {
  MutexLock lock(mutex_);
  sameRestoreSetRepeated_ = repeated;
}

void KVTBackupManager::setSeenVersions(engineset::SeenVersions seen) {
  MutexLock lock(mutex_);
  seen_ = std::move(seen);
}

void KVTBackupManager::setSplitPoint(int64_t splitPoint) {
  MutexLock lock(mutex_);
  splitPoint_ = splitPoint;
}

// --- runs -------------------------------------------------------------------------

void KVTBackupManager::startBackup() { start(false); }
void KVTBackupManager::startRestore() { start(true); }

void KVTBackupManager::start(bool restore) {
  UniqueMutexLock lock(mutex_);
  if (shutDown_) {
    traceLine("KVTBackupManager: a run asked for after shutdown is refused");
    return;
  }
  if (running_) {
    traceLine(restore ? "KVTBackupManager: startRestore while a run is active; ignored"
                      : "KVTBackupManager: startBackup while a run is active; ignored");
    return;
  }
  if (runThread_.joinable()) finishedThreads_.push_back(std::move(runThread_));
  std::vector<std::thread> finished = std::move(finishedThreads_);
  finishedThreads_.clear();
  lock.unlock();
  // Joined outside the lock: a finishing run thread may still take it.
  std::vector<std::thread> keep;
  for (std::thread& t : finished) {
    if (t.get_id() == std::this_thread::get_id()) {
      keep.push_back(std::move(t));
    } else if (t.joinable()) {
      t.join();
    }
  }
  lock.lock();
  for (std::thread& t : keep) finishedThreads_.push_back(std::move(t));
  if (running_) return;  // another thread started a run meanwhile

  RunPlan plan;
  plan.restore = restore;
  plan.executor = executorPath_;
  plan.workFolder = workFolderLocked();
  plan.user = user_;
  plan.proxy = proxy_;
  plan.localRoot = sourceFolder_;
  plan.destination = destinationPath_;
  plan.mirror = restoreMirror_;
  plan.entries = set_;
  if (!restore) plan.seen = std::move(seen_);
  seen_.clear();
  plan.splitPoint = splitPoint_;
  plan.noProgressTimeout = noProgressTimeout_;
  bool& repeated = restore ? sameRestoreSetRepeated_ : sameBackupSetRepeated_;
  plan.repeatedSet = repeated;
  repeated = false;
  plan.delegate = delegate_;
  plan.entryListFile = applicationFile(restore ? 118 : kBackupFileEntries);
  if (restore) {
    plan.restoreStatusFiles = {applicationFile(139), applicationFile(140)};
  }

  summary_ = Summary();
  startTime_ = std::chrono::duration<double>(clock_.wallNow().time_since_epoch()).count();
  previousTransferedSize_ = 0;
  uint64_t generation = ++generation_;
  auto run = std::make_shared<Run>(*this, clock_, generation, std::move(plan));
  activeRun_ = run;
  running_ = true;
  runThread_ = std::thread([run] { run->execute(); });
}

void KVTBackupManager::CancelBackupProcess(bool /*unused*/) {
  std::shared_ptr<Run> run;
  KVTBackupRestoreHandlerProtocol* delegate = nullptr;
  {
    MutexLock lock(mutex_);
    run = activeRun_;
    delegate = delegate_;
  }
  bool active = run && run->cancelByProcess();
  // The engines are gone before anything is cleaned up: an engine still
  // writing would otherwise leave a half-received file behind the clean-up.
  if (active) run->awaitEnginesExited();
  if (delegate != nullptr) {
    delegate->deleteHalfRestoredFiles();
    delegate->ClearRestoreRelatedFileEntries();
  }
  if (active) run->finishCancelByProcess();
}

void KVTBackupManager::stopRSyncOperation() {
  std::shared_ptr<Run> run;
  {
    MutexLock lock(mutex_);
    run = activeRun_;
  }
  if (run) run->terminateEngines();
}

void KVTBackupManager::writeBackupsetObjectsToFile(const std::vector<std::string>& set) {
  std::string path;
  {
    MutexLock lock(mutex_);
    path = applicationFile(kBackupFileEntries);
  }
  if (path.empty()) return;
  std::string contents = engineset::joinLines(set);
  if (std::optional<std::string> existing = fileutil::readFile(path); existing && !existing->empty()) {
    if (!contents.empty()) contents += '\n';
    contents += *existing;
  }
  fileutil::makeDirectories(fileutil::parentPath(path));
  fileutil::writeFileAtomically(path, contents);
}

void KVTBackupManager::setFailureCount() {
  MutexLock lock(mutex_);
  ++summary_.failCount;
}

void KVTBackupManager::setRunningState(bool running) { running_ = running; }
bool KVTBackupManager::isRunning() const { return running_; }

bool KVTBackupManager::isHeldByThrottle() const {
  MutexLock lock(mutex_);
  return activeRun_ && activeRun_->held();
}

double KVTBackupManager::StartTime() const {
  MutexLock lock(mutex_);
  return startTime_;
}

void KVTBackupManager::SetStartTime(double secondsSince1970) {
  MutexLock lock(mutex_);
  startTime_ = secondsSince1970;
}

int64_t KVTBackupManager::PreviousTransferedSize() const {
  MutexLock lock(mutex_);
  return previousTransferedSize_;
}

void KVTBackupManager::SetPreviousTransferedSize(int64_t bytes) {
  MutexLock lock(mutex_);
  previousTransferedSize_ = bytes;
}

// --- the run summary ------------------------------------------------------------------

int32_t KVTBackupManager::succesFileCount() const {
  MutexLock lock(mutex_);
  return summary_.success;
}

int32_t KVTBackupManager::incSuccessFileCount() const {
  MutexLock lock(mutex_);
  return summary_.incremental;
}

int32_t KVTBackupManager::syncFileCount() const {
  MutexLock lock(mutex_);
  return summary_.inSync;
}

int32_t KVTBackupManager::failureFileCount() const {
  MutexLock lock(mutex_);
  return summary_.failedFiles;
}

int32_t KVTBackupManager::backupOrRestorFailCount() const {
  MutexLock lock(mutex_);
  return summary_.failCount;
}

std::string KVTBackupManager::fileSuccessfullySynced() const {
  MutexLock lock(mutex_);
  return summary_.lastFull;
}

std::string KVTBackupManager::fileIncSuccessSynced() const {
  MutexLock lock(mutex_);
  return summary_.lastIncremental;
}

bool KVTBackupManager::isCanceled() const {
  MutexLock lock(mutex_);
  return summary_.canceled;
}

int32_t KVTBackupManager::errorCode() const {
  MutexLock lock(mutex_);
  return summary_.errorCode;
}

int64_t KVTBackupManager::unparsedLineCount() const {
  MutexLock lock(mutex_);
  return summary_.unparsedLines;
}

}  // namespace ulmora
