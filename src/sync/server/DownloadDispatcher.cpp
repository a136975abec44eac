#include "sync/server/DownloadDispatcher.h"

#include <algorithm>
#include <charconv>
#include <set>

#include "platform/FileUtil.h"
#include "platform/LinkSafePath.h"
#include "platform/Trace.h"
#include "service/ServerPath.h"
#include "sync/status/SyncTraceTexts.h"
#include "platform/ThreadCheck.h"

namespace ulmora {
namespace {

int64_t sizeOf(const std::string& text) {
  int64_t value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return ec == std::errc() && value > 0 ? value : 0;
}

bool contains(const std::vector<std::string>& list, const std::string& item) {
  return std::find(list.begin(), list.end(), item) != list.end();
}

void emptyFolder(const std::string& folder) {
  if (folder.empty()) return;
  if (auto names = fileutil::listDirectory(folder))
    for (const auto& name : *names) fileutil::removeAll(fileutil::joinPath(folder, name));
}

}  // namespace

RestoreSplit splitArraySizeWise(const std::vector<std::pair<std::string, int64_t>>& batch) {
  std::vector<std::string> first, second;
  int64_t firstTotal = 0, secondTotal = 0;
  for (const auto& [path, size] : batch) {
    int64_t s = std::max<int64_t>(size, 0);
    if (secondTotal <= firstTotal) {
      second.push_back(path);
      secondTotal += s;
    } else {
      first.push_back(path);
      firstTotal += s;
    }
  }
  RestoreSplit split;
  split.splitPoint = static_cast<int64_t>(first.size());
  split.list = std::move(first);
  split.list.insert(split.list.end(), second.begin(), second.end());
  return split;
}

DownloadDispatcher::DownloadDispatcher(const SyncRootFiles& files, LocalCache& cache, DownloadEnginePort& engine,
                                       DownloadDispatchHost& host, SyncQueuePort& queue,
                                       CaptureFilterPort& filters, FileStatusPort& status, Paths paths,
                                       RepeatedSetCounts& repeatedSets,
                                       const RunLoop* mainLoop)
    : files_(files),
      cache_(cache),
      engine_(engine),
      host_(host),
      queue_(queue),
      filters_(filters),
      status_(status),
      paths_(std::move(paths)),
      repeatedSets_(repeatedSets),
      mainLoop_(mainLoop != nullptr ? *mainLoop : RunLoop::main()) {}

bool DownloadDispatcher::dispatch(const std::map<std::string, std::string>& batch) {
  ULMORA_DCHECK_ON_LOOP(mainLoop_);
  std::vector<std::pair<std::string, int64_t>> entries;
  for (const auto& [path, size] : batch) {
    if (!serverpath::isSafeItemPath(path)) {
      traceLine("download dropped for the unusable path " + serverpath::forTrace(path));
      continue;
    }
    // Queued again without a listing (its row still waits for the write to
    // be recorded) after a download wrote the file and the user edited it:
    // fetching the same version again would replace the edit. A newer
    // server version comes from a listing, which marks the path afresh.
    if (filters_.isChangedSinceDownload(path)) {
      traceLine("the download of " + serverpath::forTrace(path) +
                " is dropped: the file its last download wrote was edited here since");
      continue;
    }
    // Queued a second time by a listing held back while the download ran,
    // which has written it since: fetched again, it would cost a run, and a
    // set of nothing else would be the last set again and wait a minute.
    // That listing may also have removed the path's row (the record of a
    // delete of the file, met before the download wrote it), after the
    // write's in-sync row: the file is recorded in sync again, or it would
    // stay here with no row, never uploaded nor fetched.
    if (filters_.downloadWrittenSinceQueued(path, size)) {
      traceLine("the download of " + serverpath::forTrace(path) +
                " is dropped: a download wrote that file since it was queued");
      queue_.addFileToUpdate({{path, "Backup"}});
      continue;
    }
    entries.emplace_back(path, sizeOf(size));
  }
  if (entries.empty()) return false;
  return StartRestore(splitArraySizeWise(entries));
}

bool DownloadDispatcher::StartRestore(const RestoreSplit& split) {
  ULMORA_DCHECK_ON_LOOP(mainLoop_);
  if (split.list.empty()) return false;
  host_.downloadSetStarting();
  if (split.splitPoint >= 0 && static_cast<size_t>(split.splitPoint) <= split.list.size())
    engine_.setSplitPoint(split.splitPoint);

  auto previous = engine_.fileFolderSetForOperation();
  std::set<std::string> oldSet(previous.begin(), previous.end());
  std::set<std::string> newSet(split.list.begin(), split.list.end());
  if (oldSet.empty() || newSet.empty()) {
    engine_.setSameRestoreSetRepeated(false);
    traceLine("oldRestoreSet:" + std::to_string(oldSet.size()) + " newRestoreSet:" + std::to_string(newSet.size()));
  } else if (oldSet == newSet) {
    traceLine("olde backup set and new backup set equeal means repeated set");
    int32_t count = 0;
    bool stop = false;
    {
      MutexLock hold(repeatedSets_.mutex);
      count = repeatedSets_.sameRestoreSetRepeatedCount;
      stop = static_cast<uint32_t>(count) > kMaxRepeatedSets;
      if (!stop) ++repeatedSets_.sameRestoreSetRepeatedCount;
    }
    if (stop) {
      engine_.setSameRestoreSetRepeated(false);
      traceLine("sameRestoreSetRepeatedCount:" + std::to_string(count));
      traceLine("Stoping restore");
      return false;
    }
    engine_.setSameRestoreSetRepeated(true);
  } else {
    engine_.setSameRestoreSetRepeated(false);
    traceLine("olde restore set and new restore set are diferent");
    {
      MutexLock hold(repeatedSets_.mutex);
      repeatedSets_.sameRestoreSetRepeatedCount = 0;
    }
    traceLine(synctexts::sameRestoreSetRepeatedCount(0));
  }
  // Credentials, proxy and a fresh work folder only for a set that runs: a
  // refused set leaves the last run's work folder as it is.
  engine_.prepareRun();
  engine_.setFileFolderSetForOperation(split.list);

  // Every folder on the way and the file itself, for the companion's badges.
  std::vector<std::string> syncList;
  for (const auto& entry : split.list) {
    std::string path = files_.rootPath().root();
    for (const auto& part : linksafe::components(entry)) {
      path += "/" + part;
      syncList.push_back(path);
    }
  }
  host_.postSyncList(syncList);
  // Until the run ends (its handler clears them), a comparison of the folder
  // after lost events must not take these rows for the user's deletes.
  filters_.downloadsUnderWay(split.list);
  engine_.setCancel(false);
  engine_.startRestore();
  return true;
}

void DownloadDispatcher::deleteHalfRestoredFiles() {
  const SyncRootPath& root = files_.rootPath();
  for (const auto& statusFile : paths_.restoreStatusFiles) {
    if (!fileutil::exists(statusFile)) continue;
    auto text = fileutil::readFile(statusFile);
    if (text && !text->empty() && root.isFullPath(*text)) {
      std::string rel = root.relative(*text);
      auto info = files_.info(rel);
      if (info && !info->isFolder && filters_.shouldDelete(rel, std::to_string(info->size))) {
        traceLine("half-received file moved to the cache: " + serverpath::forTrace(rel));
        // Its disappearance is the sync's own, not a user's delete for the server.
        filters_.AaddToAvoidAutoDelete(rel);
        cache_.moveToCache(rel);
      }
    } else if (text && !text->empty()) {
      traceLine("RestoreStatus names a path outside the sync root; left alone");
    }
    fileutil::removeAll(statusFile);
  }
}

void DownloadDispatcher::ClearRestoreRelatedFileEntries() {
  if (!paths_.restoreEntries.empty()) fileutil::removeAll(paths_.restoreEntries);
  emptyFolder(paths_.restoreJournalFolder);
}

void DownloadDispatcher::ClearBackupRelatedFileEntries() {
  if (!paths_.backupEntries.empty()) fileutil::removeAll(paths_.backupEntries);
  emptyFolder(paths_.backupJournalFolder);
}

bool DownloadDispatcher::checkFileisUnderRestoreSet(const std::string& relativePath) {
  MutexLock lock(readLock_);
  auto pending = queue_.pendingDownloadsFresh();
  if (engine_.isRunning() && contains(engine_.fileFolderSetForOperation(), relativePath)) return true;
  if (contains(pending, relativePath)) {
    traceLine("checkFileisUnderRestoreSet for .restoreFolder content list");
    return true;
  }
  return false;
}

bool DownloadDispatcher::checkRefIDExistInDatabase(const std::string& refId, const std::string& relativePath) {
  MutexLock lock(readLock_);
  auto pending = queue_.pendingDownloadsFresh();
  auto recorded = status_.fileNameForRefId(refId);
  if (!recorded) return false;
  if (*recorded == relativePath) {
    traceLine("checkRefIDExistInDatabase inPath:" + serverpath::forTrace(relativePath) +
              " And reference id db path:" + serverpath::forTrace(*recorded) + " Both are same so no need to stop.");
    return false;
  }
  if (engine_.isRunning() && contains(engine_.fileFolderSetForOperation(), *recorded)) return true;
  return contains(pending, *recorded);
}

bool DownloadDispatcher::stopDownloadForListingRecord(const ServerRecord& record, const std::string& operation) {
  const bool rename = operation == ServerRecord::kCodeRenamed;
  if (!rename && operation != ServerRecord::kCodeChanged) return false;
  if (!engine_.isRunning()) return false;
  // Only a record that moves what the download fetches: one that names the
  // fetched path itself is what the download is for, and stopping for it
  // would stop every restart of that download again, the listing being run
  // again with the same record each time.
  const bool held = (rename && !record.fnameOld.empty() && !recordedUnderAnotherName(record) &&
                     checkFileisUnderRestoreSet(record.fnameOld)) ||
                    (!record.refId.empty() && checkRefIDExistInDatabase(record.refId, record.fname));
  if (!held) return false;
  {
    // The listing that follows the stop applies the record, and starts again
    // from the same index while downloads wait: the same record would stop
    // every restart of the download.
    std::string key = operation + '\n' + record.fnameOld + '\n' + record.fname + '\n' + record.refId;
    MutexLock lock(stopMutex_);
    if (lastStop_ == key) {
      traceLine("the download goes on: it was stopped once for the listing's record of " +
                serverpath::forTrace(record.fname));
      return false;
    }
    lastStop_ = std::move(key);
  }
  traceLine("the download is stopped for the listing's record of " + serverpath::forTrace(record.fname));
  StopRestoreManagerForNewListing();
  return true;
}

bool DownloadDispatcher::recordedUnderAnotherName(const ServerRecord& record) {
  if (record.refId.empty()) return false;
  std::optional<std::string> recorded;
  {
    MutexLock lock(readLock_);
    recorded = status_.fileNameForRefId(record.refId);
  }
  return recorded && *recorded != record.fnameOld;
}

void DownloadDispatcher::StopRestoreManagerForNewListing() {
  host_.restoreCancelledDuringListing();
  engine_.setCancel(true);
  engine_.setFailureCount();
  engine_.CancelBackupProcess();
}

}  // namespace ulmora
