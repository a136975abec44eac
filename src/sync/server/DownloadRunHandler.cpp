#include "sync/server/DownloadRunHandler.h"

#include <sys/stat.h>

#include <chrono>

#include "foundation/QLLocalizedString.h"
#include "platform/FileUtil.h"
#include "service/ServerPath.h"
#include "sync/runs/RepeatedSetRule.h"
#include "sync/files/SyncPathHelpers.h"
#include "sync/status/UlmoraSyncStatus.h"
#include "platform/ThreadCheck.h"

namespace ulmora {
using namespace fileutil;

namespace {
using K = KVTProgressRecord;
constexpr size_t kReceivedKept = 10;
constexpr std::string_view kReasonMark = "Reason: ";

// The part of an engine error that says why ("No space left on device").
std::string reasonOf(const std::string& error) {
  const size_t at = error.rfind(kReasonMark);
  return at == std::string::npos ? error : error.substr(at + kReasonMark.size());
}
}  // namespace

DownloadRunHandler::DownloadRunHandler(RunRoadContext& ctx, RepeatedSetCounts& repeatedSets)
    : ctx_(ctx), repeatedSets_(repeatedSets), log_(ctx.clock), retries_(ctx.clock) {}

void DownloadRunHandler::operationDidStart() {
  std::string header = runending::sessionHeader(ctx_, ctx_.host.accountUser().ulmoraUsername());
  ctx_.queue.deleteFileFor("4", true);
  log_.open(ctx_.host.createSessionFileForOperation(2, "Sync-Down"));
  log_.line(header, false);
}

void DownloadRunHandler::operationDidReceiveData(const KVTProgressRecord& record) {
  ctx_.host.sendDataToMonitor(record, 2, 0);
  const std::string& file = record.filename;
  if (record.transferMode == K::kFullRestore || record.transferMode == K::kIncrementalRestore ||
      record.transferMode == K::kSyncFile)
    retries_.forget(file);
  if (record.transferMode != K::kFullRestore && record.transferMode != K::kIncrementalRestore) {
    if (record.transferMode == K::kSyncFile) {
      ctx_.host.downloadWritten(file, record.filesize);
      ctx_.queue.addFileToUpdate({{file, "Backup"}});
    }
    return;
  }
  ctx_.host.downloadWritten(file, record.filesize);
  {
    MutexLock lock(receivedMutex_);
    tempRestoreSet_.push_back(file);
    if (tempRestoreSet_.size() >= kReceivedKept) tempRestoreSet_.clear();
  }
  ctx_.queue.addFileToUpdate({{file, "Backup"}});
  std::string line = runending::fileLine(record, "Restore", "Sync down");
  log_.line(line, true);
  if (!file.empty()) ctx_.host.setRecentlyModifiedItems(file, " - Synced down");
}

void DownloadRunHandler::operationDidReceiveErrors(const std::string& error, const std::string& path) {
  runending::perFileError(ctx_, log_, error, path);
  std::string file = syncpaths::relativePath(SyncRootPath(ctx_.syncRoot()), path);
  if (file.empty() || file == "/") return;
  if (file.front() != '/') file.insert(0, "/");
  const std::string reason =
      runtext::withAccountName(reasonOf(error), ctx_.syncUser, ctx_.host.accountUser().ulmoraUsername());
  if (error.find(runtext::kNoSuchFile) != std::string::npos) {
    retries_.forget(file);
    log_.line(runtext::formatted("Error: %@ could not be synced down (%@); it is not tried again", {file, reason}),
              true);
    return;
  }
  const auto wait = std::chrono::duration_cast<std::chrono::seconds>(retries_.failed(file, localStamp(file)));
  log_.line(runtext::formatted("Error: %@ could not be synced down (%@); it is tried again in %@ s",
                               {file, reason, std::to_string(wait.count())}),
            true);
}

std::string DownloadRunHandler::localStamp(const std::string& relativePath) const {
  const std::optional<std::string> full = syncpaths::fullPath(SyncRootPath(ctx_.syncRoot()), relativePath);
  struct stat st {};
  if (!full || ::lstat(full->c_str(), &st) != 0) return "";
  if (!S_ISREG(st.st_mode)) return "other";
  return std::to_string(st.st_size) + ":" + std::to_string(st.st_mtim.tv_sec) + "." +
         std::to_string(st.st_mtim.tv_nsec);
}

std::map<std::string, std::string> DownloadRunHandler::takeDueRetries() {
  ULMORA_DCHECK_ON_LOOP(ctx_.mainLoop != nullptr ? *ctx_.mainLoop : RunLoop::main());
  std::map<std::string, std::string> due;
  for (RetryBackoff::Due& d : retries_.takeDue()) {
    if (localStamp(d.key) != d.payload) {
      // Whatever stands there now is the user's (or arrived another way).
      daemonTrace("the failed download of " + serverpath::forTrace(d.key) +
                  " is not tried again: the local item changed meanwhile");
      retries_.forget(d.key);
      continue;
    }
    daemonTrace("the failed download of " + serverpath::forTrace(d.key) + " is tried again");
    due.emplace(std::move(d.key), "NA");
  }
  return due;
}

std::string DownloadRunHandler::takeFirstReceived() {
  std::string first = "/";
  {
    MutexLock lock(receivedMutex_);
    if (!tempRestoreSet_.empty()) first = tempRestoreSet_.front();
    tempRestoreSet_.clear();
  }
  return syncpaths::fullPath(SyncRootPath(ctx_.syncRoot()), first).value_or(first);
}

void DownloadRunHandler::notifyArrivals(const RunSummary& s, const std::string& firstFullPath) {
  if (s.succesFileCount == 1) {
    const bool added = !s.fileSuccessfullySynced.empty();
    std::string name = UlmoraSyncStatus::shortenedNotificationName(added ? s.fileSuccessfullySynced : s.fileIncSuccessSynced);
    std::string path = syncpaths::relativePath(SyncRootPath(ctx_.syncRoot()), firstFullPath);
    ctx_.host.showDesktopPushNotification(added ? "N1034||" + name + "||added::" + path
                                                : "N1003||" + name + "::" + path);
  } else if (s.succesFileCount >= 2) {
    ctx_.host.showDesktopPushNotification("N1007||" + std::to_string(s.succesFileCount) + "||" +
                                          (s.incSuccessFileCount == 0 ? "added" : "updated"));
  }
}

std::vector<std::string> DownloadRunHandler::downloadsPending() {
  std::vector<std::string> pending = ctx_.queue.CheckifAnyRestoreFilesPending();
  // An entry a download of this run (or an earlier one) has answered since
  // it was queued waits for nothing: counted, it would hold the listing
  // index back, and the next set, the same as this one, would wait the
  // repeated-set minute before it fetched nothing new.
  std::erase_if(pending, [this](const std::string& path) { return ctx_.host.downloadWrittenSinceQueued(path); });
  daemonTrace("restoreArray:" + std::to_string(pending.size()) + "\n ");
  return pending;
}

bool DownloadRunHandler::endDownloadMarks() {
  const std::vector<std::string> pending = downloadsPending();
  ctx_.host.clearRestoreSets(pending);
  return !pending.empty();
}

void DownloadRunHandler::operationDidFinishSuccessfully() {
  daemonTrace("operationDidFinishSuccessfully called");
  daemonTrace("Restore operation finished");
  RunSummary summary = ctx_.downloadManager.summary();
  // Downloads queued for later runs keep their marks: their files arrive
  // after this run, and must not be taken for local changes.
  const bool pending = endDownloadMarks();
  std::string first = takeFirstReceived();
  ctx_.host.deleteHalfRestoredFiles();
  if (summary.succesFileCount > 0) log_.closeSuccessfully("Synced down successfully");
  ctx_.host.updateSSWindowRefresh();
  notifyArrivals(summary, first);

  if (!pending && !summary.isCanceled)
    daemonTrace("Operation did finish sucess No restore pending so am updating index.");
  ctx_.host.downloadRunEnded(!summary.isCanceled && summary.backupOrRestorFailCount == 0, pending);

  if (!ctx_.queue.doesIPFileAvailableFor("4")) {
    int32_t repeats = 0;
    bool more = false;
    {
      MutexLock hold(repeatedSets_.mutex);
      repeats = repeatedSets_.sameRestoreSetRepeatedCount;
      more = summary.backupOrRestorFailCount == 0 && static_cast<uint32_t>(repeats) <= kMaxRepeatedSets;
      if (!more) repeatedSets_.sameRestoreSetRepeatedCount = 0;
    }
    if (more) {
      daemonTrace("Calling is there any file exist for restore after one set finish");
      daemonTrace("sameRestoreSetRepeatedCount:" + std::to_string(repeats));
      ctx_.host.queryMainDB(2);
    } else {
      daemonTrace("check failure count query main db is not called due to restore failures");
      daemonTrace("sameRestoreSetRepeatedCount:0");
    }
  }
  // Download journals still waiting must not keep the entry list alive:
  // the run is over either way.
  ctx_.downloadManager.setRunningState(false);
  removeAll(ctx_.files.restoreFileEntries);
  runending::tail(ctx_, ctx_.downloadManager, summary);
}

void DownloadRunHandler::operationDidFailWithError(const std::string& error) {
  RunSummary summary = ctx_.downloadManager.summary();
  daemonTrace("operationDidFailWithError called");
  daemonTrace("inErrorStr:" + runtext::withAccountName(error, ctx_.syncUser, ctx_.host.accountUser().ulmoraUsername()) +
              " [obj errorCode]:" + std::to_string(summary.errorCode));
  const bool accountFailed = runending::handleAccountFailure(ctx_, error, summary);
  const bool pending = endDownloadMarks();
  if (summary.failureFileCount != 0) log_.line(QLLocalizedString(runtext::kNotTransferred), true);
  ctx_.downloadManager.setRunningState(false);
  ctx_.host.deleteHalfRestoredFiles();
  removeAll(ctx_.files.restoreFileEntries);
  log_.separator();
  std::string first = takeFirstReceived();
  // What arrived is announced and recorded; the listing index stays where it
  // is, and the rest is queued again for a later cycle.
  notifyArrivals(summary, first);
  ctx_.host.downloadRunEnded(false, pending);
  if (!accountFailed && !ctx_.queue.doesIPFileAvailableFor("4")) {
    {
      MutexLock hold(repeatedSets_.mutex);
      repeatedSets_.sameRestoreSetRepeatedCount = 0;
    }
    ctx_.host.queryMainDB(2);
  }
  ctx_.downloadManager.removeTempFilePaths();
}

void DownloadRunHandler::operationDidCancel() {
  const bool pending = endDownloadMarks();
  ctx_.host.deleteHalfRestoredFiles();
  removeAll(ctx_.files.restoreFileEntries);
  ctx_.downloadManager.setRunningState(false);
  {
    MutexLock lock(receivedMutex_);
    tempRestoreSet_.clear();
  }
  ctx_.host.downloadRunEnded(false, pending);
  ctx_.downloadManager.removeTempFilePaths();
  runending::recalculateQuota(ctx_, "operationdidcancel");
}

void DownloadRunHandler::operationCanceld() {
  ctx_.host.deleteHalfRestoredFiles();
  ctx_.downloadManager.setRunningState(false);
  log_.separator();
}

}  // namespace ulmora
