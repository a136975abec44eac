#pragma once

#include <atomic>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "TestTempDir.h"
#include "platform/ManualClock.h"
#include "sync/runs/RepeatedSetRule.h"
#include "sync/runs/RunHandlerCommon.h"
#include "sync/runs/UploadRoadPorts.h"

namespace ulmora::testing {

// The upload side's repeat counter, read and set as the road does: under its lock.
inline int32_t uploadRepeats(RepeatedSetCounts& counts) {
  MutexLock hold(counts.mutex);
  return counts.sameBackupSetRepeatedCount;
}
inline void setUploadRepeats(RepeatedSetCounts& counts, int32_t count) {
  MutexLock hold(counts.mutex);
  counts.sameBackupSetRepeatedCount = count;
}

// Every fake writes what it was asked into one shared journal of calls, so a
// test compares the whole conversation at once.
class CallLog {
 public:
  void add(std::string call) {
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.push_back(std::move(call));
  }
  std::vector<std::string> calls() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
  }
  bool has(const std::string& call) const {
    for (const auto& c : calls()) {
      if (c == call) return true;
    }
    return false;
  }
  // The calls that begin with `prefix`, in order.
  std::vector<std::string> starting(const std::string& prefix) const {
    std::vector<std::string> out;
    for (const auto& c : calls()) {
      if (c.rfind(prefix, 0) == 0) out.push_back(c);
    }
    return out;
  }
  void clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.clear();
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> calls_;
};

class FakeManager final : public TransferManagerPort {
 public:
  FakeManager(CallLog& log, std::string name) : log_(log), name_(std::move(name)) {}

  std::vector<std::string> fileFolderSetForOperation() const override { return set; }
  void setFileFolderSetForOperation(const std::vector<std::string>& s) override {
    if (!s.empty()) set = s;
  }
  void setSameBackupSetRepeated(bool r) override { repeated = r; }
  void prepareUploadRun(const std::string& source, const User& u, const std::string& proxy) override {
    sourceFolder = source;
    user = u;
    proxyFile = proxy;
  }
  void setSeenVersions(engineset::SeenVersions s) override { seen = std::move(s); }
  void startBackup() override {
    ++starts;
    running = true;
  }
  RunSummary summary() const override { return result; }
  bool isRunning() const override { return running; }
  void setRunningState(bool r) override {
    running = r;
    log_.add(name_ + ".running " + (r ? "YES" : "NO"));
  }
  void removeTempFilePaths() override { log_.add(name_ + ".removeTempFilePaths"); }
  void setKVTServerIP(const std::string& s) override { log_.add(name_ + ".server " + s); }

  std::vector<std::string> set;
  engineset::SeenVersions seen;
  bool repeated = false;
  int starts = 0;
  bool running = false;
  std::string sourceFolder, proxyFile;
  User user;
  RunSummary result;

 private:
  CallLog& log_;
  std::string name_;
};

class FakeUploadQueue final : public SyncInputPort {
 public:
  explicit FakeUploadQueue(CallLog& log) : log_(log) {}

  std::vector<std::string> readUploadBatch() override {
    auto out = batch;
    batch.clear();
    return out;
  }
  bool shouldReturnBackupEntries() const override { return returnEntries; }
  bool CheckIfBackupFilesPendingBool() override { return uploadJournalPending; }
  bool doesIPFileAvailableFor(const std::string& code) override {
    return code == "1" ? uploadJournalPending : code == "4" ? downloadJournalPending : false;
  }
  void deleteFileFor(const std::string& code, bool onlyRed) override {
    log_.add("queue.deleteFileFor " + code + (onlyRed ? " YES" : " NO"));
  }
  std::vector<std::string> CheckifAnyRestoreFilesPending() override { return restorePending; }
  void addFileToUpdate(const std::map<std::string, std::string>& entries) override {
    for (const auto& [k, v] : entries) log_.add("queue.update " + k + "=" + v);
  }
  void addFileToDelete(const std::string& p) override { log_.add("queue.delete " + p); }
  void addRenamedFiles(const RenameEntry& e) override {
    log_.add("queue.rename " + e.originalPath + "->" + e.renamedPath);
  }
  void addBackupFiles(const std::string& p) override { log_.add("queue.upload " + p); }

  std::vector<std::string> batch;
  bool returnEntries = true;
  bool uploadJournalPending = false;
  bool downloadJournalPending = false;
  std::vector<std::string> restorePending;

 private:
  CallLog& log_;
};

class FakeUploadHost final : public UploadRoadHost {
 public:
  FakeUploadHost(CallLog& log, std::string sessionFolder) : log_(log), sessionFolder_(std::move(sessionFolder)) {}

