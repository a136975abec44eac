#include <gtest/gtest.h>

#include <algorithm>

#include "UploadRoadFakes.h"
#include "platform/FileUtil.h"
#include "sync/upload/UploadRunHandler.h"

namespace ulmora {
namespace {

using testing::UploadRoadRig;
using Calls = std::vector<std::string>;

struct UploadRig : UploadRoadRig {
  UploadRig() : handler(ctx, renames, repeatedSets) {}

  KVTProgressRecord record(const std::string& file, const std::string& size,
                           const std::string& mode = KVTProgressRecord::kFullBackup,
                           const std::string& status = KVTProgressRecord::kDone) {
    KVTProgressRecord r;
    r.filename = file;
    r.filesize = size;
    r.transferMode = mode;
    r.fileTransferedStatus = status;
    return r;
  }
  // The calls that tell what a run ending did.
  Calls endingCalls() {
    Calls out;
    for (const auto& c : log.calls()) {
      for (const char* p : {"push", "queryMainDB", "updateRefID", "tooltip", "notify", "ipc", "HandleAccount",
                            "password", "queue.rename", "queue.deleteFileFor", "queue.upload"}) {
        if (c.rfind(p, 0) != 0) continue;
        std::string call = c;
        if (auto at = call.find(root); at != std::string::npos) call.replace(at, root.size(), "<root>");
        out.push_back(call);
      }
    }
    return out;
  }
  std::string sessionLog() { return fileutil::readFile(dir.sub("sessions/Sync-Up.log")).value_or(""); }

