#include "sync/upload/UploadRunHandler.h"

#include <charconv>

#include "foundation/LoginDetails.h"
#include "foundation/QLLocalizedString.h"
#include "platform/FileUtil.h"
#include "sync/runs/RepeatedSetRule.h"
#include "sync/runs/SeenVersionRule.h"
#include "sync/files/SyncPathHelpers.h"

namespace ulmora {
using namespace fileutil;

namespace {
using K = KVTProgressRecord;

bool isUploadMode(const std::string& mode) {
  return mode == K::kFullBackup || mode == K::kSyncFile || mode == K::kIncrementalBackup;
}
}  // namespace

UploadRunHandler::UploadRunHandler(RunRoadContext& ctx, UploadRenames& renames,
                                   RepeatedSetCounts& repeatedSets)
    : ctx_(ctx), renames_(renames), repeatedSets_(repeatedSets), log_(ctx.clock) {}

void UploadRunHandler::operationDidStart() {
  std::string header = runending::sessionHeader(ctx_, ctx_.host.accountUser().ulmoraUsername());
  ctx_.queue.deleteFileFor("1", true);
  {
    MutexLock lock(arrivedMutex_);
    arrived_.clear();
    refused_.clear();
  }
  log_.open(ctx_.host.createSessionFileForOperation(1, "Sync-Up"));
  log_.line(header, false);
}

bool UploadRunHandler::stillAsUploaded(const std::string& relative, const std::string& fileSize) const {
  auto full = syncpaths::fullPath(SyncRootPath(ctx_.syncRoot()), relative);
  if (!full) return false;
  auto size = fileutil::fileSize(*full);
  if (!size) return false;
  int64_t sent = 0;
  auto [end, ec] = std::from_chars(fileSize.data(), fileSize.data() + fileSize.size(), sent);
  // A report without a usable size cannot tell; the file is taken as sent.
  if (ec != std::errc() || end != fileSize.data() + fileSize.size()) return true;
  return *size == sent;
}

void UploadRunHandler::operationDidReceiveData(const KVTProgressRecord& record) {
  ctx_.host.sendDataToMonitor(record, 1, 0);
  if (!record.isDone() || !isUploadMode(record.transferMode)) return;
  const std::string& file = record.filename;
  const SyncRootPath root(ctx_.syncRoot());
  {
    MutexLock lock(arrivedMutex_);
    arrived_.insert(file);
  }
  ctx_.host.uploadArrived(file, record.filesize);

  auto renamedTo = renames_.followRename(file, [&](const std::string& path) {
    auto full = syncpaths::fullPath(root, path);
    return full && exists(*full);
  });
  if (renamedTo) ctx_.queue.addFileToUpdate({{*renamedTo, "Backup"}});

  if (renamedTo || stillAsUploaded(file, record.filesize)) {
    ctx_.queue.addFileToUpdate({{file, "Backup"}});
  } else if (auto full = syncpaths::fullPath(root, file); full && exists(*full)) {
    // Changed while it uploaded: what arrived is not what is here now.
    daemonTrace("changed during its upload, queued again: " + file);
    ctx_.queue.addBackupFiles(*full);
  } else {
    daemonTrace("gone before its upload was recorded: " + file);
  }

  if (record.transferMode != K::kSyncFile) {
    ctx_.host.addVideoFile(file);
    if (auto full = syncpaths::fullPath(root, file)) ctx_.host.addToCraeteThumbnail(*full);
    std::string line = runending::fileLine(record, "Backup", "Sync up");
    log_.line(line, true);
  }
  if (!file.empty()) ctx_.host.setRecentlyModifiedItems(file, " - Synced up");
}

void UploadRunHandler::operationDidReceiveErrors(const std::string& error, const std::string& path) {
  runending::perFileError(ctx_, log_, error, path);
  if (!isNewerVersionRefusal(error)) return;
  const std::string relative = syncpaths::relativePath(SyncRootPath(ctx_.syncRoot()), path);
  if (relative.empty() || relative == "/") return;
  // Sent again it would be refused again: the conflict road takes it.
  {
    MutexLock lock(arrivedMutex_);
    refused_.insert(relative);
  }
  daemonTrace("the server holds a version of " + relative +
              " not seen here; the local file is kept as a conflict copy");
  ctx_.host.keepRefusedUpload(relative);
}

void UploadRunHandler::handOnRenames() {
  for (const auto& entry : renames_.takeFinished()) ctx_.queue.addRenamedFiles(entry);
  std::vector<RenameEntry> unfollowed = renames_.takeUnfollowed();
  if (unfollowed.empty()) return;
  std::set<std::string> arrived;
  {
    MutexLock lock(arrivedMutex_);
    arrived = arrived_;
  }
  for (const auto& entry : unfollowed) {
    daemonTrace("rename held for the upload handed on: " + entry.originalPath + " -> " + entry.renamedPath);
    ctx_.queue.addRenamedFiles(entry);
    if (!arrived.count(entry.originalPath)) ctx_.host.uploadAfterRename(entry);
  }
}

void UploadRunHandler::announce(int32_t total, bool evenWhenNothing) {
  RunSummary s = ctx_.uploadManager.summary();
  if (total == 1) {
    ctx_.host.startPushing(ctx_.syncUser, "1001", s.fileSuccessfullySynced);
    daemonTrace("Notification sent syncup done");
  } else if (total >= 2) {
    ctx_.host.startPushing(ctx_.syncUser, "1001", std::to_string(total) + " files has been syned up");
    daemonTrace("Notification sent syncup done2");
  } else if (total == 0 && evenWhenNothing) {
    ctx_.host.startPushing(ctx_.syncUser, "1001", "Synced up in in-sync mode");
    daemonTrace("Notification sent syncup done3");
  }
}

void UploadRunHandler::queryForMore(const RunSummary& summary, bool listRefIds) {
  if (ctx_.queue.doesIPFileAvailableFor("1")) return;
  if (listRefIds) ctx_.host.updateRefIDwithListingIndex(false);
  int32_t repeats = 0;
  bool stop = false;
  {
    MutexLock hold(repeatedSets_.mutex);
    repeats = repeatedSets_.sameBackupSetRepeatedCount;
    stop = summary.backupOrRestorFailCount != 0 || static_cast<uint32_t>(repeats) > kMaxRepeatedSets;
    if (stop) repeatedSets_.sameBackupSetRepeatedCount = 0;
  }
  if (stop) {
    daemonTrace("check failure count query main db is not called due to backup failures");
    daemonTrace("sameBackupSetRepeatedCount:0");
  } else {
    daemonTrace("Calling is there any file exist for backup after one set finish");
    daemonTrace("sameBackupSetRepeatedCount:" + std::to_string(repeats));
    ctx_.host.queryMainDB(1);
  }
}

void UploadRunHandler::requeueUnsent() {
  std::set<std::string> arrived, refused;
  {
    MutexLock lock(arrivedMutex_);
    arrived.swap(arrived_);
    refused.swap(refused_);
  }
  const SyncRootPath root(ctx_.syncRoot());
  size_t count = 0;
  for (const auto& entry : ctx_.uploadManager.fileFolderSetForOperation()) {
    if (arrived.count(entry) || refused.count(entry)) continue;
    auto full = syncpaths::fullPath(root, entry);
    if (!full || !exists(*full)) continue;
    ctx_.queue.addBackupFiles(*full);
    ++count;
  }
  daemonTrace("upload run failed; " + std::to_string(count) + " files queued again");
}

void UploadRunHandler::operationDidFinishSuccessfully() {
  daemonTrace("operationDidFinishSuccessfully called");
  daemonTrace("Backup operation finished");
  RunSummary summary = ctx_.uploadManager.summary();
  if (summary.succesFileCount > 0) log_.closeSuccessfully("Synced up successfully");
  ctx_.host.makeVideoCGICall();
  ctx_.uploadManager.setRunningState(false);
  removeAll(ctx_.files.backupFileEntries);
  ctx_.host.updateSSWindowRefresh();
  handOnRenames();
  announce(summary.succesFileCount + summary.syncFileCount, true);
  queryForMore(summary, true);
  runending::tail(ctx_, ctx_.uploadManager, summary);
}

void UploadRunHandler::operationDidFailWithError(const std::string& error) {
  RunSummary summary = ctx_.uploadManager.summary();
  daemonTrace("operationDidFailWithError called");
  daemonTrace("inErrorStr:" + runtext::withAccountName(error, ctx_.syncUser, ctx_.host.accountUser().ulmoraUsername()) +
              " [obj errorCode]:" + std::to_string(summary.errorCode));
  const bool accountFailed = runending::handleAccountFailure(ctx_, error, summary);
  ctx_.host.updateImageInformation();
  ctx_.host.makeVideoCGICall();
  ctx_.uploadManager.setRunningState(false);
  runending::recalculateQuota(ctx_, "operationdidFailwitherror");
  if (summary.failureFileCount != 0) log_.line(QLLocalizedString(runtext::kNotTransferred), true);
  removeAll(ctx_.files.backupFileEntries);
  log_.separator();
  ctx_.host.updateSSWindowRefresh();
  handOnRenames();
  if (!accountFailed) {
    // What arrived is recorded; the rest waits for a later cycle.
    announce(summary.succesFileCount + summary.syncFileCount, false);
    requeueUnsent();
    if (summary.succesFileCount + summary.syncFileCount > 0 && !ctx_.queue.doesIPFileAvailableFor("1"))
      ctx_.host.updateRefIDwithListingIndex(false);
    MutexLock hold(repeatedSets_.mutex);
    repeatedSets_.sameBackupSetRepeatedCount = 0;
  }
  ctx_.uploadManager.removeTempFilePaths();
}

void UploadRunHandler::operationDidFailWithOverQuota() {
  ctx_.queue.deleteFileFor("1", false);
  if (!ctx_.files.quotaMarker.empty() && !exists(ctx_.files.quotaMarker))
    writeFileAtomically(ctx_.files.quotaMarker, "QotaExceeded");
  log_.line(QLLocalizedString(runtext::kOverQuota), true);
  runending::recalculateQuota(ctx_, "operationdidfaileWithOverQuota");
  ctx_.host.updateImageInformation();
  ctx_.host.makeVideoCGICall();
  ctx_.uploadManager.setRunningState(false);
  ctx_.uploadManager.removeTempFilePaths();
  handOnRenames();
  if (LoginDetails::isSubAccount(ctx_.files.accountPlist)) return;
  ctx_.host.showDesktopPushNotification("N1011");
}

void UploadRunHandler::operationDidCancel() {
  removeAll(ctx_.files.backupFileEntries);
  ctx_.uploadManager.setRunningState(false);
  handOnRenames();
  ctx_.uploadManager.removeTempFilePaths();
  runending::recalculateQuota(ctx_, "operationdidcancel");
}

void UploadRunHandler::operationCanceld() {
  removeAll(ctx_.files.backupFileEntries);
  ctx_.uploadManager.setRunningState(false);
  handOnRenames();
  log_.separator();
}

}  // namespace ulmora
