#include "sync/control/AccountControl.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <unistd.h>

#include "foundation/QLBackupProgressLogger.h"
#include "platform/FileUtil.h"
#include "platform/ThreadCheck.h"

namespace ulmora {

AccountControl::AccountControl(Paths paths, AccountControlPort& port, const Clock& clock,
                               const RunLoop& loop)
    : paths_(std::move(paths)), port_(port), clock_(clock), loop_(loop) {}

std::optional<int64_t> AccountControl::parseIndex(std::string_view text) {
  // Leading blanks, an optional sign and digits, like longLongValue; what
  // follows the digits is ignored and a text without digits reads as 0.
  std::size_t i = 0;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  int64_t value = 0;
  for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
    const int digit = text[i] - '0';
    if (value > (INT64_MAX - digit) / 10) return std::nullopt;  // does not fit: unusable
    value = value * 10 + digit;
  }
  if (negative && value != 0) return std::nullopt;
  return value;
}

void AccountControl::clearRestoreForPause() {
  ULMORA_DCHECK_ON_LOOP(loop_);
  const bool dropped = port_.hasPendingDownloads();
  port_.deleteHalfRestoredFiles();
  port_.ClearRestoreRelatedFileEntries();
  if (dropped) port_.addNotificationFilesInfo();
}

void AccountControl::PauseSync() {
  ULMORA_DCHECK_ON_LOOP(loop_);
  if (port_.isPeriodicTimerValid()) port_.invalidatePeriodicTimer();
  port_.setUploadThrottle("-1");
  if (port_.isRunning(Worker::Upload)) port_.giveUploadPreviousTransferredSize();
  if (port_.isRunning(Worker::Download)) {
    port_.cancelBackupProcess(Worker::Download);
    port_.addNotificationFilesInfo();
    port_.setFlag(Flag::ListingStartedFromZeroIndex, true);
  }
  port_.stopListingAndAddNotificationFile();
  clearRestoreForPause();
}

void AccountControl::ResumeSync() {
  ULMORA_DCHECK_ON_LOOP(loop_);
  if (port_.flag(Flag::AccountLoggedOutUnlinked)) {
    // Only a new start brings an unlinked account back.
    daemonTrace("ResumeSync ignored: the account is unlinked");
    return;
  }
  if (port_.isRunning(Worker::Upload)) {
    port_.setUploadStartTime(std::chrono::duration_cast<std::chrono::seconds>(
                                 clock_.wallNow().time_since_epoch())
                                 .count());
  }
  if (!port_.isPeriodicTimerValid() && port_.hasSyncUserName()) port_.schedulePeriodicTimer();
  if (port_.flag(Flag::DuringPauseGotPns)) {
    port_.setFlag(Flag::DuringPauseGotPns, false);
    port_.addNotificationFilesInfo();
    port_.writeSessionLine("during pause pns got so listing called");
  }
  resetToolTips();
}

void AccountControl::cancelWorkers() {
  for (Worker manager : {Worker::Download, Worker::Upload}) {
    if (!port_.isPresent(manager)) continue;
    port_.setCancel(manager);
    port_.cancelBackupProcess(manager);
  }
  for (Worker worker : {Worker::Listing, Worker::RenameDelete, Worker::CreateFolder})
    if (port_.isPresent(worker) && port_.isRunning(worker)) port_.setCancel(worker);
}

void AccountControl::stopSyncForUnlink(bool unlink) {
  ULMORA_DCHECK_ON_LOOP(loop_);
  cancelWorkers();
  port_.stopOtherEngineRuns();
  accountLoggedOutWithUnlink(unlink);
}

void AccountControl::accountLoggedOutWithUnlink(bool) {
  ULMORA_DCHECK_ON_LOOP(loop_);
  if (port_.flag(Flag::AccountLoggedOutUnlinked)) return;
  port_.deleteHalfRestoredFiles();
  port_.setFlag(Flag::AccountLoggedOutUnlinked, true);
  port_.stopDBSyncInput();
  if (port_.isSyncOperationTimerValid()) {
    daemonTrace("syncoperation timer invalidated .");
    port_.invalidateSyncOperationTimer();
  }
  if (port_.isPeriodicTimerValid()) port_.invalidatePeriodicTimer();
  // The keep-alive push would otherwise go on for an account that is gone.
  port_.invalidateKeepAliveTimer();
  port_.setEnableListeningNotifications(false);
  for (const auto* file : {&paths_.listingFiles, &paths_.listingDeleteFiles})
    if (!file->empty() && fileutil::exists(*file)) ::unlink(file->c_str());
  if (!paths_.restoreFolder.empty()) {
    if (auto names = fileutil::listDirectory(paths_.restoreFolder))
      for (const auto& name : *names) fileutil::removeAll(fileutil::joinPath(paths_.restoreFolder, name));
  }
}

