#include "sync/control/SyncCycle.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace ulmora {
namespace {

// Answers from its fields and records every action in order.
class RecordingPort final : public SyncCyclePort {
 public:
  bool inputQueue = true;
  bool rootExists = true;
  int gate = 4;
  bool network = true;
  bool thumbnailsRunning = false;
  bool uploadRunning = false;
  bool uploadAnnounced = false;
  bool downloadRunning = false;
  bool downloadAnnounced = false;
  bool eventsRunning = false;
  // ExcuteEventsCaptured starts the events worker, as the real one does.
  bool eventsStartRunning = false;
  bool createDirRunning = false;
  bool listingMayStart = true;
  bool listingAwaited = false;
  bool renamesPending = false;
  std::vector<std::string> calls;

  bool hasInputQueue() override { return inputQueue; }
  void checkCacheClearanceforSevenDays() override { calls.push_back("cache"); }
  bool syncRootExists() override { return rootExists; }
  void ifSyncFolderDoNotExist() override { calls.push_back("no folder"); }
  int shouldSync() override { return gate; }
  void pauseSteps() override { calls.push_back("pause"); }
  void completePendingStart() override { calls.push_back("pending start"); }
  void restoreThrottleAfterPause() override { calls.push_back("throttle"); }
  void keepPushTimersAlive() override { calls.push_back("push timers"); }
  bool isNWAvailable() override { return network; }
  bool isThumbNailBackupRunning() override { return thumbnailsRunning; }
  void createAndUploadThumbnails() override { calls.push_back("thumbnails"); }
  bool isBackupGoingOn() override { return uploadRunning; }
  bool isbackupStarted() override { return uploadAnnounced; }
  void backupRunFinished() override { calls.push_back("upload finished"); }
  void startBackup() override { calls.push_back("upload"); }
  bool uploadWaitsForListing() override { return listingAwaited; }
  bool isRestoreGoingOn() override { return downloadRunning; }
  bool isrestoreStarted() override { return downloadAnnounced; }
  void restoreRunFinished() override { calls.push_back("download finished"); }
  void dispatchDownloads() override { calls.push_back("download"); }
  bool isExcuteEventsCapturedRunning() override { return eventsRunning; }
  void ExcuteEventsCaptured() override {
    calls.push_back("events");
    eventsRunning = eventsStartRunning;
  }
  bool isCreateDirRunning() override { return createDirRunning; }
  void CreateFolder() override { calls.push_back("folders"); }
  bool renamesAndDeletesGoFirst() override { return renamesPending; }
  bool mayStartListing() override { return listingMayStart; }
  void listingStep() override { calls.push_back("listing"); }
};

using Calls = std::vector<std::string>;

TEST(SyncCycleTest, OneTickRunsItsStepsInOrder) {
  const Calls everything = {"cache",  "thumbnails", "upload", "download",
                            "events", "folders",    "listing"};
  struct Case {
    const char* name;
    std::function<void(RecordingPort&)> set;
    Calls calls;
  } cases[] = {
      {"open gate", [](RecordingPort& p) { p.gate = 4; },
       {"cache", "pending start", "throttle", "push timers", "thumbnails", "upload", "download",
        "events", "folders", "listing"}},
      {"no login details: the workers still start", [](RecordingPort& p) { p.gate = 7; },
       everything},
      {"no account", [](RecordingPort& p) { p.gate = 0; }, {"cache"}},
      {"unlinked", [](RecordingPort& p) { p.gate = 1; }, {"cache"}},
      {"gate 2", [](RecordingPort& p) { p.gate = 2; }, {"cache"}},
      {"folder moving", [](RecordingPort& p) { p.gate = 5; }, {"cache"}},
      {"paused", [](RecordingPort& p) { p.gate = 3; }, {"cache", "pause"}},
      {"no input queue", [](RecordingPort& p) { p.inputQueue = false; }, {}},
      {"no sync folder: nothing goes into it",
       [](RecordingPort& p) { p.rootExists = false; }, {"cache", "no folder"}},
      {"no network: thumbnails only",
       [](RecordingPort& p) {
         p.gate = 7;
         p.network = false;
       },
       {"cache", "thumbnails"}},
      {"finished runs are withdrawn before the next dispatch",
       [](RecordingPort& p) {
         p.gate = 7;
         p.uploadAnnounced = true;
         p.downloadAnnounced = true;
       },
       {"cache", "thumbnails", "upload finished", "upload", "download finished", "download",
        "events", "folders", "listing"}},
      {"busy workers are left alone",
       [](RecordingPort& p) {
         p.gate = 7;
         p.thumbnailsRunning = true;
         p.uploadRunning = true;
         p.uploadAnnounced = true;
         p.downloadRunning = true;
         p.createDirRunning = true;
       },
       {"cache", "events", "listing"}},
      {"events that start hold the listing back",
       [](RecordingPort& p) {
         p.gate = 7;
         p.eventsStartRunning = true;
       },
       {"cache", "thumbnails", "upload", "download", "events", "folders"}},
      {"a listing awaited holds the upload back",
       [](RecordingPort& p) {
         p.gate = 7;
         p.uploadAnnounced = true;
         p.listingAwaited = true;
       },
       {"cache", "thumbnails", "upload finished", "download", "events", "folders", "listing"}},
      {"renames made here go out before uploads and new folders",
       [](RecordingPort& p) {
         p.gate = 7;
         p.renamesPending = true;
       },
       {"cache", "thumbnails", "download", "events", "listing"}},
      {"a running listing",
       [](RecordingPort& p) {
         p.gate = 7;
         p.listingMayStart = false;
       },
       {"cache", "thumbnails", "upload", "download", "events", "folders"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RecordingPort port;
    c.set(port);
    runSyncCycleTick(port);
    EXPECT_EQ(port.calls, c.calls);
  }
}

}  // namespace
}  // namespace ulmora
