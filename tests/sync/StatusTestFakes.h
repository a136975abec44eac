#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "sync/status/MonitorSink.h"
#include "sync/status/ProgressTracker.h"
#include "sync/status/StatusItemSink.h"
#include "sync/status/UlmoraSyncStatus.h"

namespace ulmora::testing {

struct RecordingMonitor : MonitorSink {
  std::vector<std::pair<std::string, int>> sent;
  void sendToMonitor(const std::string& payload, int type) override {
    sent.emplace_back(payload, type);
  }
  std::string lastOfType(int type) const {
    for (auto it = sent.rbegin(); it != sent.rend(); ++it) {
      if (it->second == type) return it->first;
    }
    return "<none>";
  }
};

struct RecordingStatusSink : StatusItemSink {
  std::vector<std::string> set;
  std::vector<std::string> removed;
  void setMonitorToolTip(const std::string& item) override { set.push_back(item); }
  void removeItemFromToolTipFor(const std::string& item) override { removed.push_back(item); }
};

struct FakeRunView : TransferRunView {
  bool running = false;
  double startTime = 0;
  int64_t previousTransferedSize = 0;
  int resetsOfPrevious = 0;
  bool isRunning() const override { return running; }
  double StartTime() const override { return startTime; }
  int64_t PreviousTransferedSize() const override { return previousTransferedSize; }
  void SetPreviousTransferedSize(int64_t bytes) override {
    previousTransferedSize = bytes;
    ++resetsOfPrevious;
  }
};

struct FakeProgressHost : ProgressHost {
  int backupTotalRequests = 0;
  int restoreTotalRequests = 0;
  bool uploadPending = false;
  bool restoreInMemory = false;
  bool restoreJournal = false;
  void requestBackupTotals() override { ++backupTotalRequests; }
  void requestRestoreTotals() override { ++restoreTotalRequests; }
  bool CheckIfBackupFilesPendingBool() override { return uploadPending; }
  bool CheckForRestoreFilesInMemory() override { return restoreInMemory; }
  bool CheckForRestoreFiles() override { return restoreJournal; }
};

struct FakeStatusHost : SyncStatusHost {
  bool network = true;
  bool backupStarted = true;
  bool restoreStarted = true;
  bool listing = false;
  bool subAccount = false;
  std::string statusFile;
  bool isNWAvailable() override { return network; }
  bool isbackupStarted() override { return backupStarted; }
  bool isrestoreStarted() override { return restoreStarted; }
  bool isListingGoingOn() override { return listing; }
  bool isSubAccount() override { return subAccount; }
  std::string accountDetailsPath() override { return "/home/ann/details.plist"; }
  std::string getSyncFilePath() override { return statusFile; }
};

}  // namespace ulmora::testing
