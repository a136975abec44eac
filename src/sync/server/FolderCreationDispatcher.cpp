#include "sync/server/FolderCreationDispatcher.h"

#include <algorithm>
#include <set>
#include <utility>

#include "foundation/QLBackupProgressLogger.h"
#include "foundation/QLLocalizedString.h"
#include "foundation/QLUtility.h"
#include "journal/SyncRootPath.h"
#include "platform/FileUtil.h"
#include "sync/server/RenameDeleteRules.h"

namespace ulmora {
namespace {

using renamedelete::format;
constexpr const char* kSeparator = "--------------------------------------------------\n";

using renamedelete::trimmed;

void interactive(const std::string& text, bool flush) {
  QLBackupProgressLogger::progressLogger().logSyncInteractiveSession(text, flush);
}

}  // namespace

FolderCreationDispatcher::FolderCreationDispatcher(FolderCreationQueue& queue, FolderCreationService& service,
                                                   FolderCreationEnvironment& env, RunLoop& mainLoop,
                                                   WorkerRunningFlags* runningFlags)
    : queue_(queue),
      service_(service),
      env_(env),
      main_(mainLoop.handle()),
      clock_(mainLoop.clock()),
      worker_(runningFlags != nullptr ? *runningFlags : ownRunning_, &WorkerRunningFlags::createDirRunning) {}

FolderCreationDispatcher::~FolderCreationDispatcher() {
  cancel();
  join();
  guard_.invalidate();
}

void FolderCreationDispatcher::join() { worker_.join(); }

void FolderCreationDispatcher::cancel() {
  cancelRequested_ = true;
  service_.setCancel(true);
}

std::vector<std::string> FolderCreationDispatcher::collection() const {
  MutexLock lock(mu_);
  return m_createDirCollection;
}

void FolderCreationDispatcher::postToMain(std::function<void()> task) {
  main_.post(guard_.wrap(std::move(task)));
}

void FolderCreationDispatcher::appendJournal(const PropertyList& folders) {
  const PropertyList::Array* items = folders.asArray();
  if (items == nullptr) return;
  const SyncRootPath root(env_.syncRootPath());
  MutexLock lock(mu_);
  for (const PropertyList& item : *items) {
    const std::string* path = item.asString();
    if (path == nullptr || path->empty()) continue;
    // Journals may carry the relative form; the checks need the folder itself.
    m_createDirCollection.push_back(root.full(*path));
  }
}

void FolderCreationDispatcher::CreateFolder() {
  if (!worker_.claim()) return;
  if (clock_.monotonicNow() < retryNotBefore()) {
    // The folders wait in the journal until the back-off has passed.
    worker_.unclaim();
    return;
  }
  appendJournal(queue_.readCreateDirJournal());
  if (collection().empty()) {
    worker_.unclaim();
    return;
  }
  daemonTrace("CreateFolder");
  cancelRequested_ = false;
  worker_.launch("folder creation worker", [this] { StartExcutingCreateDirOpr(); });
}

Clock::TimePoint FolderCreationDispatcher::retryNotBefore() const {
  MutexLock lock(mu_);
  return retryNotBefore_;
}

void FolderCreationDispatcher::noteRunOutcome(bool runFailed) {
  MutexLock lock(mu_);
  if (!runFailed) {
    retryDelay_ = Clock::Duration::zero();
    retryNotBefore_ = Clock::TimePoint();
    return;
  }
  retryDelay_ = retryDelay_ == Clock::Duration::zero() ? kFirstRetryDelay : std::min(retryDelay_ * 2, kMaxRetryDelay);
  retryNotBefore_ = clock_.monotonicNow() + retryDelay_;
  daemonTrace("folder creation failed as a whole; next try in " +
              std::to_string(std::chrono::duration_cast<std::chrono::seconds>(retryDelay_).count()) + " s");
}

std::vector<std::string> FolderCreationDispatcher::withParents(const std::vector<std::string>& fullPaths) const {
  const SyncRootPath root(env_.syncRootPath());
  std::vector<std::string> out;
  std::set<std::string> seen;
  for (const std::string& p : fullPaths) {
    for (const std::string& rel : renamedelete::selfAndParents(trimmed(root.relative(p)), seen)) {
      out.push_back(root.full(rel));
    }
  }
  return out;
}

void FolderCreationDispatcher::addUnlessPresent(const std::string& path) {
  MutexLock lock(mu_);
  if (std::find(m_createDirCollection.begin(), m_createDirCollection.end(), path) == m_createDirCollection.end()) {
    m_createDirCollection.push_back(path);
  }
}

void FolderCreationDispatcher::enumerateForEmptySubFolder(const std::string& fullPath) {
  std::size_t seen = 0;
  iterateFolder(fullPath, 0, seen);
}

void FolderCreationDispatcher::iterateFolder(const std::string& path, int depth, std::size_t& seen) {
  if (++seen > kMaxWalkItems || depth > kMaxWalkDepth) return;
  if (fileutil::isSymlink(path)) return;
  auto names = fileutil::listDirectory(path);
  if (!names || names->empty()) {
    addUnlessPresent(path);
    return;
  }
  for (const std::string& name : *names) iterateFolder(fileutil::joinPath(path, name), depth + 1, seen);
}

void FolderCreationDispatcher::folderMovedHere(const std::string& oldRelative, const std::string& newRelative) {
  const std::string from = trimmed(oldRelative);
  const std::string to = trimmed(newRelative);
  if (from.empty() || to.empty() || from == to) return;
  MutexLock lock(mu_);
  if (movesHere_.size() >= kMovesKept) movesHere_.erase(movesHere_.begin());
  movesHere_.emplace_back(from, to);
}

std::string FolderCreationDispatcher::followMovesHere(const std::string& fullPath) const {
  const SyncRootPath root(env_.syncRootPath());
  if (!root.known() || !root.isFullPath(fullPath)) return fullPath;
  std::string relative = trimmed(root.relative(fullPath));
  {
    MutexLock lock(mu_);
    for (const auto& [from, to] : movesHere_) {
      if (relative == from || relative.starts_with(from + "/")) relative = to + relative.substr(from.size());
    }
  }
  return root.full(relative);
}

void FolderCreationDispatcher::requeueIfStillEmpty(const std::string& fullPath, bool countsAsTry) {
  if (!fileutil::isDirectory(fullPath) || QLUtility::doesContainsFile(fullPath)) {
    tries_.erase(fullPath);
    return;
  }
  if (countsAsTry && ++tries_[fullPath] >= kMaxCreateTries) {
    daemonTrace("folder creation given up after " + std::to_string(kMaxCreateTries) + " tries: " + fullPath);
    tries_.erase(fullPath);
    return;
  }
  queue_.addDirectory(fullPath);
}

void FolderCreationDispatcher::clearStatus() {
  if (!creatingDir_) return;
  env_.removeItemFromToolTipFor(kStatus);
  creatingDir_ = false;
}

void FolderCreationDispatcher::StartExcutingCreateDirOpr() {
  daemonTrace("CreateFolder called");
  const SyncRootPath root(env_.syncRootPath());
  const bool reportToFinder = env_.sendMessageToFinder(collection());
  bool anyCreated = false;
  bool runFailed = false;
  for (std::size_t i = 0;; ++i) {
    std::string path;
    {
      MutexLock lock(mu_);
      if (i >= m_createDirCollection.size()) break;
      path = m_createDirCollection[i];
    }
    if (cancelRequested_) {
      // A cancelled run leaves its folders to a later one.
      requeueIfStillEmpty(path, false);
      continue;
    }
    std::string relative = trimmed(root.relative(path));
    if (!root.known() || !root.isFullPath(path) || !renamedelete::isUsableRelativePath(relative)) {
      daemonTrace("folder outside the sync root skipped: " + path);
      continue;
    }
    if (!fileutil::isDirectory(path)) {
      const std::string moved = followMovesHere(path);
      if (moved == path || !fileutil::isDirectory(moved)) continue;
      daemonTrace("folder creation of " + relative + " follows its folder's rename to " +
                  trimmed(root.relative(moved)));
      path = moved;
      // Under its new name in the run's list, so the walk below does not
      // add it a second time.
      MutexLock lock(mu_);
      if (i < m_createDirCollection.size()) m_createDirCollection[i] = path;
    }
    if (fileutil::isSymlink(path) || QLUtility::doesContainsFile(path)) continue;
    relative = trimmed(root.relative(path));
    service_.prepare();
    service_.setCancel(false);
    auto entries = fileutil::listDirectory(path);
    if (entries && entries->empty() && !creatingDir_) {
      env_.setMonitorToolTip(kStatus);
      creatingDir_ = true;
    }
    const std::string full = root.full(relative);
    enumerateForEmptySubFolder(full);
    outcome_ = Outcome::kNone;
    runStarted_ = itemRefused_ = false;
    service_.startCraeteDir(relative);
    if (outcome_ == Outcome::kCreated) {
      anyCreated = true;
      tries_.erase(full);
      std::set<std::string> seen;
      for (const std::string& folder : renamedelete::selfAndParents(relative, seen)) queue_.recordFolderInSync(folder);
    } else {
      // Only a refusal of the folder itself counts: a run that failed as a
      // whole (no connection, an engine error) says nothing about it, and a
      // folder given up would stay on this computer only.
      const bool refused = outcome_ == Outcome::kFailed && (itemRefused_ || !runStarted_);
      if (outcome_ == Outcome::kFailed && !refused) runFailed = true;
      requeueIfStillEmpty(full, refused);
    }
    if (reportToFinder) env_.postInSyncList(withParents({full}));
  }
  {
    MutexLock lock(mu_);
    m_createDirCollection.clear();
  }
  // A service that fails every run is not asked again each cycle: the
  // queued folders wait longer after each such run, until one is created.
  if (anyCreated || runFailed) noteRunOutcome(runFailed && !anyCreated);
  clearStatus();
}

void FolderCreationDispatcher::createDirDidStart(KVTCreateDirController&) {
  const std::string header =
      format(QLLocalizedString("\nUsername: %@\nMy Sync folder: %@ \nStart Time: %@\n"),
             {env_.accountUserName(), env_.syncRootPath(), QLBackupProgressLogger::progressLogger().timeStamp()});
  runStarted_ = true;
  daemonTrace("create Directory operation started");
  sessionFile_ = env_.createSessionFileForOperation(12, "Create_Directory");
  env_.writeSessionLog(sessionFile_, header, false);
  queue_.deleteCreateDirJournal();
}

void FolderCreationDispatcher::createDirDidReceiveData(const std::string& folder) {
  const std::string line = format(QLLocalizedString("Created Directory %@"), {folder});
  env_.writeSessionLog(sessionFile_, line, true);
  interactive(line, false);
}

void FolderCreationDispatcher::createDirDidFinishSuccessfully(KVTCreateDirController&) {
  outcome_ = Outcome::kCreated;
  daemonTrace("Created Folder successfully");
  env_.writeSessionLog(sessionFile_, kSeparator, true);
  postToMain([this] { env_.startPushing("1008", "Created Folder Successfully"); });
  env_.clearFolderCreationFilter();
  env_.updateSSWindowRefresh();
}

void FolderCreationDispatcher::createDirDidFailWithError(const std::string& error, KVTCreateDirController&) {
  if (outcome_ != Outcome::kCancelled) outcome_ = Outcome::kFailed;
  if (error.find("password mismatch") != std::string::npos) env_.passwordChangedFromWeb();
  const std::string text = renamedelete::withAccountUserName(error, env_.syncUserName(), env_.accountUserName());
  env_.writeSessionLog(sessionFile_, text, true);
  interactive(text, true);
  env_.updateSSWindowRefresh();
}

void FolderCreationDispatcher::createDirDidRetry() {
  daemonTrace("Retrying for folder creation");
  env_.writeSessionLog(sessionFile_, QLLocalizedString("Retrying"), true);
  interactive("Retrying", true);
}

void FolderCreationDispatcher::createDirDidReceiveErrors(const std::string& errorLine) {
  itemRefused_ = true;
  const std::string text =
      renamedelete::withAccountUserName(errorLine, env_.syncUserName(), env_.accountUserName());
  const std::string line = format(QLLocalizedString("Error: %@"), {text});
  daemonTrace(line);
  env_.writeSessionLog(sessionFile_, line, true);
  interactive(line, true);
}

void FolderCreationDispatcher::createDirDidCancel(KVTCreateDirController&) {
  outcome_ = Outcome::kCancelled;
  daemonTrace("Create Folder operation cancelled");
  env_.writeSessionLog(sessionFile_, QLLocalizedString("Create Folder operation cancelled"), true);
  interactive("Create Folder operation cancelled", true);
  clearStatus();
}

}  // namespace ulmora