void AccountControl::clearEventCounts() {
  ULMORA_DCHECK_ON_LOOP(loop_);
  port_.setBackupFilesCount(0);
}

void AccountControl::removeInstallerRef() {
  ULMORA_DCHECK_ON_LOOP(loop_);
  if (!paths_.installerRef.empty() && fileutil::exists(paths_.installerRef))
    ::unlink(paths_.installerRef.c_str());
}

void AccountControl::cancelAllSyncOperations() {
  ULMORA_DCHECK_ON_LOOP(loop_);
  for (Worker manager : {Worker::Download, Worker::Upload}) {
    if (!port_.isPresent(manager)) continue;
    port_.setCancel(manager);
    port_.cancelBackupProcess(manager);
  }
  if (port_.isRunning(Worker::Listing)) port_.setCancel(Worker::Listing);
  if (port_.isRunning(Worker::CreateFolder)) port_.setCancel(Worker::CreateFolder);
  if (port_.isPresent(Worker::RenameDelete) && port_.flag(Flag::ExcuteEventsCapturedRunning)) {
    port_.setCancel(Worker::RenameDelete);
    port_.setFlag(Flag::ExcuteEventsCapturedRunning, false);
  }
}

void AccountControl::ReinitializeSync() {
  ULMORA_DCHECK_ON_LOOP(loop_);
  clearEventCounts();
  removeInstallerRef();
  cancelAllSyncOperations();
  port_.stopOtherEngineRuns();
  port_.cancelAllSyncTimers();
  port_.ClearRestoreRelatedFileEntries();
  // Marked last: until now a cycle may still have been running the old work.
  port_.setReinitializeState(true);
}

void AccountControl::startSyncListingAllFiles(int mode) {
  ULMORA_DCHECK_ON_LOOP(loop_);
  port_.setFlag(Flag::IsRestoreCanceldDuringListing, false);
  port_.setFlag(Flag::IsItemsFoundDuringListing, false);
  daemonTrace("startSyncListingAllFiles isRestoreCanceldDuringListing:0  isItemsFoundDuringListing:0 inFlag:" +
              std::to_string(mode));
  if (port_.isRunning(Worker::Listing)) {
    daemonTrace("Listing stoped");
    port_.cancelListing();
  }
  const int gate = port_.shouldSync();
  if (gate != 4 && gate != 7) return;

  int64_t index = 0;
  if (auto text = fileutil::readFile(paths_.indexFile)) {
    if (auto stored = parseIndex(*text)) {
      index = *stored;
      port_.setPreviousIndexStr(*text);
    }
  }
  if (mode != 0) {
    port_.setFlag(Flag::ShouldRestoreFileDirectly, index != 0);
    port_.setIndexingWithZeroToAvoidRefId(index != 0 ? "1" : "0");
  } else {
    const std::string folder = fileutil::parentPath(paths_.indexFile);
    if (!folder.empty() && !fileutil::isDirectory(folder)) fileutil::makeDirectories(folder);
    // No folder (the account's paths are unknown): nothing to write into.
    if (folder.empty() || !fileutil::writeFileAtomically(paths_.indexFile, "0"))
      daemonTrace("startSyncListingAllFiles: cannot write " + paths_.indexFile);
    port_.setPreviousIndexStr("0");
    port_.setFlag(Flag::ListingStartedFromZeroIndex, true);
    resetToolTips();
    port_.setFlag(Flag::ShouldRestoreFileDirectly, false);
    port_.setIndexingWithZeroToAvoidRefId("0");
    index = 0;
  }
  port_.startListing(index);
  port_.setFlag(Flag::NotificationFileRead, false);
}

void AccountControl::resetToolTips() {
  ULMORA_DCHECK_ON_LOOP(loop_);
  if (port_.takeSelectiveSyncRefresh()) port_.selectiveSyncModefied();
  if (port_.isRunning(Worker::Upload)) port_.setMonitorToolTip(kUploadingStatus);
  if (port_.isRunning(Worker::Download)) port_.setMonitorToolTip(kDownloadingStatus);
  if (port_.flag(Flag::ExcuteEventsCapturedRunning) || port_.flag(Flag::ListingStartedFromZeroIndex))
    port_.setMonitorToolTip(kIndexingStatus);
}

}  // namespace ulmora
