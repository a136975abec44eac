#include "sync/upload/UploadDispatcher.h"

#include <set>

#include "foundation/QLBackupProgressLogger.h"
#include "journal/JournalFormat.h"
#include "platform/FileUtil.h"
#include "platform/ThreadCheck.h"
#include "sync/runs/RepeatedSetRule.h"
#include "sync/files/SyncPathHelpers.h"
#include "sync/status/SyncTraceTexts.h"

namespace ulmora {
using namespace fileutil;

UploadDispatcher::UploadDispatcher(Config config, SyncInputPort& queue,
                                   TransferManagerPort& uploadManager, UploadRoadHost& host,
                                   UploadRenames& renames,
                                   RepeatedSetCounts& repeatedSets)
    : config_(std::move(config)),
      queue_(queue),
      manager_(uploadManager),
      host_(host),
      renames_(renames),
      repeatedSets_(repeatedSets) {}

std::vector<std::string> UploadDispatcher::takeBatch() {
  // The journal may name a path twice; each distinct path goes once. An
  // empty line would stand for the sync root itself.
  std::vector<std::string> batch;
  std::set<std::string> seen;
  for (auto& path : queue_.readUploadBatch()) {
    if (!path.empty() && seen.insert(path).second) batch.push_back(std::move(path));
  }
  if (!queue_.shouldReturnBackupEntries() || !exists(config_.backupFileEntriesAfterDeletePath))
    return batch;
  std::vector<std::string> list;
  if (auto text = readFile(config_.backupFileEntriesAfterDeletePath)) list = journal::splitTextList(*text);
  removeAll(config_.backupFileEntriesAfterDeletePath);
  list.insert(list.end(), batch.begin(), batch.end());
  return list;
}

UploadDispatcher::Outcome UploadDispatcher::startBackup() {
  ULMORA_DCHECK_ON_LOOP(config_.mainLoop != nullptr ? *config_.mainLoop : RunLoop::main());
  std::vector<std::string> list = takeBatch();
  if (list.empty()) {
    host_.ResetCumulativeCountVariablesForBackup();
    return Outcome::kNothingToUpload;
  }
  host_.backupSetDispatched();
  host_.GetTotalCountAndTotalSizeOfBackupFiles();

  auto filtered = host_.filterversionRestoredFile(list);
  if (!filtered || filtered->empty()) {
    if (!queue_.CheckIfBackupFilesPendingBool()) host_.removeItemFromToolTipFor("Syncing Up");
    return Outcome::kFilteredOut;
  }
  const std::vector<std::string>& set = *filtered;

  User user = host_.accountUser();
  host_.setVideoUserDetails(user.userName(), user.password());

  const std::vector<std::string> previous = manager_.fileFolderSetForOperation();
  RepeatedSetDecision repeat;
  {
    MutexLock hold(repeatedSets_.mutex);
    repeat = decideRepeatedSet(previous, set, repeatedSets_.sameBackupSetRepeatedCount);
    repeatedSets_.sameBackupSetRepeatedCount = repeat.count;
  }
  for (const auto& line : repeat.traces) daemonTrace(line);
  manager_.setSameBackupSetRepeated(repeat.repeated);
  if (!repeat.dispatch) return Outcome::kRepeatStopped;

  manager_.setFileFolderSetForOperation(set);
  daemonTrace("Insync sending message to finder writing to downloads commented1.");
  host_.postSyncList(set);

  manager_.prepareUploadRun(config_.syncRoot(), user, config_.proxySettingsPath);
  engineset::SeenVersions seen;
  if (config_.seenVersion) {
    for (const std::string& path : set) {
      if (path.empty() || path.back() == '/') continue;
      if (auto version = config_.seenVersion(path)) seen.emplace(path, std::move(*version));
    }
  }
  manager_.setSeenVersions(std::move(seen));
  syncpaths::WriteFilesFromArray(set, config_.backupFileEntriesPath);
  renames_.clear();
  // The set's byte total and pending set were reset with the dispatch
  // (backupSetDispatched); the line shows them as they now stand.
  daemonTrace(synctexts::resetTotalSize(0, "(null)"));
  host_.BackupRestoreStarted(true);
  daemonTrace("startBackup called");
  manager_.startBackup();
  return Outcome::kStarted;
}

User UploadDispatcher::userForEngineController() {
  User user = host_.accountUser();
  user.setISDefaultKey(false);
  user.setProxySettingsFilePath(config_.proxySettingsPath);
  return user;
}

}  // namespace ulmora
