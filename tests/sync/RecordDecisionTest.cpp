#include "sync/server/RecordDecision.h"

#include <gtest/gtest.h>

#include "journal/SyncRecordBuilder.h"
#include "sync/server/ServerRenameDecision.h"
#include "sync/ServerRoadTestSupport.h"

namespace ulmora {
namespace {

using namespace std::chrono_literals;
using Kind = Step::Kind;
using testing::serverTime;

constexpr const char* kTime = "2024-03-05 10:20:30";

ItemState file(std::chrono::nanoseconds offset = 0ns) {
  return {true, false, serverTime(kTime, offset), std::nullopt};
}
ItemState folder() { return {true, true, serverTime(kTime), std::nullopt}; }

RecordFacts facts(const std::string& op, const std::string& fname = "/d/a.txt",
                  const std::string& fnameOld = "") {
  RecordFacts f;
  f.operation = op;
  f.record.fname = fname;
  f.record.fnameOld = fnameOld;
  f.record.modTime = kTime;
  f.record.size = "10";
  f.record.refId = "R1";
  f.serverTime = serverTime(kTime);
  return f;
}

Step step(Kind kind, int marker = 0) { return Step{kind, {}, {}, {}, marker}; }
// A download whose written file is not to be uploaded back.
Step fetch(int marker) {
  Step s = step(Kind::kDownload, marker);
  s.avoidBackup = true;
  return s;
}

struct Case {
  const char* name;
  RecordFacts facts;
  std::vector<Step> steps;
  bool bookkeeping;
};

template <typename Mod>
RecordFacts with(RecordFacts f, Mod mod) {
  mod(f);
  return f;
}

void check(const std::vector<Case>& cases, Plan (*decide)(const RecordFacts&)) {
  for (const auto& c : cases) {
    Plan plan = decide(c.facts);
    EXPECT_EQ(plan.steps, c.steps) << c.name;
    EXPECT_EQ(plan.bookkeeping, c.bookkeeping) << c.name;
  }
}

ItemState sized(ItemState item, int64_t size) {
  item.size = size;
  return item;
}

TEST(RecordDecisionTest, ChangedOnServer) {
  auto base = facts("4");
  Step conflict = fetch(15);
  conflict.conflictAlways = true;
  Step keptSameSecond = step(Kind::kDownload, 15);
  keptSameSecond.keepLocalEdit = true;
  auto elsewhere = [&](auto mod) {
    return with(base, [&](auto& f) {
      f.refIdPath = "/moved/a.txt";
      f.refIdItem = sized(file(), 10);
      f.refIdPathBackedUp = true;
      mod(f);
    });
  };
  // A file in sync here since its last sync, the row naming `rowRefId`.
  auto sameFile = [&](const char* rowRefId) {
    return with(base, [&](auto& f) {
      f.local = sized(file(300ms), 10);
      f.backedUp = f.restored = true;
      f.recorded = RecordedFileFacts{syncrecord::dateText(*f.local.modified), "10"};
      f.backupAndRefId = BackupStatusAndRefId{"1", rowRefId};
    });
  };
  Step moveIn{Kind::kLocalRename, "/moved/a.txt", "/d/a.txt", "/moved/a.txt"};
  moveIn.checkParentAfter = true;
  std::vector<Case> cases = {
      {"missing locally", base, {fetch(13)}, true},
      // Known here under another name, as uploaded: that copy moves into
      // place. Anything less certain is fetched (the other copy stays).
      {"missing, the same file under another name", elsewhere([](auto&) {}), {moveIn}, true},
      {"missing, other name edited since", elsewhere([](auto& f) { f.refIdItem = sized(file(5s), 10); }),
       {fetch(13)}, true},
      {"missing, other name of another size", elsewhere([](auto& f) { f.refIdItem = sized(file(), 11); }),
       {fetch(13)}, true},
      {"missing, other name of unknown size", elsewhere([](auto& f) { f.refIdItem = file(); }), {fetch(13)}, true},
      {"missing, other name not uploaded", elsewhere([](auto& f) { f.refIdPathBackedUp = false; }), {fetch(13)},
       true},
      {"missing, other name is a folder", elsewhere([](auto& f) { f.refIdItem = folder(); }), {fetch(13)}, true},
      {"missing, other name gone too", elsewhere([](auto& f) { f.refIdItem = {}; }), {fetch(13)}, true},
      {"folder record", facts("4", "/d/"), {}, true},
      {"local folder in the way", with(base, [](auto& f) { f.local = folder(); }), {}, true},
      {"server newer", with(base, [](auto& f) { f.local = file(-5s); }), {fetch(15)}, true},
      {"server newer while reinitialising", with(base, [](auto& f) {
         f.local = file(-5s);
         f.isReinitialize = true;
       }),
       {conflict}, true},
      {"same time", with(base, [](auto& f) { f.local = file(); }), {step(Kind::kRefIdUpdate, 14)}, false},
      {"same second, other nanoseconds", with(base, [](auto& f) { f.local = file(900ms); }),
       {step(Kind::kRefIdUpdate, 14)}, false},
      {"same second, same size", with(base, [](auto& f) {
         f.local = file(300ms);
         f.local.size = 10;
       }),
       {step(Kind::kRefIdUpdate, 14)}, false},
      // The other side wrote within the same second: its version is the
      // newer one on the server although the times agree.
      {"same second, other size", with(base, [](auto& f) {
         f.local = file(300ms);
         f.local.size = 11;
       }),
       {keptSameSecond}, true},
      // The row's file is unchanged here, but the server has another file
      // at the path, written within the same second at the same size.
      {"same second and size, another server file", sameFile("R0"), {keptSameSecond}, true},
      // Our own upload of an edit keeps the file's id: nothing to fetch.
      {"same second and size, the row's own file", sameFile("R1"), {step(Kind::kRefIdUpdate, 14)}, false},
      {"same second and size, no id recorded yet", sameFile("NA"), {step(Kind::kRefIdUpdate, 14)}, false},
      {"same second and size, another file, edited here", with(sameFile("R0"), [](auto& f) {
         f.recorded->size = "9";
       }),
       {step(Kind::kRefIdUpdate, 14)}, false},
      {"same second and size, another file, download under way", with(sameFile("R0"), [](auto& f) {
         f.restored = false;
       }),
       {step(Kind::kRefIdUpdate, 14)}, false},
      {"same second, server size unreadable", with(base, [](auto& f) {
         f.local = file();
         f.local.size = 11;
         f.record.size = "ten";
       }),
       {step(Kind::kRefIdUpdate, 14)}, false},
      {"server time unreadable", with(base, [](auto& f) {
         f.local = file(-50s);
         f.serverTime.reset();
       }),
       {step(Kind::kRefIdUpdate, 14)}, false},
      {"local newer, not uploaded", with(base, [](auto& f) { f.local = file(5s); }), {}, true},
      {"local newer, uploaded and restored", with(base, [](auto& f) {
         f.local = file(5s);
         f.backedUp = f.restored = true;
       }),
       {step(Kind::kUpload)}, true},
      {"local newer, restore directly", with(base, [](auto& f) {
         f.local = file(5s);
         f.backedUp = f.restored = f.shouldRestoreFileDirectly = true;
       }),
       {fetch(16)}, true},
      {"local newer, uploaded, never restored", with(base, [](auto& f) {
         f.local = file(5s);
         f.backedUp = true;
       }),
       {fetch(16)}, true},
  };
  check(cases, decideRecord);
}

// This computer's upload reached the server just after another computer
// moved its folder, and made the former folder name there again; the move
// took the file along here. Only the very file that went up (same size, same
// second) follows the folder; anything else is the server's file at the
// former name and is fetched, as is a file moved along that the database
// also knows under another name.
TEST(RecordDecisionTest, AnUploadUnderAFolderMovedMeanwhileFollowsTheFolder) {
  auto base = with(facts("4", "/old/a.txt"), [](auto& f) {
    f.movedFolder = "/old";
    f.movedPath = "/new/a.txt";
    f.movedItem = sized(file(300ms), 10);
  });
  const Step follow{Kind::kFollowFolderMove, "/old/a.txt", "/new/a.txt", "/old"};
  std::vector<Case> cases = {
      {"the file that went up", base, {follow}, true},
      {"also known under another name",
       with(base, [](auto& f) {
         f.refIdPath = "/new/a.txt";
         f.refIdItem = f.movedItem;
         f.refIdPathBackedUp = true;
       }),
       {follow}, true},
      {"edited since", with(base, [](auto& f) { f.movedItem = sized(file(5s), 10); }), {fetch(13)}, true},
      {"another size", with(base, [](auto& f) { f.movedItem = sized(file(), 11); }), {fetch(13)}, true},
      {"size unknown here", with(base, [](auto& f) { f.movedItem = file(); }), {fetch(13)}, true},
      {"server size unknown", with(base, [](auto& f) { f.record.size.clear(); }), {fetch(13)}, true},
      {"server time unreadable", with(base, [](auto& f) { f.serverTime.reset(); }), {fetch(13)}, true},
      {"a folder where it would be", with(base, [](auto& f) { f.movedItem = folder(); }), {fetch(13)}, true},
      {"nothing where it would be", with(base, [](auto& f) { f.movedItem = {}; }), {fetch(13)}, true},
      {"no folder moved above it", with(base, [](auto& f) {
         f.movedFolder.clear();
         f.movedPath.reset();
       }),
       {fetch(13)}, true},
      {"still at the former name", with(base, [](auto& f) { f.local = sized(file(), 10); }),
       {step(Kind::kRefIdUpdate, 14)}, false},
  };
  check(cases, decideRecord);
}

// A listing brings again the version this computer last synced (its index
// held back while downloads ran, or the echo of its own upload) while the
// user edits the file: the edit goes up, whatever its time says, and is not
// set aside for a copy the server got from here.
TEST(RecordDecisionTest, AnEditOnTopOfTheVersionLastSyncedHereGoesUp) {
  // `rowRefId` and the recorded size describe the row's last synced file.
  auto editedAfterSync = [](std::chrono::nanoseconds localOffset, const char* rowRefId, const char* rowSize) {
    return with(facts("4"), [&](auto& f) {
      f.local = sized(file(localOffset), 25);
      f.backedUp = f.restored = f.shouldRestoreFileDirectly = true;
      f.recorded = RecordedFileFacts{syncrecord::dateText(*f.serverTime), rowSize};
      f.backupAndRefId = BackupStatusAndRefId{"1", rowRefId};
    });
  };
  Step keptSameSecond = step(Kind::kDownload, 15);
  keptSameSecond.keepLocalEdit = true;
  Step keptNewer = fetch(16);
  keptNewer.keepLocalEdit = true;
  Step keptOlder = fetch(15);
  keptOlder.keepLocalEdit = true;
  const std::vector<Case> cases = {
      {"edited later", editedAfterSync(5s, "R1", "10"), {step(Kind::kUpload)}, true},
      {"edited within the same second", editedAfterSync(300ms, "R1", "10"), {step(Kind::kUpload)}, true},
      {"an older copy put back", editedAfterSync(-5s, "R1", "10"), {step(Kind::kUpload)}, true},
      // Anything else is another version: the local edit is kept aside.
      {"another server file", editedAfterSync(5s, "R0", "10"), {keptNewer}, true},
      {"another size on the server", editedAfterSync(300ms, "R1", "9"), {keptSameSecond}, true},
      {"no id recorded", editedAfterSync(-5s, "NA", "10"), {keptOlder}, true},
      {"a download under way", with(editedAfterSync(5s, "R1", "10"), [](auto& f) { f.restored = false; }),
       {fetch(16)}, true},
  };
  check(cases, decideRecord);
}

// The same, when the record's version came here by a download the row does
// not record yet: the user edited the downloaded file before the capture
// took the download's write, so the row still names the version before.
TEST(RecordDecisionTest, AnEditOnTopOfADownloadTheRowDoesNotRecordYetGoesUp) {
  auto editedAfterDownload = [](std::chrono::nanoseconds localOffset, bool restored, ItemState downloaded) {
    return with(facts("4"), [&](auto& f) {
      f.local = sized(file(localOffset), 25);
      f.backedUp = f.shouldRestoreFileDirectly = true;
      f.restored = restored;
      f.changedSinceDownload = true;
      f.recorded = RecordedFileFacts{syncrecord::dateText(*f.serverTime - 60s), "7"};
      f.backupAndRefId = BackupStatusAndRefId{"1", "R0"};
      f.downloadedHere = downloaded;
    });
  };
  const ItemState theRecordsVersion = sized(file(400ms), 10);
  Step keptSameSecond = step(Kind::kDownload, 15);
  keptSameSecond.keepLocalEdit = true;
  Step keptNewer = fetch(16);
  keptNewer.keepLocalEdit = true;
  const std::vector<Case> cases = {
      {"edited later", editedAfterDownload(5s, true, theRecordsVersion), {step(Kind::kUpload)}, true},
      {"edited within the same second", editedAfterDownload(300ms, true, theRecordsVersion), {step(Kind::kUpload)},
       true},
      {"row still waiting for the download", editedAfterDownload(5s, false, theRecordsVersion), {step(Kind::kUpload)},
       true},
      // The server moved on past what was downloaded here: a race lost.
      {"downloaded another size", editedAfterDownload(300ms, true, sized(file(), 9)), {keptSameSecond}, true},
      {"downloaded an older version", editedAfterDownload(5s, true, sized(file(-5s), 10)), {keptNewer}, true},
      {"downloaded, size unknown", editedAfterDownload(5s, true, file()), {keptNewer}, true},
  };
  check(cases, decideRecord);
}

TEST(RecordDecisionTest, DeletedOnServer) {
  auto base = with(facts("2"), [](auto& f) { f.local = file(-5s); });
  auto row = [](const char* status, const char* refId) {
    return BackupStatusAndRefId{std::string(status), std::string(refId)};
  };
  Step del{Kind::kSyncDelete, "/d/a.txt", {}, "/d/a.txt"};
  del.sessionLog = true;
  Step moveDel{Kind::kMoveThenDelete, "/e/other.txt", "/d/a.txt", "/e/other.txt"};
  moveDel.sessionLog = true;
  Step dbDelete{Kind::kQueueDbDelete, {}, {}, "/d/a.txt"};
  Step checkEmpty{Kind::kCheckEmptyFolder, "/e"};
  auto viaRefId = [&](bool backedUp, ItemState item) {
    return with(facts("2"), [&](auto& f) {
      f.refIdPath = "/e/other.txt";
      f.refIdItem = item;
      f.refIdPathBackedUp = backedUp;
    });
  };
  std::vector<Case> cases = {
      {"uploaded, no stored id", with(base, [&](auto& f) { f.backupAndRefId = row("1", ""); }), {del}, true},
      {"uploaded, same id", with(base, [&](auto& f) { f.backupAndRefId = row("1", " R 1 "); }), {del}, true},
      // "NA" is the database's "no value": the id was never learnt, so the
      // copy is not known to be another server file (it goes to the cache).
      {"uploaded, id not available", with(base, [&](auto& f) { f.backupAndRefId = row("1", "NA"); }), {del}, true},
      {"same time too", with(base, [&](auto& f) {
         f.local = file();
         f.backupAndRefId = row("1", "R1");
       }),
       {del}, true},
      {"not uploaded", with(base, [&](auto& f) { f.backupAndRefId = row("0", ""); }), {}, true},
      // Moved here locally into a folder the server then lost: only an
      // upload brings it to the other side.
      {"no row", with(base, [&](auto& f) { f.backupAndRefId = BackupStatusAndRefId{}; }),
       {step(Kind::kUpload)}, true},
      {"database not open", base, {}, true},
      {"another server file", with(base, [&](auto& f) { f.backupAndRefId = row("1", "R2"); }), {}, true},
      {"local folder", with(base, [&](auto& f) {
         f.local = folder();
         f.backupAndRefId = row("1", "");
       }),
       {}, true},
      {"folder record", facts("2", "/d/"), {}, true},
      {"missing locally", facts("2"), {dbDelete}, false},
      {"kept under another name", viaRefId(true, file(-9s)), {moveDel, dbDelete, checkEmpty}, false},
      {"other name, same time, not uploaded", viaRefId(false, file()), {moveDel, dbDelete, checkEmpty}, false},
      // Nothing taken out of a folder here: the folder stays, even empty.
      {"other name, edited, not uploaded", viaRefId(false, file(9s)), {dbDelete}, false},
      {"other name gone", viaRefId(true, ItemState{}), {dbDelete}, false},
      {"deleted here, the echo of its delete", with(viaRefId(true, ItemState{}), [](auto& f) {
         f.refIdPath = "/d/a.txt";
       }),
       {dbDelete}, false},
      {"other code", facts("7"), {}, true},
  };
  check(cases, decideRecord);
}

// The row says "in sync", but the local file is no longer the one it
// recorded: an edit the capture had not reported, or that waits for its
// upload. The server's copy never replaces it, and a server delete leaves it.
TEST(RecordDecisionTest, AnEditSinceTheLastSyncIsNeverReplaced) {
  const ItemState local = {true, false, serverTime(kTime, -5s), 10};
  const std::string localDate = syncrecord::dateText(*local.modified);
  const std::string otherDate = syncrecord::dateText(serverTime(kTime, -65s));
  struct RowCase {
    const char* name;
    std::optional<RecordedFileFacts> recorded;
    bool restored;
    bool edited;
    bool changedSinceDownload = false;
  };
  const std::vector<RowCase> rows = {
      {"row matches the file", RecordedFileFacts{localDate, "10"}, true, false},
      {"other date", RecordedFileFacts{otherDate, "10"}, true, true},
      {"other size", RecordedFileFacts{localDate, "9"}, true, true},
      {"date and size not recorded", RecordedFileFacts{"NA", "NA"}, true, false},
      {"nothing recorded", RecordedFileFacts{}, true, false},
      {"no row", std::nullopt, true, false},
      // A download under way: the row still holds the previous file's facts.
      {"download under way", RecordedFileFacts{otherDate, "9"}, false, false},
      // Edited just after a download wrote it, before the row was written:
      // the row holds the edit.
      {"changed since the download wrote it", RecordedFileFacts{localDate, "10"}, true, true, true},
  };
  for (const RowCase& row : rows) {
    SCOPED_TRACE(row.name);
    auto base = [&](const char* op) {
      return with(facts(op), [&](auto& f) {
        f.local = local;
        f.backedUp = true;
        f.restored = row.restored;
        f.recorded = row.recorded;
        f.changedSinceDownload = row.changedSinceDownload;
        f.backupAndRefId = BackupStatusAndRefId{"1", "R1"};
      });
    };
    EXPECT_EQ(editedSinceSync(base("4")), row.edited);

    Step newer = fetch(15);
    newer.keepLocalEdit = row.edited;
    // The same second with another size is a lost race, edited or not.
    Step sameSecond = step(Kind::kDownload, 15);
    sameSecond.keepLocalEdit = true;
    Step older = row.restored ? step(Kind::kUpload) : fetch(16);
    Step del{Kind::kSyncDelete, "/d/a.txt", {}, "/d/a.txt"};
    del.sessionLog = true;
    std::vector<Step> deleted;
    if (!row.edited) deleted.push_back(del);
    const std::vector<Case> cases = {
        {"server newer", base("4"), {newer}, true},
        {"same second, other size", with(base("4"), [](auto& f) { f.serverTime = *f.local.modified; f.record.size = "12"; }),
         {sameSecond}, true},
        {"server older", with(base("4"), [](auto& f) { f.serverTime = serverTime(kTime, -50s); }), {older}, true},
        {"deleted on the server", base("2"), deleted, true},
    };
    check(cases, decideRecord);
  }
  // A folder is never judged by a file's facts.
  EXPECT_FALSE(editedSinceSync(with(facts("4"), [&](auto& f) {
    f.local = folder();
    f.restored = true;
    f.recorded = RecordedFileFacts{otherDate, "9"};
  })));
}

TEST(ServerRenameDecisionTest, RenamedOnServer) {
  const std::string n = "/new/a.txt", o = "/old/a.txt";
  auto base = facts("3", n, o);
  auto make = [&](ItemState local, ItemState old, auto mod) {
    return with(base, [&](auto& f) {
      f.local = local;
      f.old = old;
      mod(f);
    });
  };
  auto none = [](auto&) {};
  auto dl = [](int marker) {
    Step s{Kind::kDownload, {}, {}, {}, marker};
    s.avoidBackup = true;
    return s;
  };
  Step renameOld{Kind::kLocalRename, o, n, o};
  Step deleteOld{Kind::kSyncDelete, o, {}, o};
  Step hideOld = deleteOld;
  hideOld.keepUnsynced = true;
  Step hideOldFolder{Kind::kSyncDelete, "/old/", {}, "/old/"};
  hideOldFolder.keepUnsynced = true;
  Step restoreAt = dl(3);
  restoreAt.kind = Kind::kRestoreAtNewPlaceOrDownload;
  Step viaRefRename{Kind::kLocalRename, "/x/a.txt", n, "/x/a.txt"};
  viaRefRename.checkParentAfter = true;
  Step viaRefMove{Kind::kMoveThenDownload, "/x/a.txt", n, {}, 2};
  viaRefMove.moveFirst = true;
  viaRefMove.avoidDelete = false;
  Step viaRefFetch{Kind::kMoveThenDownload, "/x/a.txt", n, {}, 1};
  viaRefFetch.avoidBackup = true;
  viaRefFetch.avoidDelete = false;
  // Uploaded by the database's word, so marked 2, but not moved.
  Step viaRefKept = viaRefFetch;
  viaRefKept.marker = 2;
  Step moveDl{Kind::kMoveThenDownload, o, n, {}, 8};
  moveDl.moveFirst = true;
  moveDl.avoidBackup = true;
  Step fetchBeside = moveDl;
  fetchBeside.moveFirst = false;
  Step plainDl{Kind::kDownload, {}, {}, {}, 11};
  plainDl.cacheFirst = false;
  plainDl.avoidDelete = false;
  Step refId4 = step(Kind::kRefIdUpdate, 4);
  const ItemState sized = {true, false, serverTime(kTime), 10};
  const std::string sizedDate = syncrecord::dateText(*sized.modified);
  Step keptDl4 = dl(4);
  keptDl4.keepLocalEdit = true;
  Step dbDeleteOld{Kind::kQueueDbDelete, {}, {}, o};
  Step sameSecondFetch = dl(8);
  sameSecondFetch.cacheFirst = false;
  auto refId = [](auto& f) {
    f.refIdPath = "/x/a.txt";
    f.refIdItem = file();
    f.refIdPathBackedUp = true;
  };

  std::vector<Case> cases = {
      // A: neither name here.
      {"A folder", with(facts("3", "/new/", "/old/"), none), {step(Kind::kAddServerFolder)}, false},
      {"A folder into hidden", with(facts("3", "/new/", "/old/"), [](auto& f) { f.newSideHidden = true; }), {},
       false},
      {"A into hidden", make({}, {}, [](auto& f) { f.newSideHidden = true; }), {}, false},
      {"A out of hidden", make({}, {}, [](auto& f) { f.oldSideHidden = true; }), {dl(0)}, false},
      {"A known under a third name", make({}, {}, refId), {viaRefRename}, false},
      {"A third name, server newer", make({}, {}, [&](auto& f) {
         refId(f);
         f.refIdItem = file(-3s);
       }),
       {viaRefMove}, false},
      // The row still says uploaded while the local copy was changed since:
      // fetching over it would lose the change.
      {"A third name, local newer", make({}, {}, [&](auto& f) {
         refId(f);
         f.refIdItem = file(3s);
       }),
       {viaRefKept}, false},
      {"A third name, not uploaded", make({}, {}, [&](auto& f) {
         refId(f);
         f.refIdItem = file(-3s);
         f.refIdPathBackedUp = false;
       }),
       {viaRefFetch}, false},
      {"A nowhere", make({}, {}, none), {restoreAt}, false},
      // The echo of a rename made here, the item since deleted or moved
      // here: fetching it back would undo that.
      {"A renamed here, since gone", make({}, {}, [](auto& f) { f.renamedHere = true; }), {}, false},
      // Its rows go from the former name all the same.
      {"A folder renamed here, since gone",
       with(facts("3", "/new/", "/old/"), [](auto& f) { f.renamedHere = true; }),
       {Step{Kind::kFolderRowsFollow, "/old/", "/new/"}}, false},
      // B: only the new name.
      // Its rows must not stay under the former name.
      {"B folder", with(facts("3", "/new/", "/old/"), [](auto& f) { f.local = folder(); }),
       {Step{Kind::kFolderRowsFollow, "/old/", "/new/"}}, false},
      {"B folder into hidden", with(facts("3", "/new/", "/old/"), [](auto& f) {
         f.local = folder();
         f.newSideHidden = true;
       }),
       {}, false},
      {"B same time", make(file(), {}, none), {refId4, dbDeleteOld}, false},
      {"B same time, same size", make(sized, {}, none), {refId4, dbDeleteOld}, false},
      // The move carried a write of the same second as the local file.
      {"B same time, other size, row matches", make(sized, {}, [&](auto& f) {
         f.record.size = "12";
         f.restored = true;
         f.recorded = RecordedFileFacts{sizedDate, "10"};
       }),
       {dl(4)}, false},
      {"B same time, other size, edited since", make(sized, {}, [&](auto& f) {
         f.record.size = "12";
         f.restored = true;
         f.recorded = RecordedFileFacts{syncrecord::dateText(serverTime(kTime, -65s)), "9"};
       }),
       {keptDl4}, false},
      {"B server newer", make(file(-3s), {}, none), {dl(5)}, false},
      {"B local newer, status 0", make(file(3s), {}, [](auto& f) { f.backupStatusDuringMismatch = 0; }), {},
       false},
      {"B local newer, no row", make(file(3s), {}, none), {dl(6)}, false},
      {"B local newer, uploaded, restored", make(file(3s), {}, [](auto& f) {
         f.backupStatusDuringMismatch = 1;
         f.restored = true;
       }),
       {step(Kind::kUpload)}, false},
      {"B local newer, restore directly", make(file(3s), {}, [](auto& f) {
         f.backupStatusDuringMismatch = 1;
         f.restored = f.shouldRestoreFileDirectly = true;
       }),
       {dl(7)}, false},
      // The echo of a rename made here over a file edited here since the
      // server last had it: the edit goes up at the new name, whatever the
      // row says, never fetched over.
      {"B renamed here, edited, no row", make(file(3s), {}, [](auto& f) { f.echoOfRenameHere = true; }),
       {step(Kind::kUpload), dbDeleteOld}, false},
      {"B renamed here, edited, row not uploaded", make(file(3s), {}, [](auto& f) {
         f.echoOfRenameHere = true;
         f.backupStatusDuringMismatch = 0;
       }),
       {step(Kind::kUpload), dbDeleteOld}, false},
      {"B renamed here, edited, restore directly", make(file(3s), {}, [](auto& f) {
         f.echoOfRenameHere = true;
         f.backupStatusDuringMismatch = 1;
         f.restored = f.shouldRestoreFileDirectly = true;
       }),
       {step(Kind::kUpload), dbDeleteOld}, false},
      {"B renamed here, same second, other size", make(sized, {}, [](auto& f) {
         f.echoOfRenameHere = true;
         f.record.size = "12";
       }),
       {step(Kind::kUpload), dbDeleteOld}, false},
      {"B renamed here, as moved", make(sized, {}, [](auto& f) { f.echoOfRenameHere = true; }),
       {refId4, dbDeleteOld}, false},
      {"B renamed here, server newer", make(file(-3s), {}, [](auto& f) { f.echoOfRenameHere = true; }), {dl(5)},
       false},
      {"B folder renamed here", with(facts("3", "/new/", "/old/"), [](auto& f) {
         f.local = folder();
         f.echoOfRenameHere = true;
       }),
       {Step{Kind::kFolderRowsFollow, "/old/", "/new/"}}, false},
      // C: only the former name.
      {"C folder", with(facts("3", "/new/", "/old/"), [](auto& f) { f.old = folder(); }),
       {Step{Kind::kFolderRename, "/old/", "/new/"}}, false},
      {"C folder into hidden", with(facts("3", "/new/", "/old/"), [](auto& f) {
         f.old = folder();
         f.newSideHidden = true;
       }),
       {hideOldFolder}, false},
      {"C same time", make({}, file(), none), {renameOld}, false},
      {"C same time, same size", make({}, sized, none), {renameOld}, false},
      // An edit here in the same second as the server's write before the
      // move: moved, it would be taken for the server's file.
      {"C same time, other size", make({}, sized, [](auto& f) { f.record.size = "12"; }),
       {hideOld, sameSecondFetch}, false},
      {"C case only", with(facts("3", "/d/a.txt", "/d/A.txt"), [](auto& f) { f.old = file(); }),
       {Step{Kind::kLocalRename, "/d/A.txt", "/d/a.txt", "/d/A.txt"}}, false},
      {"C server newer, uploaded", make({}, file(-4s), [](auto& f) { f.oldBackedUp = true; }), {moveDl}, false},
      {"C server newer, not uploaded", make({}, file(-4s), none), {fetchBeside}, false},
      {"C local newer, row says uploaded", make({}, file(4s), [](auto& f) { f.oldBackedUp = true; }),
       {fetchBeside}, false},
      {"C into hidden", make({}, file(), [](auto& f) { f.newSideHidden = true; }), {hideOld}, false},
      {"C out of hidden", make({}, file(), [](auto& f) { f.oldSideHidden = true; }), {dl(0)}, false},
      // D: both names.
      {"D into hidden", make(file(), file(), [](auto& f) { f.newSideHidden = true; }), {hideOld}, false},
      {"D out of hidden", make(file(), file(), [](auto& f) { f.oldSideHidden = true; }), {}, false},
      {"D folder", with(facts("3", "/new/", "/old/"), [](auto& f) {
         f.local = folder();
         f.old = folder();
       }),
       {Step{Kind::kAddDeleteFolder, "/old/"}}, false},
      {"D same name", with(facts("3", n, n), [](auto& f) { f.local = f.old = file(); }),
       {step(Kind::kRefIdUpdate, 9)}, false},
      {"D new has server time", make(file(), file(7s), none), {step(Kind::kRefIdUpdate, 10)}, false},
      {"D server newer than old", make(file(4s), file(-7s), none), {}, false},
      {"D new not uploaded", make(file(4s), file(7s), none), {}, false},
      {"D fetch new", make(file(4s), file(7s), [](auto& f) { f.backedUp = true; }), {plainDl}, false},
      // A former name unchanged since its sync is only the old name of the
      // renamed file: it goes, and the new name is judged as without it.
      {"D old as synced, new fetched", make(file(4s), file(-7s), [](auto& f) {
         f.oldBackedUp = f.oldUnchangedSinceSync = f.backedUp = true;
       }),
       {deleteOld}, false},
      {"D old as synced, new is a local edit", make(file(4s), file(7s), [](auto& f) {
         f.oldBackedUp = f.oldUnchangedSinceSync = true;
       }),
       {deleteOld}, false},
      {"D old as synced, new fetched over", make(file(4s), file(7s), [](auto& f) {
         f.oldBackedUp = f.oldUnchangedSinceSync = f.backedUp = true;
       }),
       {deleteOld, plainDl}, false},
      {"D old as synced, new has server time", make(file(), file(7s), [](auto& f) {
         f.oldBackedUp = f.oldUnchangedSinceSync = true;
       }),
       {deleteOld, step(Kind::kRefIdUpdate, 10)}, false},
      // Anything short of that keeps both copies: user content.
      {"D old changed since its sync", make(file(4s), file(7s), [](auto& f) { f.oldBackedUp = f.backedUp = true; }),
       {plainDl}, false},
      {"D old not in sync", make(file(4s), file(7s), [](auto& f) { f.oldUnchangedSinceSync = f.backedUp = true; }),
       {plainDl}, false},
      {"D same name stays", with(facts("3", n, n), [](auto& f) {
         f.local = f.old = file();
         f.oldBackedUp = f.oldUnchangedSinceSync = true;
       }),
       {step(Kind::kRefIdUpdate, 9)}, false},
      {"D case only is two files", with(facts("3", "/d/a.txt", "/d/A.txt"), [](auto& f) {
         f.local = file(4s);
         f.old = file();
         f.backedUp = true;
       }),
       {plainDl}, false},
      {"no former path", facts("3", n, ""), {}, false},
  };
  check(cases, decideServerRename);
}

}  // namespace
}  // namespace ulmora
