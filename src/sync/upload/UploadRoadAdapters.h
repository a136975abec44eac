#pragma once

#include <functional>
#include <string>
#include <utility>

#include "engine/KVTBackupManager.h"
#include "journal/UMSDBSyncInputManger.h"
#include "sync/runs/UploadRoadPorts.h"

namespace ulmora {

// The upload road's ports over the real engine manager and input queue.
//
// Thread-safety: as the wrapped objects (any thread).
class KVTManagerPort final : public TransferManagerPort {
 public:
  // `throttle`: the transfer throttle preference as it stands, applied to
  // the fresh work folder of each upload run (a changed preference counts
  // from the next run on).
  explicit KVTManagerPort(KVTBackupManager& manager, std::function<std::string()> throttle = {})
      : manager_(manager), throttle_(std::move(throttle)) {}

  std::vector<std::string> fileFolderSetForOperation() const override;
  void setFileFolderSetForOperation(const std::vector<std::string>& set) override;
  void setSameBackupSetRepeated(bool repeated) override;
  void prepareUploadRun(const std::string& sourceFolder, const User& user,
                        const std::string& proxySettingsFile) override;
  void setSeenVersions(engineset::SeenVersions seen) override { manager_.setSeenVersions(std::move(seen)); }
  void startBackup() override;
  RunSummary summary() const override;
  bool isRunning() const override;
  void setRunningState(bool running) override;
  void removeTempFilePaths() override;
  void setKVTServerIP(const std::string& server) override;

  KVTBackupManager& manager() { return manager_; }

 private:
  KVTBackupManager& manager_;
  const std::function<std::string()> throttle_;
};

class InputQueuePort final : public SyncInputPort {
 public:
  explicit InputQueuePort(UMSDBSyncInputManger& queue) : queue_(queue) {}

  std::vector<std::string> readUploadBatch() override;
  bool shouldReturnBackupEntries() const override;
  bool CheckIfBackupFilesPendingBool() override;
  bool doesIPFileAvailableFor(const std::string& code) override;
  void deleteFileFor(const std::string& code, bool onlyRedItems) override;
  std::vector<std::string> CheckifAnyRestoreFilesPending() override;
  void addFileToUpdate(const std::map<std::string, std::string>& entries) override;
  void addFileToDelete(const std::string& relativePath) override;
  void addRenamedFiles(const RenameEntry& entry) override;
  void addBackupFiles(const std::string& fullPath) override;

 private:
  UMSDBSyncInputManger& queue_;
};

}  // namespace ulmora