  UploadRenames renames;
  RepeatedSetCounts repeatedSets;
  int32_t repeats() { return testing::uploadRepeats(repeatedSets); }
  void setRepeats(int32_t count) { testing::setUploadRepeats(repeatedSets, count); }
  UploadRunHandler handler;
};

TEST(UploadRunHandler, StartConsumesTheReadJournalsAndOpensTheSessionLog) {
  UploadRig rig;
  rig.handler.operationDidStart();
  // The journal files this run's set came from are spent once it starts, so
  // the run's end can tell whether newer uploads wait.
  EXPECT_EQ(rig.log.calls(), (Calls{"queue.deleteFileFor 1 YES", "session 1 Sync-Up"}));
  EXPECT_EQ(rig.handler.sessionLogPath(), rig.dir.sub("sessions/Sync-Up.log"));
}

TEST(UploadRunHandler, EachReportedFileIsRecordedOnlyWhenItIsStillWhatWasSent) {
  const struct {
    const char* name;
    const char* mode;
    const char* status;
    int localSize;  // -1: no local file
    const char* reportedSize;
    Calls calls;
  } cases[] = {
      {"uploaded file", KVTProgressRecord::kFullBackup, "Done", 3, "3",
       {"monitor 1 /f", "queue.update /f=Backup", "video /f", "thumbnail <root>/f", "recent /f - Synced up"}},
      {"incremental upload", KVTProgressRecord::kIncrementalBackup, "Done", 3, "3",
       {"monitor 1 /f", "queue.update /f=Backup", "video /f", "thumbnail <root>/f", "recent /f - Synced up"}},
      {"already in sync: no media, no log line", KVTProgressRecord::kSyncFile, "Done", 3, "3",
       {"monitor 1 /f", "queue.update /f=Backup", "recent /f - Synced up"}},
      {"not finished", KVTProgressRecord::kFullBackup, "Sending", 3, "3", {"monitor 1 /f"}},
      {"a download mode", KVTProgressRecord::kFullRestore, "Done", 3, "3", {"monitor 1 /f"}},
      {"changed while it uploaded", KVTProgressRecord::kFullBackup, "Done", 5, "3",
       {"monitor 1 /f", "queue.upload <root>/f", "video /f", "thumbnail <root>/f", "recent /f - Synced up"}},
      {"deleted while it uploaded", KVTProgressRecord::kFullBackup, "Done", -1, "3",
       {"monitor 1 /f", "video /f", "thumbnail <root>/f", "recent /f - Synced up"}},
  };
  for (const auto& c : cases) {
    UploadRig rig;
    if (c.localSize >= 0) rig.putFile("/f", static_cast<size_t>(c.localSize));
    rig.handler.operationDidStart();
    rig.log.clear();
    rig.handler.operationDidReceiveData(rig.record("/f", c.reportedSize, c.mode, c.status));
    Calls expected;
    for (auto call : c.calls) {
      if (auto at = call.find("<root>"); at != std::string::npos) call.replace(at, 6, rig.root);
      expected.push_back(call);
    }
    EXPECT_EQ(rig.log.calls(), expected) << c.name;
  }
}

TEST(UploadRunHandler, SessionLogHasHeaderFileLinesAndClosingLines) {
  UploadRig rig;
  rig.putFile("/f", 3);
  rig.upload.result.succesFileCount = 1;
  rig.handler.operationDidStart();
  rig.handler.operationDidReceiveData(rig.record("/f", "3"));
  rig.handler.operationDidReceiveErrors("rsync: syncuser/x failed", "/x");
  rig.handler.operationDidFinishSuccessfully();
  const std::string text = rig.sessionLog();
  EXPECT_NE(text.find("\nUsername: person@example.org\nMy Sync folder: " + rig.root + " \nStart Time: 01-01-2020 00:00:00\n"),
            std::string::npos) << text;
  EXPECT_NE(text.find(" [Full Sync up] File: /f File size: 3"), std::string::npos) << text;
  // The sync user name never reaches the log; the account's own name does.
  EXPECT_NE(text.find("rsync: person@example.org/x failed"), std::string::npos) << text;
  EXPECT_NE(text.find("Synced up successfully"), std::string::npos);
  EXPECT_NE(text.find("\nEnd Time : 01-01-2020 00:00:00"), std::string::npos);
  EXPECT_NE(text.find("--------------------------------------------------\n"), std::string::npos);
}

TEST(UploadRunHandler, SessionLogWithoutAFolderIsNotWritten) {
  UploadRig rig;
  rig.host.sessionPath = "relative.log";
  rig.handler.operationDidStart();
  EXPECT_EQ(rig.handler.sessionLogPath(), "");
  rig.handler.operationDidFailWithError("umkvt error");
  EXPECT_FALSE(fileutil::exists("relative.log"));
}

TEST(UploadRunHandler, FileRenamedTwiceDuringItsUploadIsRecordedUnderItsCurrentName) {
  UploadRig rig;
  rig.putFile("/c", 3);
  rig.renames.recordRename("/a", "/b");
  rig.renames.recordRename("/b", "/c");
  rig.renames.recordRename("/other", "/other2");
  rig.handler.operationDidReceiveData(rig.record("/a", "3"));
  EXPECT_EQ(rig.log.starting("queue.update"), (Calls{"queue.update /c=Backup", "queue.update /a=Backup"}));
  rig.handler.operationDidFinishSuccessfully();
  // Another file's rename is not lost with this one: the run's end hands it
  // on too.
  EXPECT_EQ(rig.log.starting("queue.rename"), (Calls{"queue.rename /a->/c", "queue.rename /other->/other2"}));
}

// Two renames of folders above a file and two renames of the file itself,
// each applied in the order made: "/a/b/f" through "/a/b" -> "/a/c" and then
// "/a" -> "/x" is "/x/c/f", whichever order the renames are recorded in.
TEST(UploadRunHandler, ChainsOfRenamesAreFollowedToTheNameThatExists) {
  const struct {
    const char* name;
    std::vector<RenameEntry> renames;
    const char* file;
    std::optional<std::string> current;
  } cases[] = {
      {"file renamed as its folders were", {{"/a/b/f", "/a/c/f"}, {"/a/c/f", "/x/c/f"}}, "/a/b/f", "/x/c/f"},
      {"the later rename recorded first", {{"/a/c/f", "/x/c/f"}, {"/a/b/f", "/a/c/f"}}, "/a/b/f", "/x/c/f"},
      {"a folder's own rename is no rename of the file", {{"/a/b", "/a/c"}, {"/a", "/x"}}, "/a/b/f", std::nullopt},
      {"the chain ends nowhere", {{"/a/b/f", "/a/c/f"}}, "/a/b/f", std::nullopt},
  };
  for (const auto& c : cases) {
    UploadRenames renames;
    for (const auto& r : c.renames) renames.recordRename(r.originalPath, r.renamedPath);
    EXPECT_EQ(renames.followRename(c.file, [](const std::string& p) { return p == "/x/c/f"; }), c.current)
        << c.name;
  }
}

// A rename held back from the server while its file uploads reaches the
// queue however the run ends; when the file's content never arrived, its new
// name is uploaded after the server's rename.
TEST(UploadRunHandler, HeldRenamesAreHandedOnWhateverWayTheRunEnds) {
  enum class End { kSuccess, kFailure, kAccountFailure, kOverQuota, kCancel, kCanceld, kNextDispatch };
  const struct {
    const char* name;
    End end;
    bool doneBeforeRename;
    Calls calls;
  } cases[] = {
      {"renamed after its upload was done", End::kSuccess, true, {"queue.rename /a->/c"}},
      {"run failed before the file was done", End::kFailure, false,
       {"queue.rename /a->/c", "uploadAfterRename /a->/c"}},
      {"renamed after done, run failed", End::kFailure, true, {"queue.rename /a->/c"}},
      {"account failed", End::kAccountFailure, false, {"queue.rename /a->/c", "uploadAfterRename /a->/c"}},
      {"over quota", End::kOverQuota, false, {"queue.rename /a->/c", "uploadAfterRename /a->/c"}},
      {"cancelled", End::kCancel, false, {"queue.rename /a->/c", "uploadAfterRename /a->/c"}},
      {"cancelled, second notice", End::kCanceld, true, {"queue.rename /a->/c"}},
      {"held after the run ended", End::kNextDispatch, true, {"queue.rename /a->/c"}},
  };
  for (const auto& c : cases) {
    UploadRig rig;
    rig.putFile("/c", 1);
    rig.upload.set = {"/a"};
    rig.upload.running = true;
    rig.handler.operationDidStart();
    if (c.doneBeforeRename) {
      rig.putFile("/a", 1);
      rig.handler.operationDidReceiveData(rig.record("/a", "1"));
    }
    rig.renames.recordRename("/a", "/b");
    rig.renames.recordRename("/b", "/c");
    rig.log.clear();
    switch (c.end) {
      case End::kSuccess: rig.handler.operationDidFinishSuccessfully(); break;
      case End::kFailure: rig.handler.operationDidFailWithError("umkvt error"); break;
      case End::kAccountFailure: rig.handler.operationDidFailWithError("@ERROR: password mismatch"); break;
      case End::kOverQuota: rig.handler.operationDidFailWithOverQuota(); break;
      case End::kCancel: rig.handler.operationDidCancel(); break;
      case End::kCanceld: rig.handler.operationCanceld(); break;
      case End::kNextDispatch: rig.handler.handOnRenames(); break;
    }
    Calls handed = rig.log.starting("queue.rename");
    for (const auto& call : rig.log.starting("uploadAfterRename")) handed.push_back(call);
    EXPECT_EQ(handed, c.calls) << c.name;
    // Handed on once: nothing is left for the next run to drop or repeat.
    rig.log.clear();
    rig.handler.handOnRenames();
    EXPECT_TRUE(rig.log.starting("queue.rename").empty()) << c.name;
  }
}

// The row goes, but the version it recorded is kept first: the user's delete
// of the vanished file must still trash only what this computer saw.
TEST(UploadRunHandler, PerFileErrorsDropVanishedFilesFromTheDatabase) {
  UploadRig rig;
  rig.handler.operationDidReceiveErrors("send /x: Reason: No such file or directory", rig.root + "/x");
  rig.handler.operationDidReceiveErrors("send /y: Permission denied", "/y");
  rig.handler.operationDidReceiveErrors("Reason: No such file or directory", rig.root);
  Calls rows = rig.log.starting("row goes");
  for (const auto& call : rig.log.starting("queue.delete")) rows.push_back(call);
  EXPECT_EQ(rows, (Calls{"row goes /x", "queue.delete /x"}));
  const Calls all = rig.log.calls();
  EXPECT_LT(std::find(all.begin(), all.end(), "row goes /x"), std::find(all.begin(), all.end(), "queue.delete /x"));
}

TEST(UploadRunHandler, AnUploadOverAVersionNeverSeenHereGoesToTheConflictRoadNotBackToTheJournal) {
  const struct {
    const char* name;
    std::string message;
    bool fullPath;
    Calls conflict;
    Calls requeued;
  } cases[] = {
      {"refused, relative path", "SFERROR: version check failed. Reason: Stale file handle", false,
       {"keepRefusedUpload /b"}, {"queue.upload <root>/a"}},
      {"refused, full path", "SFERROR: version check failed. Reason: Stale file handle", true,
       {"keepRefusedUpload /b"}, {"queue.upload <root>/a"}},
      {"another server failure is sent again", "SFERROR: store failed. Reason: Input/output error", false, {},
       {"queue.upload <root>/a", "queue.upload <root>/b"}},
  };
  for (const auto& c : cases) {
    UploadRig rig;
    rig.putFile("/a", 1);
    rig.putFile("/b", 1);
    rig.upload.set = {"/a", "/b"};
    rig.handler.operationDidStart();
    rig.handler.operationDidReceiveErrors(c.message, c.fullPath ? rig.root + "/b" : "/b");
    rig.upload.result = {0, 0, 0, 1, 1, "", "", false, 0};
    rig.handler.operationDidFailWithError("Some files were not transferred (1 failed)");
    EXPECT_EQ(rig.log.starting("keepRefusedUpload"), c.conflict) << c.name;
    Calls requeued;
    for (const auto& call : rig.endingCalls())
      if (call.rfind("queue.upload", 0) == 0) requeued.push_back(call);
    EXPECT_EQ(requeued, c.requeued) << c.name;
  }
}

TEST(UploadRunHandler, EveryRunEndingTellsTheRightPartiesAndRequeuesWhatIsLeft) {
  enum class End { kSuccess, kFailure };
  const struct {
    const char* name;
    End end;
    const char* error;
    RunSummary summary;
    bool journalPending;
    int32_t repeatsBefore;
    Calls calls;
    int32_t repeatsAfter;
  } cases[] = {
      {"nothing sent", End::kSuccess, "", {}, false, 0,
       {"push syncuser 1001 Synced up in in-sync mode", "updateRefIDwithListingIndex NO", "queryMainDB 1"}, 0},
      {"one file", End::kSuccess, "", {1, 0, 0, 0, 0, "/one.txt", "", false, 0}, false, 0,
       {"push syncuser 1001 /one.txt", "updateRefIDwithListingIndex NO", "queryMainDB 1"}, 0},
      {"sent and in-sync files add up", End::kSuccess, "", {2, 1, 1, 0, 0, "/b", "/a", false, 0}, false, 3,
       {"push syncuser 1001 3 files has been syned up", "updateRefIDwithListingIndex NO", "queryMainDB 1"}, 3},
      {"journal still holds uploads", End::kSuccess, "", {2, 0, 0, 0, 0, "/b", "", false, 0}, true, 0,
       {"push syncuser 1001 2 files has been syned up"}, 0},
      {"set kept repeating", End::kSuccess, "", {}, false, 10,
       {"push syncuser 1001 Synced up in in-sync mode", "updateRefIDwithListingIndex NO"}, 0},
      {"under maintenance", End::kFailure, "maintenance", {0, 0, 0, 0, 0, "", "", false, 1004}, false, 0,
       {"tooltip T1017", "HandleAccountUnderMaintainence", "queue.rename /a->/c"}, 0},
      {"account blocked", End::kFailure, "blocked", {0, 0, 0, 0, 0, "", "", false, 1006}, false, 0,
       {"tooltip T1022", "HandleAccountUnderMaintainence", "queue.rename /a->/c"}, 0},
      {"account cancelled", End::kFailure, "cancelled", {0, 0, 0, 0, 0, "", "", false, 1001}, false, 0,
       {"tooltip T1018", "notify N1023", "ipc 507 The account has been cancelled", "queue.rename /a->/c"}, 0},
      {"password changed", End::kFailure, "@ERROR: password mismatch", {}, false, 0, {"passwordChangedFromWeb", "queue.rename /a->/c"}, 0},
      {"partial run", End::kFailure, "Some files were not transferred (1 failed)", {2, 0, 0, 1, 1, "/b", "", false, 0},
       false, 4,
       {"queue.rename /a->/c", "push syncuser 1001 2 files has been syned up", "queue.upload <root>/c",
        "updateRefIDwithListingIndex NO"},
       0},
      {"engine died before any file", End::kFailure, "umkvt error: the engine ended on signal 9", {}, false, 2,
       {"queue.rename /a->/c", "queue.upload <root>/c"}, 0},
      {"failure while the journal holds more", End::kFailure, "umkvt error", {2, 0, 0, 0, 1, "/b", "", false, 0},
       true, 2, {"queue.rename /a->/c", "push syncuser 1001 2 files has been syned up", "queue.upload <root>/c"}, 0},
  };
  for (const auto& c : cases) {
    UploadRig rig;
    rig.dir.writeFile("app/113", "/a\n/b");
    rig.dir.writeFile("app/26", "<plist/>");
    rig.putFile("/c", 1);
    // The run's set: /a arrives (as /c), /b is gone, /c is still to send.
    rig.upload.set = {"/a", "/b", "/c"};
    rig.renames.recordRename("/a", "/c");
    rig.handler.operationDidReceiveData(rig.record("/a", "1"));
    rig.log.clear();
    rig.upload.result = c.summary;
    rig.upload.running = true;
    rig.queue.uploadJournalPending = c.journalPending;
    rig.setRepeats(c.repeatsBefore);
    if (c.end == End::kSuccess) {
      rig.handler.operationDidFinishSuccessfully();
    } else {
      rig.handler.operationDidFailWithError(c.error);
    }
    Calls expected = c.calls;
    if (c.end == End::kSuccess) expected.insert(expected.begin(), "queue.rename /a->/c");
    EXPECT_EQ(rig.endingCalls(), expected) << c.name;
    EXPECT_EQ(rig.repeats(), c.repeatsAfter) << c.name;
    EXPECT_FALSE(rig.upload.running) << c.name;
    EXPECT_FALSE(fileutil::exists(rig.dir.sub("app/113"))) << c.name;
    EXPECT_TRUE(rig.log.has("up.removeTempFilePaths")) << c.name;
    EXPECT_TRUE(rig.log.has("quota NO")) << c.name;
    EXPECT_EQ(fileutil::exists(rig.dir.sub("app/26")), c.summary.errorCode != 1001) << c.name;
  }
}

TEST(UploadRunHandler, OverQuotaDropsTheJournalAndWarnsOnlyTheMainAccount) {
  const struct {
    const char* name;
    const char* accountPlist;  // nullptr: none
    bool warned;
  } cases[] = {
      {"no account file", nullptr, true},
      {"main account", "<plist><dict><key>ParentAccount</key><string>p</string><key>UlmoraUsername</key><string>p</string></dict></plist>", true},
      {"sub-account", "<plist><dict><key>ParentAccount</key><string>p</string><key>UlmoraUsername</key><string>s</string></dict></plist>", false},
  };
  for (const auto& c : cases) {
    UploadRig rig;
    if (c.accountPlist) rig.dir.writeFile("app/account.plist", c.accountPlist);
    rig.upload.running = true;
    rig.handler.operationDidFailWithOverQuota();
    EXPECT_TRUE(rig.log.has("queue.deleteFileFor 1 NO")) << c.name;
    EXPECT_EQ(fileutil::readFile(rig.dir.sub("app/124")).value_or(""), "QotaExceeded") << c.name;
    EXPECT_EQ(rig.log.has("notify N1011"), c.warned) << c.name;
    EXPECT_FALSE(rig.upload.running) << c.name;
    EXPECT_TRUE(rig.log.has("quota NO")) << c.name;
  }
}

TEST(UploadRunHandler, BothCancelNoticesEndTheRunWithoutAnnouncing) {
  for (bool second : {false, true}) {
    UploadRig rig;
    rig.dir.writeFile("app/113", "/a");
    rig.upload.running = true;
    if (second) {
      rig.handler.operationCanceld();
    } else {
      rig.handler.operationDidCancel();
    }
    EXPECT_FALSE(rig.upload.running);
    EXPECT_FALSE(fileutil::exists(rig.dir.sub("app/113")));
    EXPECT_TRUE(rig.log.starting("push").empty());
    EXPECT_EQ(rig.log.has("quota NO"), !second);
  }
}

}  // namespace
}  // namespace ulmora