  void ResetCumulativeCountVariablesForBackup() override { log_.add("ResetCumulativeCountVariablesForBackup"); }
  void backupSetDispatched() override { log_.add("backupSetDispatched"); }
  void GetTotalCountAndTotalSizeOfBackupFiles() override { log_.add("GetTotalCountAndTotalSizeOfBackupFiles"); }
  void BackupRestoreStarted(bool upload) override { log_.add(std::string("BackupRestoreStarted ") + (upload ? "up" : "down")); }
  void sendDataToMonitor(const KVTProgressRecord& r, int optype, int) override {
    log_.add("monitor " + std::to_string(optype) + " " + r.filename);
  }
  void setMonitorToolTip(const std::string& code) override { log_.add("tooltip " + code); }
  void removeItemFromToolTipFor(const std::string& item) override { log_.add("removeTooltip " + item); }
  void showDesktopPushNotification(const std::string& t) override { log_.add("notify " + t); }
  void sendMonitorMessage(const std::string& t, int type) override {
    log_.add("ipc " + std::to_string(type) + " " + t);
  }
  void queryMainDB(int option) override { log_.add("queryMainDB " + std::to_string(option)); }
  User accountUser() override { return user; }
  void setServerAddress(const std::string& s) override { log_.add("server " + s); }
  void HandleAccountUnderMaintainence() override { log_.add("HandleAccountUnderMaintainence"); }
  void passwordChangedFromWeb() override { log_.add("passwordChangedFromWeb"); }
  void runCalQuotaInThread(const std::string& mode) override { log_.add("quota " + mode); }
  void updateSSWindowRefresh() override { log_.add("updateSSWindowRefresh"); }
  void setRecentlyModifiedItems(const std::string& f, const std::string& op) override {
    log_.add("recent " + f + op);
  }
  std::string createSessionFileForOperation(int op, const std::string& name) override {
    log_.add("session " + std::to_string(op) + " " + name);
    if (sessionPath) return *sessionPath;
    return sessionFolder_ + "/" + name + ".log";
  }
  void uploadAfterRename(const RenameEntry& e) override {
    log_.add("uploadAfterRename " + e.originalPath + "->" + e.renamedPath);
  }
  void keepRefusedUpload(const std::string& p) override { log_.add("keepRefusedUpload " + p); }
  void addToCraeteThumbnail(const std::string& p) override { log_.add("thumbnail " + p); }
  void setVideoUserDetails(const std::string& u, const std::string&) override { log_.add("videoUser " + u); }
  void addVideoFile(const std::string& p) override { log_.add("video " + p); }
  void makeVideoCGICall() override { log_.add("makeVideoCGICall"); }
  void updateImageInformation() override { log_.add("updateImageInformation"); }
  void startPushing(const std::string& topic, const std::string& id, const std::string& text) override {
    log_.add("push " + topic + " " + id + " " + text);
  }
  void updateRefIDwithListingIndex(bool fromZero) override {
    log_.add(std::string("updateRefIDwithListingIndex ") + (fromZero ? "YES" : "NO"));
  }
  void downloadRunEnded(bool allArrived, bool pending) override {
    log_.add(std::string("downloadRunEnded arrived=") + (allArrived ? "YES" : "NO") +
             " pending=" + (pending ? "YES" : "NO"));
  }
  void deleteHalfRestoredFiles() override { log_.add("deleteHalfRestoredFiles"); }
  std::optional<std::vector<std::string>> filterversionRestoredFile(const std::vector<std::string>& paths) override {
    std::vector<std::string> out;
    for (const auto& p : paths) {
      if (!filteredOut.count(p)) out.push_back(p);
    }
    if (out.empty()) return std::nullopt;
    return out;
  }
  void clearRestoreSets(const std::vector<std::string>& stillQueued) override {
    std::string joined;
    for (const auto& p : stillQueued) joined += " " + p;
    log_.add("clearRestoreSets" + joined);
  }
  void downloadWritten(const std::string& p, const std::string&) override { log_.add("written " + p); }
  std::set<std::string> writtenSinceQueued;
  bool downloadWrittenSinceQueued(const std::string& p) override { return writtenSinceQueued.count(p) != 0; }
  void uploadArrived(const std::string&, const std::string&) override {}
  void rowGoesWithFile(const std::string& p) override { log_.add("row goes " + p); }
  void postSyncList(const std::vector<std::string>& paths) override {
    std::string joined;
    for (const auto& p : paths) joined += (joined.empty() ? "" : ",") + p;
    log_.add("FilessyncListGot " + joined);
  }

  User user;
  std::set<std::string> filteredOut;
  std::optional<std::string> sessionPath;  // instead of a log in the session folder

 private:
  CallLog& log_;
  std::string sessionFolder_;
};

// One account's upload road over fakes: a sync root and application files
// in a temporary folder, a manual clock.
struct UploadRoadRig {
  UploadRoadRig()
      : upload(log, "up"),
        download(log, "down"),
        queue(log),
        host(log, dir.sub("sessions")),
        ctx{[this] { return root; },
            "syncuser",
            RunRoadContext::Files{dir.sub("app/113"), dir.sub("app/118"), dir.sub("app/124"),
                                  dir.sub("app/26"), dir.sub("app/account.plist")},
            clock,
            queue,
            host,
            upload,
            download} {
    root = dir.sub("Sync");
    dir.writeFile("Sync/.keep", "");
    dir.writeFile("app/.keep", "");
    host.user.setUserName("syncuser");
    host.user.setPassword("secret");
    host.user.setUlmoraUsername("person@example.org");
    host.user.setKVTServerIP("storage.example");
    host.user.setISDefaultKey(true);
  }

  // A file of `size` bytes under the sync root.
  std::string putFile(const std::string& relative, size_t size) {
    return dir.writeFile("Sync" + relative, std::string(size, 'x'));
  }

  TestTempDir dir;
  std::string root;
  ManualClock clock;
  CallLog log;
  FakeManager upload;
  FakeManager download;
  FakeUploadQueue queue;
  FakeUploadHost host;
  RunRoadContext ctx;
};

}  // namespace ulmora::testing
