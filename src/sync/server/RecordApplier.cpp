#include "sync/server/RecordApplier.h"

#include <algorithm>

#include <charconv>

#include "foundation/QLUtility.h"
#include "journal/SyncRecordBuilder.h"
#include "platform/FileUtil.h"
#include "platform/Trace.h"
#include "service/ServerPath.h"
#include "sync/server/ServerRenameDecision.h"
#include "sync/status/SyncTraceTexts.h"

namespace ulmora {
namespace {

using Kind = Step::Kind;
using Area = SyncRootFiles::Area;
using MoveResult = SyncRootFiles::MoveResult;

// Folders recorded for one moved folder: a bound on a walk of a tree the
// user controls.
constexpr std::size_t kMaxRecordedFolders = 4096;

void trace(const std::string& line) { traceLine(line); }

void marker(int n) {
  if (n > 0) trace("Validate file ref id or server file is nill " + std::to_string(n));
}

bool plausibleSize(const std::string& text) {
  int64_t value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return ec == std::errc() && end == text.data() + text.size() && value >= 0 &&
         value < (int64_t{1} << 50);
}

std::string parentOf(const std::string& relative) {
  std::string parent = fileutil::parentPath(relative);
  return parent == "/" ? std::string() : parent;
}

}  // namespace

RecordApplier::RecordApplier(const SyncRootFiles& files, LocalCache& cache, Ports ports, ListingTally& tally,
                             RecordChangeTracker& recIds, Hooks hooks)
    : files_(files), cache_(cache), ports_(ports), tally_(tally), recIds_(recIds), hooks_(std::move(hooks)) {}

ItemState RecordApplier::itemState(const std::string& relative) const {
  ItemState state;
  if (auto info = files_.info(relative)) {
    state.exists = true;
    state.isFolder = info->isFolder;
    state.modified = info->modified;
    if (!info->isFolder) state.size = info->size;
  }
  return state;
}

std::optional<RecordFacts> RecordApplier::gather(const ServerRecord& record, const std::string& operation,
                                                 const Flags& flags) {
  auto fname = files_.check(record.fname);
  if (!fname) {
    trace("validateFiles dropped a record with an unusable path " + serverpath::forTrace(record.fname));
    return std::nullopt;
  }
  std::optional<std::string> fnameOld;
  if (!record.fnameOld.empty()) {
    fnameOld = files_.check(record.fnameOld);
    if (!fnameOld) {
      trace("validateFiles dropped a record with an unusable former path " +
            serverpath::forTrace(record.fnameOld));
      return std::nullopt;
    }
  }
  RecordFacts f;
  f.record = record;
  // Queue and database keys take the one canonical form ("/a/b", folders "/a/b/").
  f.record.fname = *fname + (record.isFolder() ? "/" : "");
  if (fnameOld && !files_.info(*fnameOld)) {
    const std::string moved = movedWithFolders(*fnameOld);
    if (moved != *fnameOld && moved != *fname) {
      trace("validateFiles takes the former path " + serverpath::forTrace(*fnameOld) + " as " +
            serverpath::forTrace(moved) + ": its folder was renamed earlier in this listing");
      fnameOld = moved;
    }
  }
  if (fnameOld) f.record.fnameOld = *fnameOld + (record.fnameOld.back() == '/' ? "/" : "");
  f.operation = operation;
  f.serverTime = QLUtility::dateFromString(record.modTime);
  f.isReinitialize = flags.isReinitialize;
  f.shouldRestoreFileDirectly = flags.shouldRestoreFileDirectly;
  f.newSideHidden = ports_.selective.checkForFileisUnderSSyncSet(f.record.fname);
  f.oldSideHidden = fnameOld && ports_.selective.checkForFileisUnderSSyncSet(f.record.fnameOld);
  const bool rename = operation == ServerRecord::kCodeRenamed;
  if (rename ? (f.newSideHidden && f.oldSideHidden) : f.newSideHidden) return std::nullopt;
  if (!record.isFolder() && f.record.fname != record.fname)
    trace("validateFiles takes " + serverpath::forTrace(record.fname) + " as " + serverpath::forTrace(f.record.fname));
  if (rename && !fnameOld) return f;  // the decision drops it

  f.local = itemState(*fname);
  if (fnameOld) f.old = itemState(*fnameOld);
  const std::string key = rowKey(f.record.fname);
  if (operation == ServerRecord::kCodeChanged && f.local.exists) {
    f.backedUp = ports_.status.backupStatus(key);
    f.restored = ports_.status.restoreStatus(key);
    if (!f.local.isFolder) {
      f.recorded = ports_.status.recordedFacts(key);
      f.changedSinceDownload = ports_.filters.isChangedSinceDownload(f.record.fname);
      if (auto written = ports_.filters.versionDownloadedHere(f.record.fname))
        f.downloadedHere = ItemState{true, false, written->modified, written->size};
      f.backupAndRefId = ports_.status.backupStatusAndRefId(key);
    }
  } else if (operation == ServerRecord::kCodeDeleted && f.local.exists) {
    f.backupAndRefId = ports_.status.backupStatusAndRefId(key);
    if (!f.local.isFolder) {
      f.restored = ports_.status.restoreStatus(key);
      f.recorded = ports_.status.recordedFacts(key);
      f.changedSinceDownload = ports_.filters.isChangedSinceDownload(f.record.fname);
    }
  } else if (rename) {
    if (f.local.exists) {
      f.backedUp = ports_.status.backupStatus(key);
      f.restored = ports_.status.restoreStatus(key);
      if (!f.old.exists) f.backupStatusDuringMismatch = ports_.status.backupStatusDuringMismatch(key);
      if (!f.local.isFolder) {
        f.recorded = ports_.status.recordedFacts(key);
        f.changedSinceDownload = ports_.filters.isChangedSinceDownload(f.record.fname);
      }
    }
    if (f.old.exists) f.oldBackedUp = ports_.status.backupStatus(rowKey(f.record.fnameOld));
    // Each echo is taken when it comes, whatever is here: one left behind
    // could later be taken for another computer's same rename.
    const bool echo = hooks_.takeRenamedHere && hooks_.takeRenamedHere(f.record.fnameOld, f.record.fname);
    // A listing whose index is held for its downloads brings the echo again,
    // after it was taken: the version kept for the new name still tells,
    // until the file there is sent or fetched.
    f.echoOfRenameHere = echo || (f.local.exists && !f.local.isFolder && !f.old.exists &&
                                  ports_.filters.isRenamedHereTo(f.record.fname));
    f.renamedHere = echo && !f.local.exists && !f.old.exists;
    if (f.local.exists && f.old.exists && !f.old.isFolder && f.old.modified && f.old.size) {
      auto recorded = ports_.status.recordedFacts(rowKey(f.record.fnameOld));
      f.oldUnchangedSinceSync = recorded && recorded->modificationDate == syncrecord::dateText(*f.old.modified) &&
                                recorded->size == std::to_string(*f.old.size) &&
                                !ports_.filters.isChangedSinceDownload(f.record.fnameOld);
    }
  }
  if (operation == ServerRecord::kCodeChanged && !record.isFolder() && !f.local.exists) {
    if (auto moved = afterFolderMoves(f.record.fname); moved && moved->path != f.record.fname) {
      if (auto at = files_.checkQuietly(moved->path)) {
        f.movedFolder = moved->formerFolder;
        f.movedPath = *at;
        f.movedItem = itemState(*at);
      }
    }
  }
  const bool wantsRefIdPath =
      flags.useRefId && !record.refId.empty() && !f.local.exists &&
      (((operation == ServerRecord::kCodeDeleted || operation == ServerRecord::kCodeChanged) && !record.isFolder()) ||
       (rename && !f.old.exists));
  if (wantsRefIdPath) {
    if (auto recorded = ports_.queue.getFilePathforRefID(record.refId)) {
      if (auto rel = files_.check(*recorded)) {
        f.refIdPath = *rel;
        f.refIdItem = itemState(*rel);
        f.refIdPathBackedUp = ports_.status.backupStatus(*rel);
      }
    }
  }
  return f;
}

void RecordApplier::listingDidStart() {
  MutexLock lock(mu_);
  folderRenames_.clear();
  formerFolders_.clear();
}

std::optional<RecordApplier::FolderMoved> RecordApplier::afterFolderMoves(const std::string& relative) const {
  MutexLock lock(mu_);
  // This listing's renames first; those of a listing just before stand in
  // while their rows move (the upload's echo may come one listing later).
  for (const std::vector<RenameEntry>* renames : {&folderRenames_, &rowRenames_}) {
    FolderMoved moved{relative, {}};
    for (const RenameEntry& r : *renames) {
      if (moved.path != r.originalPath && !moved.path.starts_with(r.originalPath + "/")) continue;
      if (moved.formerFolder.empty()) moved.formerFolder = r.originalPath;
      moved.path = r.renamedPath + moved.path.substr(r.originalPath.size());
    }
    if (!moved.formerFolder.empty()) return moved;
  }
  return std::nullopt;
}

void RecordApplier::followFolderMove(const Step& step) {
  auto from = files_.checkQuietly(step.path);
  auto to = files_.checkQuietly(step.target);
  if (!from || !to) return;
  trace("validateFiles " + serverpath::forTrace(*from) + " went up under the former name of a folder moved on the " +
        "server; it goes up again at " + serverpath::forTrace(*to));
  // Whatever row the former name still has stands for a file that is not
  // there; the new name gets the upload's. The server's copy at the former
  // name goes, as if the user had moved the file after its upload.
  ports_.queue.addFileToDelete(*from);
  ports_.queue.addServerDelete(*from);
  ports_.queue.addFileToBackup(*to);
  ports_.queue.addBackupFiles(files_.fullPath(*to));
  MutexLock lock(mu_);
  formerFolders_[step.key].followed = true;
}

std::vector<std::string> RecordApplier::takeFormerFoldersToClear() {
  MutexLock lock(mu_);
  std::vector<std::string> folders;
  for (auto& [folder, seen] : formerFolders_) {
    if (!seen.followed || seen.othersCame || seen.given) continue;
    seen.given = true;
    folders.push_back(folder);
  }
  return folders;
}

bool RecordApplier::clearedOnServer(const std::string& relative) const {
  std::string path = relative;
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  MutexLock lock(mu_);
  for (const auto& [folder, seen] : formerFolders_) {
    if (seen.given && (path == folder || path.starts_with(folder + "/"))) return true;
  }
  return false;
}

std::string RecordApplier::movedWithFolders(std::string relative) const {
  MutexLock lock(mu_);
  for (const RenameEntry& r : folderRenames_) {
    if (relative == r.originalPath) {
      relative = r.renamedPath;
    } else if (relative.starts_with(r.originalPath + "/")) {
      relative = r.renamedPath + relative.substr(r.originalPath.size());
    }
  }
  return relative;
}

void RecordApplier::noteFolderRename(const RenameEntry& rename) {
  {
    MutexLock lock(mu_);
    folderRenames_.push_back(rename);
    rowRenames_.push_back(rename);
  }
  // The next listing may come before the rows have moved (a delete of a file
  // inside, pushed a second later): until then its keys are still found.
  if (!hooks_.postDelayed) return;
  hooks_.postDelayed(
      [this, rename] {
        MutexLock lock(mu_);
        auto it = std::find(rowRenames_.begin(), rowRenames_.end(), rename);
        if (it != rowRenames_.end()) rowRenames_.erase(it);
      },
      kRowsMoveWithin);
}

std::string RecordApplier::rowKey(const std::string& key) const {
  std::string former = key;
  {
    MutexLock lock(mu_);
    for (auto it = rowRenames_.rbegin(); it != rowRenames_.rend(); ++it) {
      if (former == it->renamedPath || former.starts_with(it->renamedPath + "/")) {
        former = it->originalPath + former.substr(it->renamedPath.size());
      }
    }
  }
  // The rows of a folder renamed here move through the input queue a moment
  // later; until then they stand under the former path.
  if (former == key || ports_.status.backupStatusDuringMismatch(key) != 2) return key;
  return former;
}

void RecordApplier::validateFiles(const ServerRecord& record, const std::string& operation,
                                  const Flags& flags) {
  auto facts = gather(record, operation, flags);
  if (!facts) return;
  if (operation == ServerRecord::kCodeDeleted && facts->local.exists && !facts->local.isFolder &&
      compareTimes(facts->serverTime, facts->local.modified) == TimeOrder::kEqual) {
    trace(synctexts::serverFile(facts->record.fname));
    trace(synctexts::quotedForLookup(facts->record.fname));
  }
  Plan plan = operation == ServerRecord::kCodeRenamed ? decideServerRename(*facts) : decideRecord(*facts);
  const bool followed = std::any_of(plan.steps.begin(), plan.steps.end(),
                                    [](const Step& s) { return s.kind == Kind::kFollowFolderMove; });
  if (!followed) {
    // Anything else under a former folder name (another computer's file put
    // there, a delete, a rename) makes it a folder of its own again: it is
    // not deleted on the server.
    for (const std::string* path : {&facts->record.fname, &facts->record.fnameOld}) {
      if (path->empty()) continue;
      std::string item = *path;
      if (item.size() > 1 && item.back() == '/') item.pop_back();
      if (auto moved = afterFolderMoves(item)) {
        MutexLock lock(mu_);
        formerFolders_[moved->formerFolder].othersCame = true;
      }
    }
  }
  apply(*facts, plan);
}

void RecordApplier::apply(const RecordFacts& facts, const Plan& plan) {
  const ServerRecord& record = facts.record;
  if (!plan.note.empty()) trace("validateFiles " + serverpath::forTrace(record.fname) + ": " + plan.note);
  if (plan.localFileOldPath) trace(synctexts::localFileOldPath(files_.fullPath(*plan.localFileOldPath)));
  for (const std::string& line : plan.traces) trace(line);
  for (const Step& step : plan.steps) {
    switch (step.kind) {
      case Kind::kDownload:
        download(record, step);
        break;
      case Kind::kRefIdUpdate:
        if (!record.refId.empty())
          ports_.queue.addToUpdateRefID({{record.fname, record.refId}});
        else
          marker(step.marker);
        break;
      case Kind::kUpload:
        ports_.queue.addFileToBackup(record.fname);
        ports_.queue.addBackupFiles(files_.fullPath(record.fname));
        break;
      case Kind::kSyncDelete:
        if (step.keepUnsynced && keepWhatTheServerLacks(step.path, step.key)) break;
        if (!syncDelete(step.path, step.key, step.sessionLog)) trace("fileDeletedLocally failed");
        break;
      case Kind::kMoveThenDelete: {
        // Cached under the server's name when its folder is here; a folder
        // is not made only to be left empty.
        std::string parent = parentOf(step.target);
        bool parentHere = parent.empty() || files_.info(parent).has_value();
        if (!parentHere) {
          syncDelete(step.path, step.key, step.sessionLog);
        } else if (guardedMove(step.path, step.target)) {
          syncDelete(step.target, step.key, step.sessionLog);
        }
        break;
      }
      case Kind::kLocalRename:
        localRename(record, step);
        break;
      case Kind::kFolderRename:
        folderRename(step);
        break;
      case Kind::kFolderRowsFollow:
        if (auto from = files_.checkQuietly(step.path), to = files_.checkQuietly(step.target); from && to) {
          folderRowsFollow(*from, *to);
          // Later records of this listing may still name its items under
          // the former folder (a file renamed on the server just before the
          // move): they are looked for where the move took them.
          if (auto info = files_.info(*to); info && info->isFolder) noteFolderRename({*from, *to});
        }
        break;
      case Kind::kQueueDbDelete:
        ports_.queue.addFileToDelete(step.key);
        break;
      case Kind::kCheckEmptyFolder:
        checkforEmptyFolder(step.path);
        break;
      case Kind::kAddServerFolder:
        if (hooks_.addServerFolder) hooks_.addServerFolder(record);
        break;
      case Kind::kAddDeleteFolder:
        tally_.addFolderToDelete(step.path);
        break;
      case Kind::kFollowFolderMove:
        followFolderMove(step);
        break;
      case Kind::kRestoreAtNewPlaceOrDownload:
        if (!cache_.moveFromCacheAtLocation(record, record.fname)) download(record, step);
        break;
      case Kind::kMoveThenDownload:
        if (cache_.moveFromCache(LocalCache::Wanted::fromRecord(record))) break;
        if (!plausibleSize(record.size)) {
          trace("validateFiles dropped a download with an unusable size for " +
                serverpath::forTrace(record.fname));
          break;
        }
        if (step.moveFirst && guardedMove(step.path, record.fname)) {
          // The row of the name just left would stand for a file that is
          // gone, and be taken later for a delete made here; the new name
          // gets the download's row.
          ports_.queue.addFileToDelete(step.path);
          queueDownload(record, step);  // over the uploaded copy just moved there
        } else {
          Step fetch = step;
          fetch.cacheFirst = false;
          download(record, fetch);  // something may stand at the new name by now
        }
        break;
    }
  }
  if (plan.bookkeeping && recIds_.note(record.rcId) && hooks_.relistReferenceIds) hooks_.relistReferenceIds();
}

void RecordApplier::handleForRestore(const ServerRecord& record) {
  if (!files_.check(record.fname)) return;
  Step step{Kind::kDownload};
  step.avoidBackup = true;
  download(record, step);
}

void RecordApplier::keepRefusedUpload(const std::string& relative) {
  auto fname = files_.check(relative);
  if (!fname) return;
  ServerRecord record;
  record.fname = *fname;
  record.size = "0";  // not known here: it counts for nothing in the totals
  Step step{Kind::kDownload};
  step.keepLocalEdit = true;
  step.cacheFirst = false;  // a cached copy is older still
  step.avoidBackup = true;
  step.avoidDelete = false;
  download(record, step);
}

bool RecordApplier::download(const ServerRecord& record, const Step& step) {
  const std::string& fname = record.fname;
  if (!plausibleSize(record.size)) {
    trace("validateFiles dropped a download with an unusable size for " + serverpath::forTrace(fname));
    return false;
  }
  if (auto info = files_.info(fname)) {
    if (info->isFolder) {
      trace("no download over the local folder " + serverpath::forTrace(fname));
      return false;
    }
    // The local file may hold an edit that has not reached the server.
    if (step.conflictAlways || step.keepLocalEdit || !ports_.status.backupStatus(rowKey(fname))) {
      if (step.conflictAlways)
        trace("reinitialize and server lmd grater than local moving local file to conflict data folder");
      else
        trace("the local edit of " + serverpath::forTrace(fname) + " is kept as a conflict copy");
      if (!keepAsConflictCopy(fname)) {
        trace("no download of " + serverpath::forTrace(fname) + ": the local edit could not be set aside");
        return false;
      }
    }
  }
  if (step.cacheFirst && cache_.moveFromCache(LocalCache::Wanted::fromRecord(record))) return true;
  queueDownload(record, step);
  return true;
}

void RecordApplier::queueDownload(const ServerRecord& record, const Step& step) {
  const std::string& fname = record.fname;
  if (!record.refId.empty())
    ports_.queue.addFileToUpdate({{fname, record.refId}});
  else
    marker(step.marker);
  if (step.avoidBackup) {
    ports_.filters.addToAvoidBackup(fname);
    int64_t size = 0;
    const auto [end, ec] = std::from_chars(record.size.data(), record.size.data() + record.size.size(), size);
    const auto modified = QLUtility::dateFromString(record.modTime);
    if (ec == std::errc() && end == record.size.data() + record.size.size() && modified)
      ports_.filters.expectDownload(fname, size, *modified);
  }
  ports_.queue.addRestoreFiles({{fname, record.size}});
  if (step.avoidDelete) ports_.filters.addToAvoidDelete(fname, record.size);
}

bool RecordApplier::keepAsConflictCopy(const std::string& relative) {
  // The move must not reach the server as the user deleting the file.
  std::string full = files_.fullPath(relative);
  ports_.filters.addToExclude(full);
  auto copy = cache_.moveToCacheWithoutDate(relative);
  liftExclusionsLater(full, {});
  if (copy && ports_.sessionLog) ports_.sessionLog->conflictCopyKept(relative, *copy);
  return copy.has_value();
}

bool RecordApplier::heldOnlyHere(const std::string& relative) {
  if (!ports_.status.backupStatus(rowKey(relative))) return true;
  return editedSinceItsRow(relative, relative);
}

bool RecordApplier::editedSinceItsRow(const std::string& rowPath, const std::string& file) {
  const std::string key = rowKey(rowPath);
  RecordFacts f;
  f.local = itemState(file);
  f.restored = ports_.status.restoreStatus(key);
  f.recorded = ports_.status.recordedFacts(key);
  f.changedSinceDownload = ports_.filters.isChangedSinceDownload(rowPath);
  return editedSinceSync(f);
}

bool RecordApplier::keepWhatTheServerLacks(const std::string& item, const std::string& key) {
  auto canonical = files_.checkQuietly(item);  // a folder's path comes with its "/"
  auto info = canonical ? files_.info(*canonical) : std::nullopt;
  if (!info) return false;
  const std::string& path = *canonical;
  if (!info->isFolder) {
    if (!heldOnlyHere(path)) return false;
    if (!keepAsConflictCopy(path)) {
      trace(serverpath::forTrace(path) + " holds what the server lacks and could not be set aside; it stays");
      return true;
    }
    ports_.queue.addFileToDelete(key);
    ports_.filters.AaddToAvoidAutoDelete(key);
    return true;
  }
  // Files inside the folder that the server lacks are set aside one by one;
  // the rest goes to the cache with the folder.
  std::vector<std::string> pending{path};
  while (!pending.empty()) {
    std::string folder = std::move(pending.back());
    pending.pop_back();
    auto names = files_.list(folder);
    if (!names) continue;
    for (const auto& name : *names) {
      std::string sub = folder + "/" + name;
      auto item = files_.info(sub);
      if (!item) continue;
      if (item->isFolder) {
        pending.push_back(sub);
      } else if (heldOnlyHere(sub) && !keepAsConflictCopy(sub)) {
        trace(serverpath::forTrace(sub) + " holds what the server lacks and could not be set aside; " +
              serverpath::forTrace(path) + " stays");
        return true;
      }
    }
  }
  return false;
}

bool RecordApplier::syncDelete(const std::string& path, const std::string& key, bool sessionLog) {
  if (!cache_.moveToCache(path)) return false;  // it stays where it is
  std::string full = files_.fullPath(path);
  ports_.recent.setRecentlyModifiedItems(full, " - Auto Deleted");
  ports_.queue.addFileToDelete(key);
  tally_.countDeletion(full);
  ports_.filters.AaddToAvoidAutoDelete(key);
  if (sessionLog && ports_.sessionLog) ports_.sessionLog->syncDeleted(path);
  return true;
}

void RecordApplier::liftExclusionsLater(const std::string& a, const std::string& b) {
  auto& filters = ports_.filters;
  auto lift = [&filters, a, b] {
    filters.removeFromExclude(a);
    if (!b.empty()) filters.removeFromExclude(b);
  };
  if (hooks_.postDelayed)
    hooks_.postDelayed(lift, kExcludeLift);
  else
    lift();
}

bool RecordApplier::guardedMove(const std::string& from, const std::string& to) {
  std::string fullFrom = files_.fullPath(from), fullTo = files_.fullPath(to);
  ports_.filters.addToExclude(fullTo);
  ports_.filters.addToExclude(fullFrom);
  ports_.filters.addToAvoidRename({from, to});
  bool moved = files_.move(from, to) == MoveResult::kMoved;
  liftExclusionsLater(fullTo, fullFrom);
  return moved;
}

void RecordApplier::localRename(const ServerRecord& record, const Step& step) {
  std::string fullFrom = files_.fullPath(step.path), fullTo = files_.fullPath(step.target);
  if (!guardedMove(step.path, step.target)) {
    trace("local rename of " + serverpath::forTrace(step.path) + " failed; downloading " +
          serverpath::forTrace(step.target) + " instead");
    Step fetch{Kind::kDownload};
    fetch.avoidBackup = true;
    download(record, fetch);
    return;
  }
  ports_.recent.setRecentlyModifiedItems(fullTo, " - Auto Renamed");
  tally_.countRename(fullFrom, fullTo);
  ports_.queue.addFileToRename({step.key, step.target});
  if (ports_.sessionLog) ports_.sessionLog->syncRenamed(step.key, step.target);
  if (step.checkParentAfter) checkforEmptyFolder(parentOf(step.path));
}

void RecordApplier::folderRename(const Step& step) {
  auto from = files_.check(step.path);
  auto to = files_.check(step.target);
  if (!from || !to) return;
  ports_.filters.addToAvoidRename({*from, *to});
  if (files_.move(*from, *to) != MoveResult::kMoved) {
    trace("local folder rename of " + serverpath::forTrace(*from) + " failed");
    return;
  }
  updateRecordToDBWithDirectoryContent({*from, *to}, true);
  folderRowsFollow(*from, *to);
  noteFolderRename({*from, *to});
  std::string fullTo = files_.fullPath(*to);
  tally_.countRename(files_.fullPath(*from), fullTo);
  ports_.recent.setRecentlyModifiedItems(fullTo, " - Auto Renamed");
  if (ports_.sessionLog) ports_.sessionLog->syncRenamed(*from, *to);
}

void RecordApplier::updateRecordToDBWithDirectoryContent(const RenameEntry& folder, bool uploadUnrecorded) {
  auto from = files_.checkQuietly(folder.originalPath);
  auto to = files_.checkQuietly(folder.renamedPath);
  if (!from || !to) return;
  std::vector<std::string> pending{""};
  while (!pending.empty()) {
    std::string below = std::move(pending.back());
    pending.pop_back();
    auto names = files_.list(*to + below);
    if (!names) continue;
    for (const auto& name : *names) {
      std::string sub = below + "/" + name;
      auto info = files_.info(*to + sub);
      if (!info) continue;
      if (info->isFolder) {
        pending.push_back(sub);
      } else if (ports_.filters.shouldExcludeFile(*to + sub)) {
        continue;
      } else if (uploadUnrecorded && ports_.status.backupStatusDuringMismatch(rowKey(*from + sub)) == 2) {
        // Made here and not yet recorded: its upload under the old name
        // finds nothing now, and the move is kept from the capture, so
        // nothing else would ever send it.
        ports_.queue.addFileToBackup(*to + sub);
        ports_.queue.addBackupFiles(files_.fullPath(*to + sub));
      } else {
        ports_.queue.addFileToRename({*from + sub, *to + sub});
        // An edit here not sent yet: its upload under the old name finds
        // nothing now either. The row it follows names the version the
        // server moved, which the edit replaces at the new name.
        if (uploadUnrecorded && editedSinceItsRow(*from + sub, *to + sub)) {
          ports_.queue.addFileToBackup(*to + sub);
          ports_.queue.addBackupFiles(files_.fullPath(*to + sub));
        }
      }
    }
  }
}

void RecordApplier::folderRowsFollow(const std::string& from, const std::string& to) {
  // What is left under the former name (the folder rows, rows of files not
  // here) goes. The write-behind writes this delete after the file renames
  // queued before it, since it covers their former paths.
  ports_.queue.addFileToDelete(from);
  std::vector<std::string> folders;
  if (auto info = files_.info(to); info && info->isFolder) folders.push_back(to);
  for (std::size_t i = 0; i < folders.size() && i < kMaxRecordedFolders; ++i) {
    ports_.queue.addFileToUpdate({{folders[i], "Backup"}});
    for (const std::string& name : files_.list(folders[i]).value_or(std::vector<std::string>{})) {
      std::string sub = folders[i] + "/" + name;
      if (auto info = files_.info(sub); info && info->isFolder) folders.push_back(std::move(sub));
    }
  }
}

void RecordApplier::checkforEmptyFolder(const std::string& path) {
  auto current = files_.checkQuietly(path);
  for (int depth = 0; current && depth < 4096; ++depth) {
    auto info = files_.info(*current);
    if (!info) return;
    if (info->isFolder) {
      if (!files_.removeEmptyFolder(*current)) return;
      ports_.queue.addFileToDelete(*current);  // its row goes with it
    }
    std::string parent = parentOf(*current);
    if (parent.empty()) return;  // the root stays
    current = parent;
  }
}

}  // namespace ulmora
