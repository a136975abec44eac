#pragma once

#include <gmock/gmock.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "TestHome.h"
#include "TestTempDir.h"
#include "WaitUntil.h"
#include "platform/FileUtil.h"
#include "platform/PropertyList.h"
#include "platform/RunLoop.h"
#include "platform/Trace.h"
#include "capture/CaptureJournalSink.h"
#include "sync/SyncController.h"

namespace ulmora::testing {

inline constexpr auto kPatience = std::chrono::seconds(10);  // real-time bound for "soon"

// Collects trace lines from every thread while alive.
class TraceLines {
 public:
  TraceLines() {
    setTraceSink([this](std::string_view line) {
      std::lock_guard<std::mutex> hold(mu_);
      lines_.emplace_back(line);
    });
  }
  ~TraceLines() { setTraceSink({}); }
  TraceLines(const TraceLines&) = delete;
  TraceLines& operator=(const TraceLines&) = delete;

  size_t count(std::string_view needle) const {
    std::lock_guard<std::mutex> hold(mu_);
    size_t n = 0;
    for (const auto& l : lines_) n += l.find(needle) != std::string::npos;
    return n;
  }

 private:
  mutable std::mutex mu_;
  std::vector<std::string> lines_;
};

// Runs `loop` until `done` holds, for at most kPatience of real time. Work
// arrives from other threads (sockets, workers), so the loop is turned until
// it has been posted.
inline bool pumpUntil(RunLoop& loop, const std::function<bool()>& done) {
  return waitUntil(
      [&] {
        loop.runUntilIdle();
        return done();
      },
      kPatience, std::chrono::milliseconds(2));
}

// Records what reaches the journal writer's place.
class RecordingSink : public CaptureJournalSink {
 public:
  std::vector<std::string> backups() const { return get(backups_); }
  std::vector<std::string> restores() const { return get(restores_); }
  std::vector<std::string> queryFinished() const { return get(queryFinished_); }

  void addBackupFiles(const std::vector<std::string>& p) override { add(backups_, p); }
  void addDirectory(const std::vector<std::string>&) override {}
  void addDeleteFiles(const std::vector<std::string>&) override {}
  void addRenamedFiles(const std::vector<RenameEntry>&) override {}
  void addRestoreFiles(const std::vector<std::string>& p) override { add(restores_, p); }
  void addOBBackupFiles(const std::vector<std::string>&) override {}
  void addOBRestoreFiles(const std::vector<std::string>&) override {}
  void mainDBQueryFinished(const std::vector<std::string>& p) override { add(queryFinished_, p); }
  void RDDBQueryFinished(const std::optional<RDDataBaseRows>&) override {}

 private:
  void add(std::vector<std::string>& to, const std::vector<std::string>& p) {
    std::lock_guard<std::mutex> hold(mu_);
    to.insert(to.end(), p.begin(), p.end());
  }
  std::vector<std::string> get(const std::vector<std::string>& from) const {
    std::lock_guard<std::mutex> hold(mu_);
    return from;
  }
  mutable std::mutex mu_;
  std::vector<std::string> backups_, restores_, queryFinished_;
};

class MockSyncController : public SyncController {
 public:
  explicit MockSyncController(std::string root = "") {
    ON_CALL(*this, getUlmoraSyncRootPath()).WillByDefault(::testing::Return(root));
  }

  MOCK_METHOD(void, initWithConsoleUser, (const SyncSessionDetails&), (override));
  MOCK_METHOD(void, setSharedUlmoraSyncUserController, (SyncControllerOwner*), (override));
  MOCK_METHOD(void, setReinitializeState, (bool), (override));
  MOCK_METHOD(bool, getReinitializeState, (), (const, override));
  MOCK_METHOD(void, startSync, (), (override));
  MOCK_METHOD(void, shutdown, (), (override));
  MOCK_METHOD(void, PauseSync, (), (override));
  MOCK_METHOD(void, ResumeSync, (), (override));
  MOCK_METHOD(void, UnlinkSync, (), (override));
  MOCK_METHOD(void, stopSyncForUnlink, (bool), (override));
  MOCK_METHOD(void, ReinitializeSync, (), (override));
  MOCK_METHOD(void, startSyncListingAllFiles, (int), (override));
  MOCK_METHOD(void, selectiveSyncModefied, (), (override));
  MOCK_METHOD(void, ShowVersion, (const std::string&), (override));
  MOCK_METHOD(void, SendPathRootSet, (), (override));
  MOCK_METHOD(void, RecalculateQuota, (), (override));
  MOCK_METHOD(void, sendToolTip, (), (override));
  MOCK_METHOD(void, notAbleTOCreateFolderAtPath, (), (override));
  MOCK_METHOD(void, updateIconOverlay, (), (override));

  MOCK_METHOD(std::string, getUlmoraSyncRootPath, (), (override));
  MOCK_METHOD(std::string, syncUserName, (), (override));
  MOCK_METHOD(void, queryMainDB, (int), (override));
  MOCK_METHOD(bool, isBackupGoingOn, (), (override));
  MOCK_METHOD(bool, isRestoreGoingOn, (), (override));
  MOCK_METHOD(void, SetQueryMainDBforCountBackup, (bool), (override));
  MOCK_METHOD(void, GetTotalCountAndTotalSizeOfBackupFiles, (), (override));
  MOCK_METHOD(void, SetQueryMainDBforCountRestore, (bool), (override));
  MOCK_METHOD(void, GetTotalCountAndTotalSizeOfRestoreFiles, (), (override));
  MOCK_METHOD(void, setOfflineDeleteRenamedFileInfo, (const std::optional<RDDataBaseRows>&),
              (override));

  MOCK_METHOD(void, SetTotalBackupCount, (int64_t), (override));
  MOCK_METHOD(void, SetTotalBackupSize, (int64_t), (override));
  MOCK_METHOD(void, ResetNecessaryVariablesForBackup, (), (override));
  MOCK_METHOD(void, SetQueriedForBackup, (bool), (override));
  MOCK_METHOD(void, SetTotalRestoreCount, (int64_t), (override));
  MOCK_METHOD(void, SetTotalRestoreSize, (int64_t), (override));
  MOCK_METHOD(void, ResetNecessaryVariablesForRestore, (), (override));
  MOCK_METHOD(void, SetQueriedForRestore, (bool), (override));
};

}  // namespace ulmora::testing
