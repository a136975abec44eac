#include "sync/server/RenameDeleteDispatcher.h"

#include <algorithm>
#include <utility>

#include "foundation/JournalStampGenerator.h"
#include "foundation/QLBackupProgressLogger.h"
#include "foundation/QLLocalizedString.h"
#include "journal/JournalFolder.h"
#include "journal/JournalFormat.h"
#include "journal/JournalWriter.h"
#include "journal/SyncRootPath.h"
#include "platform/FileUtil.h"
#include "service/ServiceTexts.h"
#include "sync/runs/SeenVersionRule.h"
#include "sync/status/SyncTraceTexts.h"

namespace ulmora {
namespace {

using renamedelete::format;

constexpr const char* kRename = "rename";
constexpr const char* kDelete = "delete";
// A folder left to be uploaded is walked at most this deep and this wide.
constexpr int kMaxWalkDepth = 64;
constexpr std::size_t kMaxWalkItems = 100000;
// The engine's text for an item the server does not have.
constexpr std::string_view kServerLacksItem = "No such file or directory";
// The engine's text for a new name the server already holds.
constexpr std::string_view kServerHoldsNewName = "File exists";
constexpr std::size_t kRenamedHereLimit = 10000;
// Kept versions of items whose rename or delete never came back (dropped
// from the queue) must not make the maps grow without end either.
constexpr std::size_t kKeptVersionsLimit = 10000;

using renamedelete::trimmed;

RenameEntry key(const std::string& oldPath, const std::string& newPath) {
  return RenameEntry{trimmed(oldPath), trimmed(newPath)};
}

std::string localized(const char* key) { return QLLocalizedString(key); }

std::string describe(const std::vector<RenameEntry>& renames) {
  std::string text = "(";
  for (const RenameEntry& r : renames) {
    if (text.size() > 1) text += ", ";
    text += "{" + r.originalPath + " -> " + r.renamedPath + "}";
  }
  return text + ")";
}

PropertyList arrayOf(const std::vector<std::string>& paths) {
  PropertyList::Array items;
  for (const std::string& p : paths) items.emplace_back(p);
  return PropertyList(std::move(items));
}

}  // namespace

RenameDeleteDispatcher::RenameDeleteDispatcher(RenameDeleteQueue& queue, RenameDeleteService& service,
                                               RenameDeleteEnvironment& env, RunLoop& mainLoop, Options options)
    : queue_(queue),
      service_(service),
      env_(env),
      main_(mainLoop.handle()),
      clock_(options.clock != nullptr ? *options.clock : mainLoop.clock()),
      stamps_(options.stamps),
      pause_(std::move(options.pause)),
      deleteRetries_(clock_),
      worker_(options.runningFlags != nullptr ? *options.runningFlags : ownRunning_,
              &WorkerRunningFlags::ExcuteEventsCapturedrunning) {}

RenameDeleteDispatcher::~RenameDeleteDispatcher() {
  cancel();
  join();
  guard_.invalidate();
}

void RenameDeleteDispatcher::join() { worker_.join(); }

void RenameDeleteDispatcher::ExcuteEventsCaptured() {
  // The flag is set here, before the thread exists, so no second caller
  // starts a second worker.
  if (!worker_.claim()) return;
  queueDueDeletes();
  if (!queue_.CheckIfAnyRenameDeleteOrCreateDirOccured() && !hasHeldWork()) {
    worker_.unclaim();
    return;
  }
  daemonTrace("rename or check type called ");
  cancelRequested_ = false;
  worker_.launch("rename and delete worker", [this] { StartExcutingEventsCaptured(); });
}

void RenameDeleteDispatcher::cancel() {
  cancelRequested_ = true;
  service_.setCancel(true);
  MutexLock lock(mu_);
  wake_.notify_all();
}

bool RenameDeleteDispatcher::hasHeldWork() const {
  MutexLock lock(mu_);
  return !heldSets_.empty() || !mRenameFilesCollection.empty();
}

bool RenameDeleteDispatcher::isRenameCollectionEmpty() const {
  MutexLock lock(mu_);
  return mRenameFilesCollection.empty();
}

bool RenameDeleteDispatcher::pause(Clock::Duration d) {
  if (pause_) return pause_(d) && !cancelled();
  UniqueMutexLock lock(mu_);
  clock_.waitUntil(lock.native(), wake_, clock_.monotonicNow() + d, [this] { return cancelRequested_.load(); });
  return !cancelled();
}

std::string RenameDeleteDispatcher::full(const std::string& relative) {
  return SyncRootPath(env_.syncRootPath()).full(relative);
}

std::string RenameDeleteDispatcher::engineText(const std::string& error) {
  return renamedelete::withAccountUserName(error, env_.syncUserName(), env_.accountUserName());
}

void RenameDeleteDispatcher::postToMain(std::function<void()> task, Clock::Duration delay) {
  main_.postDelayed(guard_.wrap(std::move(task)), delay);
}

void RenameDeleteDispatcher::StartExcutingEventsCaptured() {
  bool tookAny = false;
  while (!cancelled()) {
    std::vector<LocalChangeSet> fresh;
    while (fresh.size() < kMaxSetsPerRun) {
      std::optional<PropertyList> set = queue_.parseEventsToGetEventSets();
      if (!set) break;
      tookAny = true;
      if (auto parsed = LocalChangeSet::fromPropertyList(*set)) {
        fresh.push_back(std::move(*parsed));
      } else {
        daemonTrace("event set of an unknown shape dropped");
      }
    }
    bool renamesLeft = false;
    {
      MutexLock lock(mu_);
      std::vector<LocalChangeSet> all(heldSets_.begin(), heldSets_.end());
      all.insert(all.end(), std::make_move_iterator(fresh.begin()), std::make_move_iterator(fresh.end()));
      all = renamedelete::orderForUser(std::move(all));
      heldSets_.assign(std::make_move_iterator(all.begin()), std::make_move_iterator(all.end()));
      if (heldSets_.empty() && mRenameFilesCollection.empty()) break;
      renamesLeft = !mRenameFilesCollection.empty();
    }
    // Renames a cancelled run left are older than any set taken now.
    if (renamesLeft) runRenames();
    while (!cancelled()) {
      LocalChangeSet set;
      {
        MutexLock lock(mu_);
        if (heldSets_.empty()) break;
        set = std::move(heldSets_.front());
        heldSets_.pop_front();
      }
      StartRenameorDeleteOperation(set);
    }
  }
  // The sets taken are held in memory until sent, so their files can go.
  if (tookAny) queue_.deleteFileFor(std::string(journal::kCodeEventFolder), true);
}

void RenameDeleteDispatcher::StartRenameorDeleteOperation(const LocalChangeSet& set) {
  if (set.type == kRename) {
    if (env_.isListingRunning()) {
      std::vector<std::string> olds;
      for (const RenameEntry& r : set.renames) olds.push_back(r.originalPath);
      env_.addRenamedPathsDuringListing(olds);
    }
    if (renameSeen_.size() + set.renames.size() > kKeptVersionsLimit) renameSeen_.clear();
    for (const RenameEntry& r : set.renames) {
      const std::string old = trimmed(r.originalPath);
      if (auto version = env_.seenVersion(old)) renameSeen_.insert_or_assign(old, std::move(*version));
    }
    {
      MutexLock lock(mu_);
      mRenameFilesCollection.insert(mRenameFilesCollection.end(), set.renames.begin(), set.renames.end());
    }
    runRenames();
  } else if (set.type == kDelete) {
    runDelete(set.paths);
  } else {
    daemonTrace("event set of type " + set.type + " dropped");
  }
}

void RenameDeleteDispatcher::runRenames() {
  while (!cancelled()) {
    renamedelete::RenameBatch cut;
    {
      MutexLock lock(mu_);
      if (mRenameFilesCollection.empty()) break;
      cut = renamedelete::cutRenameBatch(mRenameFilesCollection);
      for (auto it = cut.taken.rbegin(); it != cut.taken.rend(); ++it) {
        mRenameFilesCollection.erase(mRenameFilesCollection.begin() + static_cast<std::ptrdiff_t>(*it));
      }
    }
    if (cut.batch.empty()) break;
    service_.prepare();
    confirmedRenames_.clear();
    renameRefusals_.clear();
    PropertyList::Array entries;
    engineset::SeenVersions seen;
    for (const RenameEntry& r : cut.batch) {
      entries.push_back(r.toPropertyList());
      const std::string old = trimmed(r.originalPath);
      if (auto version = seenVersionOf(old, renameSeen_)) seen.emplace(old, std::move(*version));
    }
    service_.useSeenVersions(std::move(seen));
    renameCancelled_ = false;
    service_.startOperation(PropertyList(std::move(entries)), kRename);
    if (renameCancelled_) {
      // A cancelled run ends the worker's run; what it did not rename waits
      // at the head of the collection for the next one.
      std::vector<RenameEntry> rest;
      for (const RenameEntry& r : cut.batch) {
        const RenameEntry k = key(r.originalPath, r.renamedPath);
        if (std::find(confirmedRenames_.begin(), confirmedRenames_.end(),
                      std::make_pair(k.originalPath, k.renamedPath)) == confirmedRenames_.end()) {
          rest.push_back(r);
        }
      }
      MutexLock lock(mu_);
      mRenameFilesCollection.insert(mRenameFilesCollection.begin(), rest.begin(), rest.end());
      cancelRequested_ = true;
    }

    std::vector<std::string> fullNew;
    for (const RenameEntry& r : cut.batch) fullNew.push_back(full(r.renamedPath));
    env_.sendToFinder(fullNew, 1, true);
    const std::string line = format(localized("rename completed for set :%@"), {describe(cut.batch)});
    daemonTrace(line);
    interactiveTrace(line);
    if (!pause(kBatchPause)) break;
  }
  env_.removeItemFromToolTipFor("T1016");
  env_.removeItemFromToolTipFor("Renaming file(s)...");
}

void RenameDeleteDispatcher::runDelete(const std::vector<std::string>& entries) {
  service_.prepare();
  uploadsSwitchedOff_ = false;
  const std::vector<std::string> paths = CheckIfDeleteFileIsUnderAnyOtherOperation(entries);
  // Uploads are held back only while this delete set runs.
  struct Restore {
    RenameDeleteDispatcher& d;
    ~Restore() {
      if (d.uploadsSwitchedOff_) d.queue_.setShouldReturnBackupEntries(true);
      d.uploadsSwitchedOff_ = false;
    }
  } restore{*this};
  if (paths.empty()) return;

  const bool marked = renamedelete::namesFoldersOrFiles(paths);
  const std::string status =
      marked && !env_.AreAllToBeExcludedDelete(paths) ? "Deleting file(s)..." : "T1016";
  env_.setMonitorToolTip(status);
  confirmedDeletes_.clear();
  deletesNotHeld_.clear();
  deletesOfUnseen_.clear();
  deleteCancelled_ = false;
  deleteFailed_ = false;
  engineset::SeenVersions seen;
  for (const std::string& p : paths) {
    const std::string path = trimmed(p);
    if (auto version = seenVersionOf(path, deleteSeen_)) seen.emplace(path, std::move(*version));
  }
  service_.useSeenVersions(std::move(seen));
  service_.startOperation(arrayOf(paths), kDelete);
  if (!deleteCancelled_) keepUnconfirmedDeletes(paths);
  for (const std::string& p : paths) {
    const std::string path = trimmed(p);
    if (confirmedDeletes_.count(path) || deletesNotHeld_.count(path) || deletesOfUnseen_.count(path))
      deleteSeen_.erase(path);
  }
  const std::string line = format(localized("delete completed for set :%@"), {synctexts::describe(paths)});
  daemonTrace(line);
  env_.removeItemFromToolTipFor(status);

  if (deleteCancelled_) {
    // What the cancelled run did not delete goes out with the next run.
    LocalChangeSet rest{kDelete, {}, {}};
    for (const std::string& p : paths) {
      if (!confirmedDeletes_.count(trimmed(p))) rest.paths.push_back(p);
    }
    MutexLock lock(mu_);
    if (!rest.paths.empty()) heldSets_.push_front(std::move(rest));
    cancelRequested_ = true;
  }
}

std::optional<engineset::SeenVersion> RenameDeleteDispatcher::seenVersionOf(
    const std::string& path, const std::map<std::string, engineset::SeenVersion>& kept) {
  // The row, while it has one, is newer than what was kept: this computer's
  // own upload of the file may have ended since.
  if (auto version = env_.seenVersion(path)) return version;
  auto found = kept.find(path);
  return found != kept.end() ? std::optional(found->second) : std::nullopt;
}

void RenameDeleteDispatcher::keepUnconfirmedDeletes(const std::vector<std::string>& paths) {
  for (const std::string& p : paths) {
    const std::string path = trimmed(p);
    if (!deleteFailed_ || confirmedDeletes_.count(path) || deletesNotHeld_.count(path) ||
        deletesOfUnseen_.count(path)) {
      deleteRetries_.forget(path);
      continue;
    }
    const auto wait = std::chrono::duration_cast<std::chrono::seconds>(deleteRetries_.failed(path));
    const std::string line = "Error: " + path + " was not deleted; it is tried again in " +
                             std::to_string(wait.count()) + " s";
    daemonTrace(line);
    env_.writeSessionLog(deleteSessionFile_, line, true);
  }
}

void RenameDeleteDispatcher::queueDueDeletes() {
  std::vector<std::string> paths;
  for (RetryBackoff::Due& d : deleteRetries_.takeDue()) {
    if (fileutil::exists(full(d.key))) {
      // The user (or a download) put an item there again: it is uploaded,
      // and deleting the server's copy now would lose it elsewhere.
      daemonTrace("the failed delete of " + d.key + " is not sent again: the item is back");
      deleteRetries_.forget(d.key);
      continue;
    }
    paths.push_back(std::move(d.key));
  }
  if (paths.empty()) return;
  daemonTrace("failed deletes sent again: " + std::to_string(paths.size()));
  MutexLock lock(mu_);
  heldSets_.push_back(LocalChangeSet{kDelete, std::move(paths), {}});
}

std::vector<std::string> RenameDeleteDispatcher::CheckIfDeleteFileIsUnderAnyOtherOperation(
    const std::vector<std::string>& paths) {
  bool touched = false;
  for (const auto& [oldPath, newPath] : env_.renamesAfterBackup()) {
    for (const std::string& d : paths) {
      if (renamedelete::isAtOrUnder(newPath, d) && !env_.filterDeletedFolderToavoid({d}).empty()) {
        env_.takeRenameAfterBackup(oldPath);
        queue_.addDeleteFiles(oldPath);
        touched = true;
        break;
      }
    }
  }
  if (touched || env_.isInBackupList(paths)) {
    env_.cancelUpload();
    queue_.setShouldReturnBackupEntries(false);
    uploadsSwitchedOff_ = true;
    service_.addFilesToDelete(paths);
    daemonTrace("Deleted file which was under backup. so backup stoped, again we are calling query main db.");
    env_.queryMainDB(true);
  } else if (!paths.empty() || !service_.deleteItems().empty()) {
    service_.prepare();
    service_.setCancel(false);
  }
  return env_.filterDeletedFolderToavoid(paths);
}

void RenameDeleteDispatcher::traceAndInteractive(const std::string& text) {
  daemonTrace(text);
  QLBackupProgressLogger::progressLogger().logSyncInteractiveSession(text, true);
}

void RenameDeleteDispatcher::renameDeleteDidStart(KVTRenameDeleteController&, const std::string& type) {
  const std::string header =
      format(localized("\nUsername: %@\nMy Sync folder: %@"), {env_.accountUserName(), env_.syncRootPath()});
  if (type == kRename) {
    daemonTrace("Rename operation started");
    renameSessionFile_ = env_.createSessionFileForOperation(3, "Rename");
    env_.writeSessionLog(renameSessionFile_, header, false);
    env_.writeSessionLog(renameSessionFile_, localized("Operation: Local rename"), false);
    queue_.deleteFileFor(std::string(journal::kCodeRename), true);
  } else {
    daemonTrace("Delete operation started");
    deleteSessionFile_ = env_.createSessionFileForOperation(4, "Delete");
    env_.writeSessionLog(deleteSessionFile_, header, false);
    env_.writeSessionLog(deleteSessionFile_, localized("Operation: Local deletion"), false);
    queue_.deleteFileFor(std::string(journal::kCodeDelete), true);
  }
}

void RenameDeleteDispatcher::renameDidReceiveData(const std::string& oldPath, const std::string& newPath) {
  env_.renamedOnServer(oldPath, newPath);
  if (env_.takeRenameAfterBackup(oldPath)) {
    queue_.addBackupFiles(full(newPath));
    queue_.addFileToBackup(newPath);
  }
  if (env_.isUploadRunning() && env_.uploadSetHasPrefix(oldPath)) {
    JournalWriter writer(stamps_ != nullptr ? *stamps_ : JournalStampGenerator::shared(), clock_);
    JournalFolder folder(env_.deleteJournalFolder());
    if (folder.ensureExists()) {
      auto written = writer.writeTextList(folder, {oldPath}, journal::kDeleteSuffix);
      if (!written.unwritten.empty()) queue_.addDeleteFiles(oldPath);
    } else {
      queue_.addDeleteFiles(oldPath);
    }
    daemonTrace("Old path written to delete list,it was under backup");
  }
  const std::string fullOld = full(oldPath);
  const std::string fullNew = full(newPath);
  queue_.deleteFileEntryFromRDDB(trimmed(fullOld));
  const std::string line = format(localized("Renamed item %@ to %@"), {oldPath, newPath});
  daemonTrace(line);
  env_.writeSessionLog(renameSessionFile_, line, true);
  QLBackupProgressLogger::progressLogger().logSyncInteractiveSession(line, false);
  env_.setRecentlyModifiedItems(newPath, " - Renamed");
  env_.setLastRenamedInfo(fullOld, fullNew);
  const Clock::Duration delay = env_.hasImageFiles() ? kThumbnailDelay : Clock::Duration::zero();
  postToMain([this, fullOld, fullNew] { env_.updateThumbnailController(fullOld, fullNew); }, delay);
  env_.postInSyncList({fullNew});
  daemonTrace("Sending FileGotSynced from renamedidReceiveData=" + fullNew + "\n");
  confirmedRenames_.emplace_back(trimmed(oldPath), trimmed(newPath));
  replays_.erase(key(oldPath, newPath));
  renameSeen_.erase(trimmed(oldPath));
  MutexLock hold(renamedHereMu_);
  // Echoes that never come (a listing from index zero, an account switch)
  // must not make the set grow without end.
  if (renamedHere_.size() >= kRenamedHereLimit) renamedHere_.clear();
  renamedHere_.emplace(trimmed(oldPath), trimmed(newPath));
}

bool RenameDeleteDispatcher::takeRenamedHere(const std::string& oldPath, const std::string& newPath) {
  MutexLock hold(renamedHereMu_);
  return renamedHere_.erase({trimmed(oldPath), trimmed(newPath)}) != 0;
}

void RenameDeleteDispatcher::deleteDidReceiveData(const std::string& path) {
  queue_.deleteFileEntryFromRDDB(trimmed(full(path)));
  const std::string line = format(localized("Deleted item %@"), {path});
  env_.writeSessionLog(deleteSessionFile_, line, true);
  QLBackupProgressLogger::progressLogger().logSyncInteractiveSession(line, false);
  env_.setRecentlyModifiedItems(path, " - Deleted");
  confirmedDeletes_.insert(trimmed(path));
}

void RenameDeleteDispatcher::renameDeleteDidFinishSuccessfully(KVTRenameDeleteController&, const std::string& type) {
  if (type == kRename) {
    env_.clearRenamedPathDuringListing();
    retryRename_ = false;
    env_.reloadAccountUserNameIfEmpty();
    traceAndInteractive("Renamed successfully");
    env_.writeSessionLog(renameSessionFile_, localized("Renamed successfully"), true);
    env_.writeSessionLog(renameSessionFile_, kSeparator, true);
    postToMain([this] { env_.startPushing("1005", "Collective rename success"); });
  } else if (type == kDelete) {
    queue_.setShouldReturnBackupEntries(true);
    uploadsSwitchedOff_ = false;
    traceAndInteractive("Deleted successfully");
    env_.writeSessionLog(deleteSessionFile_, localized("Deleted successfully"), true);
    env_.writeSessionLog(deleteSessionFile_, kSeparator, true);
    postToMain([this] { env_.startPushing("1003", "Deleted Successfully"); });
    daemonTrace("from renameDeleteDidFinishesSucessfully calculate quota called");
    env_.calculateQuota();
    daemonTrace("calculateQuotaWithError from deleteDidFinishSuccessfully");
    env_.clearDeleteFilter();
  } else {
    return;
  }
  env_.updateSSWindowRefresh();
}

void RenameDeleteDispatcher::renameDeleteDidFailWithError(const std::string& error, KVTRenameDeleteController&,
                                                          const std::string& type) {
  if (error.find("password mismatch") != std::string::npos) env_.passwordChangedFromWeb();
  const std::string text = engineText(error);
  if (type == kRename) {
    env_.clearRenamedPathDuringListing();
    if (error.size() >= 2) {
      const std::string line = format(localized("Rename operation failed with error: %@"), {text});
      daemonTrace(line);
      env_.writeSessionLog(renameSessionFile_, line, true);
      QLBackupProgressLogger::progressLogger().logSyncInteractiveSession(line, true);
    }
    postToMain([this] { env_.startPushing("1005", "Collective rename - partial success"); });
    deleteAndBackupOnRenameAbrutFailure(error);
    env_.writeSessionLog(renameSessionFile_, kSeparator, true);
  } else if (type == kDelete) {
    deleteFailed_ = true;
    queue_.setShouldReturnBackupEntries(true);
    uploadsSwitchedOff_ = false;
    if (!error.empty()) {
      const std::string line = format(localized("Delete operation failed with error: %@"), {text});
      env_.writeSessionLog(deleteSessionFile_, line, true);
      QLBackupProgressLogger::progressLogger().logSyncInteractiveSession(line, true);
    }
    daemonTrace("from renamedeleteDidFailWithError calculate quota called");
    env_.calculateQuota();
    daemonTrace("calculateQuotaWithError from deleteDidFailWithError");
    env_.clearDeleteFilter();
    env_.writeSessionLog(deleteSessionFile_, kSeparator, true);
  } else {
    return;
  }
  env_.updateSSWindowRefresh();
}

void RenameDeleteDispatcher::renameDeleteDidRetry(const std::vector<RenameEntry>& renames) {
  const std::string line = format(localized("Retrying rename for:%@"), {describe(renames)});
  daemonTrace(line);
  env_.writeSessionLog(renameSessionFile_, line, true);
}

void RenameDeleteDispatcher::renameDeleteDidReceiveErrors(const std::string& path, const std::string& type) {
  if (type != kDelete) return;
  const std::string line = format(localized("Error: %@ failed to delete"), {engineText(path)});
  daemonTrace(line);
  env_.writeSessionLog(deleteSessionFile_, line, true);
  QLBackupProgressLogger::progressLogger().logSyncInteractiveSession(line, true);
}

void RenameDeleteDispatcher::deleteItemRefused(const std::string& path, const std::string& message) {
  if (message.find(kServerLacksItem) != std::string::npos) deletesNotHeld_.insert(trimmed(path));
  if (!isNewerVersionRefusal(message)) return;
  // Sent again it would be refused again.
  deletesOfUnseen_.insert(trimmed(path));
  const std::string line = format(localized("%@ was changed on another computer and was not deleted; "
                                            "its newer version is fetched"),
                                  {trimmed(path)});
  daemonTrace(line);
  env_.writeSessionLog(deleteSessionFile_, line, true);
  env_.fetchServerVersion(trimmed(path));
}

void RenameDeleteDispatcher::renameItemRefused(const RenameEntry& rename, const std::string& message) {
  renameRefusals_[key(rename.originalPath, rename.renamedPath)] = message;
}

void RenameDeleteDispatcher::renameDeleteDidCancel(KVTRenameDeleteController&, const std::string& type) {
  if (type == kRename) renameCancelled_ = true;
  env_.writeSessionLog(type == kRename ? renameSessionFile_ : deleteSessionFile_, kSeparator, true);
}

void RenameDeleteDispatcher::deleteDidCancel(KVTRenameDeleteController&) {
  deleteCancelled_ = true;
  daemonTrace("Delete operation cancelled");
  env_.writeSessionLog(deleteSessionFile_, localized("Delete operation cancelled"), true);
  QLBackupProgressLogger::progressLogger().logSyncInteractiveSession("Delete operation cancelled", true);
}

void RenameDeleteDispatcher::deleteAndBackupOnRenameAbrutFailure(const std::string& error) {
  const bool connection = renamedelete::isConnectionError(error);
  const std::vector<std::string> olds = service_.oldPathList();
  const std::vector<std::string> news = service_.newPathList();
  const SyncRootPath root(env_.syncRootPath());
  std::vector<std::string> finder;
  std::set<std::string> seen;
  for (std::size_t i = 0; i < std::min(olds.size(), news.size()); ++i) {
    const std::string& oldPath = olds[i];
    const std::string& newPath = news[i];
    if (servicetexts::hasThumbnailSuffix(trimmed(newPath))) continue;
    // The new item and each folder above it leave the file manager's rename set.
    if (connection) {
      for (const std::string& p : renamedelete::selfAndParents(trimmed(newPath), seen)) finder.push_back(root.full(p));
    }
    const RenameEntry k = key(oldPath, newPath);
    const bool confirmed = std::find(confirmedRenames_.begin(), confirmedRenames_.end(),
                                     std::make_pair(k.originalPath, k.renamedPath)) != confirmedRenames_.end();
    if (confirmed) continue;
    // The engine's text for this rename where it gave one, else the run's.
    const auto refusal = renameRefusals_.find(k);
    const std::string& why = refusal != renameRefusals_.end() ? refusal->second : error;
    // The server lacked the old item: the controller left the new one to be
    // uploaded, and a rename sent again would only fail again.
    if (!connection && why.find(kServerLacksItem) != std::string::npos) {
      renameSeen_.erase(k.originalPath);
      continue;
    }
    // The server holds the new name already (an editor's save through a
    // temporary file renamed over the real one): sending the rename again
    // cannot pass, and until the new content is up a listing may fetch the
    // server's older copy over it.
    const bool nameTaken = !connection && why.find(kServerHoldsNewName) != std::string::npos;
    // The old file holds a version this computer never saw: sent again the
    // rename would be refused again.
    const bool unseen = !connection && isNewerVersionRefusal(why);
    int& tries = replays_[k];
    if (!nameTaken && !unseen && ++tries <= kMaxRenameReplays) {
      // The server may or may not have renamed it: sending the rename again
      // is safe either way, a delete of the old name is not. A refusal that
      // does not pass ends in the fallback below rather than in two trees
      // for good.
      queue_.addRenamedFiles(RenameEntry{oldPath, newPath});
      daemonTrace("rename not confirmed (" + engineText(error) + "), queued again: " + oldPath + " -> " + newPath);
    } else {
      replays_.erase(k);
      queueUploadOf(trimmed(newPath));
      // A folder moved into itself or out of itself: deleting the old name
      // would take the new one with it.
      const bool nested = renamedelete::isAtOrUnder(k.renamedPath, k.originalPath) ||
                          renamedelete::isAtOrUnder(k.originalPath, k.renamedPath);
      auto version = renameSeen_.extract(k.originalPath);
      if (!nested) {
        // Trashes the old name only while it holds what was renamed here.
        if (deleteSeen_.size() >= kKeptVersionsLimit) deleteSeen_.clear();
        if (version) deleteSeen_.insert_or_assign(k.originalPath, std::move(version.mapped()));
        queueDeleteOfOld(k.originalPath, k.renamedPath);
      }
      daemonTrace((nameTaken  ? std::string("the server holds the new name")
                   : unseen ? std::string("the server holds a version of the old item not seen here")
                            : "rename not confirmed after " + std::to_string(kMaxRenameReplays) + " tries") +
                  "; the new item is uploaded" + (nested ? "" : " and the old one deleted") + ": " + oldPath +
                  " -> " + newPath);
    }
  }
  if (finder.empty()) return;
  env_.sendToFinder(finder, 1, true);
  std::string list;
  for (const std::string& p : finder) list += (list.empty() ? "" : ", ") + p;
  daemonTrace("Sending RemoveFromRenameSet from deleteAndBackupOnRenameAbruptFailure=(" + list + ")\n");
}

void RenameDeleteDispatcher::queueUploadOf(const std::string& relativePath) {
  if (!renamedelete::isUsableRelativePath(relativePath)) return;
  const SyncRootPath root(env_.syncRootPath());
  if (!root.known()) return;
  const std::string top = root.full(relativePath);
  if (fileutil::isSymlink(top)) return;
  if (!fileutil::isDirectory(top)) {
    if (fileutil::exists(top)) {
      queue_.addBackupFiles(top);
      queue_.addFileToBackup(relativePath);
    }
    return;
  }
  walkTree(top, [&](const std::string& file) {
    queue_.addBackupFiles(file);
    queue_.addFileToBackup(root.relative(file));
  }, [&](const std::string& emptyFolder) { queue_.addDirectory(emptyFolder); });
}

void RenameDeleteDispatcher::queueDeleteOfOld(const std::string& oldPath, const std::string& newPath) {
  const SyncRootPath root(env_.syncRootPath());
  const std::string top = root.known() && renamedelete::isUsableRelativePath(newPath) ? root.full(newPath) : "";
  if (top.empty() || fileutil::isSymlink(top) || !fileutil::isDirectory(top)) {
    queue_.addDeleteFiles(oldPath);
    return;
  }
  // The old folder on the server may hold files this computer never had
  // (another computer put them there after the last listing here): trashing
  // the folder would take them with it. Only the files that moved here are
  // deleted under their old names, each carrying the version synced here;
  // the old folder and whatever else it holds come back with the next listing.
  std::size_t files = 0;
  walkTree(top, [&](const std::string& file) {
    ++files;
    queue_.addDeleteFiles(oldPath + file.substr(top.size()));
  }, [](const std::string&) {});
  daemonTrace("the old folder " + oldPath + " is kept on the server; " + std::to_string(files) +
              " file(s) moved here are deleted under it");
}

void RenameDeleteDispatcher::walkTree(const std::string& top, const std::function<void(const std::string&)>& onFile,
                                      const std::function<void(const std::string&)>& onEmptyFolder) {
  std::vector<std::pair<std::string, int>> stack{{top, 0}};
  std::size_t seen = 0;
  while (!stack.empty() && seen < kMaxWalkItems) {
    auto [folder, depth] = stack.back();
    stack.pop_back();
    auto names = fileutil::listDirectory(folder);
    if (!names) continue;
    if (names->empty()) onEmptyFolder(folder);
    for (const std::string& name : *names) {
      ++seen;
      const std::string child = fileutil::joinPath(folder, name);
      if (fileutil::isSymlink(child)) continue;
      if (fileutil::isDirectory(child)) {
        if (depth + 1 < kMaxWalkDepth) stack.emplace_back(child, depth + 1);
      } else if (!servicetexts::hasThumbnailSuffix(child)) {
        onFile(child);
      }
    }
  }
}

}  // namespace ulmora
