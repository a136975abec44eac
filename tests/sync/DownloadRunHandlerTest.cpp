#include <gtest/gtest.h>

#include <chrono>
#include <functional>

#include "OffLoopCalls.h"
#include "UploadRoadFakes.h"
#include "platform/FileUtil.h"
#include "sync/server/DownloadRunHandler.h"

namespace ulmora {
namespace {

using testing::UploadRoadRig;
using Calls = std::vector<std::string>;

struct DownloadRig : UploadRoadRig {
  DownloadRig() : handler(ctx, repeatedSets) {}

  void receive(const std::string& file, const std::string& mode = KVTProgressRecord::kFullRestore) {
    KVTProgressRecord r;
    r.filename = file;
    r.filesize = "7";
    r.transferMode = mode;
    r.fileTransferedStatus = KVTProgressRecord::kDone;
    handler.operationDidReceiveData(r);
  }
  Calls endingCalls() {
    Calls out;
    for (const auto& c : log.calls()) {
      for (const char* p : {"notify", "downloadRunEnded", "queryMainDB", "tooltip", "HandleAccount", "down.running"}) {
        if (c.rfind(p, 0) == 0) out.push_back(c);
      }
    }
    return out;
  }

  RepeatedSetCounts repeatedSets;
  int32_t repeats() {
    MutexLock hold(repeatedSets.mutex);
    return repeatedSets.sameRestoreSetRepeatedCount;
  }
  void setRepeats(int32_t count) {
    MutexLock hold(repeatedSets.mutex);
    repeatedSets.sameRestoreSetRepeatedCount = count;
  }
  DownloadRunHandler handler;
};

TEST(DownloadRunHandler, StartConsumesTheReadJournalsAndOpensTheSessionLog) {
  DownloadRig rig;
  rig.handler.operationDidStart();
  EXPECT_EQ(rig.log.calls(), (Calls{"queue.deleteFileFor 4 YES", "session 2 Sync-Down"}));
  auto text = fileutil::readFile(rig.dir.sub("sessions/Sync-Down.log")).value_or("");
  EXPECT_NE(text.find("My Sync folder: " + rig.root), std::string::npos);
}

TEST(DownloadRunHandler, ArrivedFilesAreRecordedByMode) {
  const struct {
    const char* mode;
    Calls calls;
  } cases[] = {
      {KVTProgressRecord::kFullRestore,
       {"monitor 2 /d/f", "written /d/f", "queue.update /d/f=Backup", "recent /d/f - Synced down"}},
      {KVTProgressRecord::kIncrementalRestore,
       {"monitor 2 /d/f", "written /d/f", "queue.update /d/f=Backup", "recent /d/f - Synced down"}},
      {KVTProgressRecord::kSyncFile, {"monitor 2 /d/f", "written /d/f", "queue.update /d/f=Backup"}},
      {KVTProgressRecord::kFullBackup, {"monitor 2 /d/f"}},
  };
  for (const auto& c : cases) {
    DownloadRig rig;
    rig.handler.operationDidStart();
    rig.log.clear();
    rig.receive("/d/f", c.mode);
    EXPECT_EQ(rig.log.calls(), c.calls) << c.mode;
  }
  DownloadRig rig;
  rig.handler.operationDidStart();
  rig.receive("/d/f");
  auto text = fileutil::readFile(rig.dir.sub("sessions/Sync-Down.log")).value_or("");
  EXPECT_NE(text.find(" [Full Sync down] File: /d/f File size: 7"), std::string::npos) << text;
}

TEST(DownloadRunHandler, CompletionNotifiesAndAlwaysEndsTheRun) {
  const std::string longName = "abcdefghijklmnopqrstuvwxyz0123456789ABCD";  // 40 characters
  const struct {
    const char* name;
    RunSummary summary;
    std::vector<std::string> received;
    bool journalPending;
    std::vector<std::string> restorePending;
    int32_t repeatsBefore;
    Calls calls;
    int32_t repeatsAfter;
  } cases[] = {
      {"one new file with a long name", {1, 0, 0, 0, 0, longName, "", false, 0}, {"/docs/" + longName}, false, {}, 0,
       {"notify N1034||abcdefghijklmnopq...wxyz0123456789ABCD||added::/docs/" + longName,
        "downloadRunEnded arrived=YES pending=NO", "queryMainDB 2", "down.running NO"},
       0},
      {"one updated file", {1, 1, 0, 0, 0, "", "/u.txt", false, 0}, {"/u.txt"}, false, {}, 0,
       {"notify N1003||/u.txt::/u.txt", "downloadRunEnded arrived=YES pending=NO", "queryMainDB 2", "down.running NO"},
       0},
      {"several new files", {3, 0, 0, 0, 0, "/c", "", false, 0}, {"/a", "/b", "/c"}, false, {}, 0,
       {"notify N1007||3||added", "downloadRunEnded arrived=YES pending=NO", "queryMainDB 2", "down.running NO"}, 0},
      {"several with an update", {3, 1, 0, 0, 0, "/c", "/b", false, 0}, {"/a", "/b", "/c"}, false, {}, 0,
       {"notify N1007||3||updated", "downloadRunEnded arrived=YES pending=NO", "queryMainDB 2", "down.running NO"}, 0},
      {"more downloads wait", {}, {}, false, {"/x"}, 0,
       {"downloadRunEnded arrived=YES pending=YES", "queryMainDB 2", "down.running NO"}, 0},
      {"download journal still present", {}, {}, true, {}, 0,
       {"downloadRunEnded arrived=YES pending=NO", "down.running NO"}, 0},
      {"set kept repeating", {}, {}, false, {}, 10, {"downloadRunEnded arrived=YES pending=NO", "down.running NO"}, 0},
      {"cancelled run", {0, 0, 0, 0, 0, "", "", true, 0}, {}, false, {}, 0,
       {"downloadRunEnded arrived=NO pending=NO", "queryMainDB 2", "down.running NO"}, 0},
  };
  for (const auto& c : cases) {
    DownloadRig rig;
    rig.dir.writeFile("app/118", "/a");
    rig.download.running = true;
    for (const auto& f : c.received) rig.receive(f);
    rig.log.clear();
    rig.download.result = c.summary;
    rig.queue.downloadJournalPending = c.journalPending;
    rig.queue.restorePending = c.restorePending;
    rig.setRepeats(c.repeatsBefore);
    rig.handler.operationDidFinishSuccessfully();
    EXPECT_EQ(rig.endingCalls(), c.calls) << c.name;
    EXPECT_EQ(rig.repeats(), c.repeatsAfter) << c.name;
    EXPECT_FALSE(fileutil::exists(rig.dir.sub("app/118"))) << c.name;
    std::string stillQueued;
    for (const auto& p : c.restorePending) stillQueued += " " + p;
    EXPECT_TRUE(rig.log.has("clearRestoreSets" + stillQueued)) << c.name;
    EXPECT_TRUE(rig.log.has("deleteHalfRestoredFiles")) << c.name;
    EXPECT_TRUE(rig.log.has("down.removeTempFilePaths")) << c.name;
  }
}

// The run wrote /x, which a listing held back meanwhile queued again: that
// entry waits for nothing, so the index moves and no mark is kept for it;
// /y still waits.
TEST(DownloadRunHandler, AnEntryTheRunAnsweredIsNotPending) {
  const struct {
    const char* name;
    std::vector<std::string> queued;
    Calls calls;
    const char* stillQueued;
  } cases[] = {
      {"only the answered entry", {"/x"}, {"downloadRunEnded arrived=YES pending=NO"}, "clearRestoreSets"},
      {"and one still to fetch", {"/x", "/y"}, {"downloadRunEnded arrived=YES pending=YES"}, "clearRestoreSets /y"},
  };
  for (const auto& c : cases) {
    DownloadRig rig;
    rig.download.running = true;
    rig.receive("/x");
    rig.host.writtenSinceQueued.insert("/x");
    rig.queue.restorePending = c.queued;
    rig.queue.downloadJournalPending = true;
    rig.log.clear();
    rig.download.result = {1, 0, 0, 0, 0, "/x", "", false, 0};
    rig.handler.operationDidFinishSuccessfully();
    Calls ended;
    for (const auto& call : rig.endingCalls())
      if (call.rfind("downloadRunEnded", 0) == 0) ended.push_back(call);
    EXPECT_EQ(ended, c.calls) << c.name;
    EXPECT_TRUE(rig.log.has(c.stillQueued)) << c.name;
  }
}

TEST(DownloadRunHandler, FailedRunKeepsTheIndexAndQueuesTheRestAgain) {
  const struct {
    const char* name;
    RunSummary summary;
    bool journalPending;
    Calls calls;
  } cases[] = {
      {"partial run", {2, 0, 0, 1, 1, "/b", "", false, 0}, false,
       {"down.running NO", "notify N1007||2||added", "downloadRunEnded arrived=NO pending=NO", "queryMainDB 2"}},
      {"partial run, journal present", {2, 0, 0, 1, 1, "/b", "", false, 0}, true,
       {"down.running NO", "notify N1007||2||added", "downloadRunEnded arrived=NO pending=NO"}},
      {"under maintenance", {0, 0, 0, 0, 0, "", "", false, 1004}, false,
       {"tooltip T1017", "HandleAccountUnderMaintainence", "down.running NO", "downloadRunEnded arrived=NO pending=NO"}},
  };
  for (const auto& c : cases) {
    DownloadRig rig;
    rig.dir.writeFile("app/118", "/a");
    rig.download.running = true;
    rig.download.result = c.summary;
    rig.queue.downloadJournalPending = c.journalPending;
    rig.setRepeats(5);
    rig.handler.operationDidFailWithError("Some files were not transferred (1 failed)");
    EXPECT_EQ(rig.endingCalls(), c.calls) << c.name;
    EXPECT_TRUE(rig.log.has("clearRestoreSets")) << c.name;
    EXPECT_FALSE(fileutil::exists(rig.dir.sub("app/118"))) << c.name;
    EXPECT_TRUE(rig.log.has("deleteHalfRestoredFiles")) << c.name;
  }
}

// A file that failed on its own comes again after 30 s, then after waits
// that double up to 15 minutes, until it arrives, the service no longer holds
// it, or the user put something at its path.
TEST(DownloadRunHandler, FilesThatFailedOnTheirOwnAreTriedAgainLater) {
  using std::chrono::minutes;
  using std::chrono::seconds;
  constexpr const char* kNoSpace = "IOERROR: write failed. Reason: No space left on device";
  const struct {
    const char* name;
    const char* error;
    std::function<void(DownloadRig&)> meanwhile;
    bool triedAgain;
  } cases[] = {
      {"disk full", kNoSpace, nullptr, true},
      {"permission refused", "IOERROR: write failed. Reason: Permission denied", nullptr, true},
      {"gone from the service", "SFERROR: download failed. Reason: No such file or directory", nullptr, false},
      {"arrived with a later run", kNoSpace, [](DownloadRig& rig) { rig.receive("/d/f"); }, false},
      {"the user made a file there", kNoSpace, [](DownloadRig& rig) { rig.putFile("/d/f", 3); }, false},
  };
  for (const auto& c : cases) {
    DownloadRig rig;
    rig.handler.operationDidStart();
    rig.handler.operationDidReceiveErrors(c.error, rig.root + "/d/f");
    EXPECT_TRUE(rig.handler.takeDueRetries().empty()) << c.name;
    if (c.meanwhile) c.meanwhile(rig);
    rig.clock.advance(seconds(30));
    const auto due = rig.handler.takeDueRetries();
    EXPECT_EQ(due.size(), c.triedAgain ? 1u : 0u) << c.name;
    EXPECT_EQ(due.count("/d/f"), c.triedAgain ? 1u : 0u) << c.name;
    auto text = fileutil::readFile(rig.dir.sub("sessions/Sync-Down.log")).value_or("");
    EXPECT_NE(text.find("Error: /d/f could not be synced down"), std::string::npos) << c.name << text;
  }

  // The waits double, and stop growing at 15 minutes.
  DownloadRig rig;
  rig.handler.operationDidStart();
  const std::vector<seconds> waits = {seconds(30), minutes(1), minutes(2), minutes(4),
                                      minutes(8), minutes(15), minutes(15)};
  for (const seconds wait : waits) {
    rig.handler.operationDidReceiveErrors(kNoSpace, "/d/f");
    rig.clock.advance(wait - seconds(1));
    EXPECT_TRUE(rig.handler.takeDueRetries().empty()) << wait.count();
    rig.clock.advance(seconds(1));
    EXPECT_EQ(rig.handler.takeDueRetries().size(), 1u) << wait.count();
  }
  auto text = fileutil::readFile(rig.dir.sub("sessions/Sync-Down.log")).value_or("");
  EXPECT_NE(text.find("(No space left on device); it is tried again in 900 s"), std::string::npos) << text;
}

TEST(DownloadRunHandler, CancelNoticesRemoveHalfReceivedFiles) {
  for (bool second : {false, true}) {
    DownloadRig rig;
    rig.dir.writeFile("app/118", "/a");
    rig.download.running = true;
    if (second) {
      rig.handler.operationCanceld();
    } else {
      rig.handler.operationDidCancel();
    }
    EXPECT_FALSE(rig.download.running);
    EXPECT_TRUE(rig.log.has("deleteHalfRestoredFiles"));
    EXPECT_EQ(fileutil::exists(rig.dir.sub("app/118")), second);
    EXPECT_EQ(rig.log.has("downloadRunEnded arrived=NO pending=NO"), !second);
    // A cancelled run's marks end too, or a file it never fetched could
    // not go up again.
    EXPECT_EQ(rig.log.has("clearRestoreSets"), !second);
  }
}

#ifndef NDEBUG
// The run's reports come from the download manager's threads; the due
// retries are taken by the cycle, on the main loop, as it reads the set.
TEST(DownloadRunHandlerDeathTest, TakingTheDueRetriesFromAnotherThreadStopsTheProcess) {
  DownloadRig rig;
  std::thread([&] { rig.handler.operationDidStart(); }).join();
  testing::expectEachStopsOffItsLoop({{"due_retries", [&] { rig.handler.takeDueRetries(); }}});
}
#endif

}  // namespace
}  // namespace ulmora
