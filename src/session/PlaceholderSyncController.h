#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "platform/RunLoop.h"
#include "platform/WeakGuard.h"
#include "sync/SyncController.h"

namespace ulmora {

// Stands in for the account's sync controller until the real one exists. It
// traces every call and does only what keeps the agent coherent: it tells the
// file manager's integration the sync root (messages 3 and 47 on start, 3 when
// asked), tells the monitor when the sync folder could not be made, hands the
// input queue the sync root, ends a reinitialise when the full listing is
// asked for, and keeps the database totals. It transfers nothing.
//
// Thread-safety: the SyncController operations run on the main thread; the
// SyncInputHost and DatabaseTotalsDelegate members may be called from any
// thread. State is behind mu_ or atomic.
class PlaceholderSyncController final : public SyncController {
 public:
  // The delayed second message of a start goes through `mainLoop`
  // (RunLoop::main() when null).
  explicit PlaceholderSyncController(RunLoop* mainLoop = nullptr);
  ~PlaceholderSyncController() override;

  // How long after message 3 the start sends message 47.
  static constexpr Clock::Duration kSecondRootMessageDelay = std::chrono::seconds(2);
  static constexpr const char* kFolderInvalidText =
      "Sync folder path is invalid. Please select a different path and try again.";

  // SyncController
  void initWithConsoleUser(const SyncSessionDetails& session) override;
  void setSharedUlmoraSyncUserController(SyncControllerOwner* owner) override;
  void setReinitializeState(bool state) override;
  bool getReinitializeState() const override;
  void startSync() override;
  void PauseSync() override;
  void ResumeSync() override;
  void UnlinkSync() override;
  void stopSyncForUnlink(bool unlink) override;
  void ReinitializeSync() override;
  void startSyncListingAllFiles(int mode) override;
  void selectiveSyncModefied() override;
  void ShowVersion(const std::string& path) override;
  void SendPathRootSet() override;
  void RecalculateQuota() override;
  void sendToolTip() override;
  void notAbleTOCreateFolderAtPath() override;
  void updateIconOverlay() override;

  // SyncInputHost
  std::string getUlmoraSyncRootPath() override;
  std::string syncUserName() override;
  void queryMainDB(int option) override;
  bool isBackupGoingOn() override { return false; }
  bool isRestoreGoingOn() override { return false; }
  void SetQueryMainDBforCountBackup(bool query) override { queryCountBackup_ = query; }
  void GetTotalCountAndTotalSizeOfBackupFiles() override;
  void SetQueryMainDBforCountRestore(bool query) override { queryCountRestore_ = query; }
  void GetTotalCountAndTotalSizeOfRestoreFiles() override;
  void setOfflineDeleteRenamedFileInfo(const std::optional<RDDataBaseRows>& rows) override;

  // DatabaseTotalsDelegate
  void SetTotalBackupCount(int64_t count) override { totalBackupCount_ = count; }
  void SetTotalBackupSize(int64_t bytes) override { totalBackupSize_ = bytes; }
  void ResetNecessaryVariablesForBackup() override {}
  void SetQueriedForBackup(bool queried) override { queriedForBackup_ = queried; }
  void SetTotalRestoreCount(int64_t count) override { totalRestoreCount_ = count; }
  void SetTotalRestoreSize(int64_t bytes) override { totalRestoreSize_ = bytes; }
  void ResetNecessaryVariablesForRestore() override {}
  void SetQueriedForRestore(bool queried) override { queriedForRestore_ = queried; }

  int64_t totalBackupCount() const { return totalBackupCount_; }
  int64_t totalBackupSize() const { return totalBackupSize_; }
  bool isPaused() const { return paused_; }
  bool isUnlinked() const { return unlinked_; }

 private:
  SyncSessionDetails session() const;
  SyncControllerOwner* owner() const;
  void sendRootToFinder(int type, bool runInThread);

  RunLoop::Handle mainLoop_;

  mutable std::mutex mu_;  // guards session_ and owner_
  SyncSessionDetails session_;
  SyncControllerOwner* owner_ = nullptr;

  std::atomic<bool> reinitialize_{false};
  std::atomic<bool> paused_{false};
  std::atomic<bool> unlinked_{false};
  std::atomic<bool> queryCountBackup_{false};
  std::atomic<bool> queryCountRestore_{false};
  std::atomic<bool> queriedForBackup_{false};
  std::atomic<bool> queriedForRestore_{false};
  std::atomic<int64_t> totalBackupCount_{0};
  std::atomic<int64_t> totalBackupSize_{0};
  std::atomic<int64_t> totalRestoreCount_{0};
  std::atomic<int64_t> totalRestoreSize_{0};

  WeakGuard guard_;  // last: the delayed message dies with the controller
};

}  // namespace ulmora
