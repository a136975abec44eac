#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "TestTempDir.h"
#include "capture/CaptureInputQueue.h"
#include "capture/ExcludedFilesCollections.h"
#include "sync/runs/SeenVersionRule.h"

namespace ulmora {
namespace {

using engineset::SeenVersion;

TEST(SeenVersionRule, OnlyARowOfASyncedFileNamesAVersionToKeep) {
  const RecordedFileFacts synced{"2026-12-07 14:05:09 +0000", "12"};
  const int64_t at = 1796652309;  // 2026-12-07 14:05:09 UTC
  const struct {
    const char* name;
    UploadRowFacts row;
    std::optional<SeenVersion> seen;
  } cases[] = {
      {"synced row with its reference id", {true, true, synced, "42"}, SeenVersion{12, at, "42"}},
      {"reference id padded with blanks", {true, true, synced, " 42 "}, SeenVersion{12, at, "42"}},
      {"row still waiting for its id", {true, true, synced, "NA"}, SeenVersion{12, at, ""}},
      {"row without an id", {true, true, synced, std::nullopt}, SeenVersion{12, at, ""}},
      {"empty file", {true, true, RecordedFileFacts{synced.modificationDate, "0"}, "7"}, SeenVersion{0, at, "7"}},
      // A new file here: its row stands for no server version, the upload
      // goes ahead over whatever the server has (as before).
      {"new local file, not uploaded", {false, true, synced, ""}, std::nullopt},
      // A download under way: its row names the server's next version but
      // still the facts of the file it replaces.
      {"download still to come", {true, false, synced, "42"}, std::nullopt},
      {"no row", {false, false, std::nullopt, std::nullopt}, std::nullopt},
      {"date not recorded", {true, true, RecordedFileFacts{"NA", "12"}, "42"}, std::nullopt},
      {"size not recorded", {true, true, RecordedFileFacts{synced.modificationDate, "NA"}, "42"}, std::nullopt},
      {"size missing", {true, true, RecordedFileFacts{synced.modificationDate, std::nullopt}, "42"}, std::nullopt},
      {"negative size", {true, true, RecordedFileFacts{synced.modificationDate, "-1"}, "42"}, std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(seenVersionForUpload(c.row), c.seen) << c.name;
}

// A file's second upload from here is dispatched while the row update of
// its first is still written behind: the row names the version before the
// first upload, yet the server holds the first upload's, which this
// computer did see.
TEST(SeenVersionRule, OwnFinishedTransfersAreTheSeenVersionUntilTheRowSaysThem) {
  constexpr int64_t kSent = 1796652309, kBefore = kSent - 60, kLater = kSent + 5;
  const SeenVersion before{3, kBefore, "7"};
  const SeenVersion sent{5, kSent, ""};
  const SeenVersion rowCaughtUp{5, kSent, "7"};
  const struct {
    const char* name;
    int localSize;  // -1: the file is gone when the report comes
    const char* reported;
    bool earlierKept;  // an earlier finish of the path was kept
    std::optional<SeenVersion> row;
    std::optional<SeenVersion> seen;
    bool keptAfter;
  } cases[] = {
      {"row update still queued", 5, "5", false, before, sent, true},
      {"row of a file new here still queued", 5, "5", false, std::nullopt, sent, true},
      {"row caught up: its id is checked too", 5, "5", false, rowCaughtUp, rowCaughtUp, false},
      // The batch read the file after a later edit: the server still holds
      // what was sent.
      {"row written with a later edit's facts", 5, "5", false, SeenVersion{8, kLater, "7"}, sent, true},
      {"changed before the report: not known", 6, "5", false, before, before, false},
      {"gone before the report", -1, "5", false, before, before, false},
      {"no usable size in the report", 5, "", false, before, before, false},
      {"a later finish that is not known drops the earlier one", 6, "5",
       true, before, before, false},
  };
  // A download's report is kept as an upload's arrival is, while no
  // listing's expectation tells the server's version otherwise.
  for (const bool download : {false, true}) {
    for (const auto& c : cases) {
      SCOPED_TRACE(download ? "download" : "upload");
      testing::TestTempDir dir;
      ExcludedFilesCollections::Config config;
      config.syncRoot = dir.sub("Sync");
      ExcludedFilesCollections transfers(config);
      auto finished = [&](const std::string& reported) {
        if (download) transfers.downloadWritten("/f", reported);
        else transfers.uploadArrived("/f", reported);
      };
      auto holds = [&] { return transfers.versionAheadOfRow("/f", std::nullopt).has_value(); };
      if (c.earlierKept) {
        dir.writeFile("Sync/f", "xx");
        finished("2");
        ASSERT_TRUE(holds());
      }
      std::remove(dir.sub("Sync/f").c_str());
      if (c.localSize >= 0) {
        std::string full = dir.writeFile("Sync/f", std::string(static_cast<size_t>(c.localSize), 'x'));
        const timespec times[2] = {{kSent, 0}, {kSent, 0}};
        ASSERT_EQ(::utimensat(AT_FDCWD, full.c_str(), times, 0), 0);
      }
      finished(c.reported);
      EXPECT_EQ(seenVersionForUpload(transfers, "/f", c.row), c.seen) << c.name;
      EXPECT_EQ(holds(), c.keptAfter) << c.name;
      EXPECT_EQ(seenVersionForUpload(transfers, "/other", before), before)
          << c.name << ": other paths read their rows";
    }
  }
}

// A file edited and renamed here goes up at its new name before any row
// follows the rename: without the former name's version the upload would
// replace whatever another computer put there, unseen.
TEST(SeenVersionRule, ARenameHandsTheFormerNamesVersionToTheNewName) {
  constexpr int64_t kAt = 1796652309;
  const SeenVersion synced{3, kAt - 60, "7"};
  const SeenVersion replaced{9, kAt - 600, "4"};  // a file the rename replaced
  enum class After { kNothing, kDownloadQueued, kUploadArrived, kRenamedOnAgain };
  const struct {
    const char* name;
    std::optional<SeenVersion> oldRow;
    bool oldUploadArrived;  // the former name's row update is still queued
    std::optional<SeenVersion> newRow;
    After after;
    std::optional<SeenVersion> seen;
  } cases[] = {
      {"no row at the new name yet", synced, false, std::nullopt, After::kNothing, synced},
      {"the former name's own upload not yet in its row", synced, true, std::nullopt, After::kNothing,
       SeenVersion{5, kAt, ""}},
      {"row of the file the rename replaced", synced, false, replaced, After::kNothing, synced},
      {"row followed the rename", synced, false, synced, After::kNothing, synced},
      {"nothing synced at the former name", std::nullopt, false, std::nullopt, After::kNothing, std::nullopt},
      {"a download of the new name is queued", synced, false, std::nullopt, After::kDownloadQueued,
       std::nullopt},
      {"an upload at the new name arrived", synced, false, std::nullopt, After::kUploadArrived,
       SeenVersion{5, kAt, ""}},
      {"renamed on again: the new name no longer holds it", synced, false, std::nullopt,
       After::kRenamedOnAgain, std::nullopt},
  };
  for (const auto& c : cases) {
    testing::TestTempDir dir;
    ExcludedFilesCollections::Config config;
    config.syncRoot = dir.sub("Sync");
    ExcludedFilesCollections transfers(config);
    auto writeSent = [&](const char* rel) {
      std::string full = dir.writeFile(std::string("Sync") + rel, "xxxxx");
      const timespec times[2] = {{kAt, 0}, {kAt, 0}};
      ASSERT_EQ(::utimensat(AT_FDCWD, full.c_str(), times, 0), 0);
    };
    if (c.oldUploadArrived) {
      writeSent("/old");
      transfers.uploadArrived("/old", "5");
    }
    handSeenVersionOn(transfers, "/old", "/new", seenVersionForUpload(transfers, "/old", c.oldRow));
    switch (c.after) {
      case After::kNothing: break;
      case After::kDownloadQueued: transfers.addToAvoidBackup("/new"); break;
      case After::kUploadArrived:
        writeSent("/new");
        transfers.uploadArrived("/new", "5");
        break;
      case After::kRenamedOnAgain: handSeenVersionOn(transfers, "/new", "/third", std::nullopt); break;
    }
    // The listing tells the echo of the rename by it until the file is sent or fetched.
    EXPECT_EQ(transfers.isRenamedHereTo("/new"), c.after == After::kNothing && c.oldRow.has_value()) << c.name;
    EXPECT_EQ(seenVersionForUpload(transfers, "/new", c.newRow), c.seen) << c.name;
    // Once the row says it, the row is read from then on.
    EXPECT_EQ(seenVersionForUpload(transfers, "/new", SeenVersion{c.seen ? c.seen->size : 1,
                                                                  c.seen ? c.seen->mtimeSeconds : 1, "8"}),
              (SeenVersion{c.seen ? c.seen->size : 1, c.seen ? c.seen->mtimeSeconds : 1, "8"}))
        << c.name;
    EXPECT_EQ(seenVersionForUpload(transfers, "/new", std::nullopt), std::nullopt) << c.name << ": not held after";
  }
}

// The row of a file gone here is dropped before the user's delete of it goes
// out: an edit's upload entry that finds the file gone, or an item of a run
// that failed. The delete must still carry the version last synced here, or
// the service trashes a newer one another computer wrote and this one never
// saw, and the other computer then removes its copy of it too.
TEST(SeenVersionRule, ADeleteAfterTheRowWentWithItsFileCarriesTheVersionSeenHere) {
  constexpr int64_t kAt = 1796652309;
  const SeenVersion synced{3, kAt - 60, "7"};
  enum class Drop { kUploadEntryFindsItGone, kRunItemFailed };
  enum class After { kNothing, kDownloadQueued, kRowRecordsItAgain };
  const struct {
    const char* name;
    std::optional<SeenVersion> row;  // before it goes
    bool downloadedHere;             // this session, the row caught up since
    bool ownUploadAhead;             // an upload arrived, its row still queued
    bool fileStillThere;
    Drop drop;
    After after;
    std::optional<SeenVersion> seen;
  } cases[] = {
      {"edited, then deleted before its upload went", synced, false, false, false, Drop::kUploadEntryFindsItGone,
       After::kNothing, synced},
      {"the edit's upload failed: the file was deleted meanwhile", synced, false, false, false, Drop::kRunItemFailed,
       After::kNothing, synced},
      {"downloaded here, then edited and deleted", synced, true, false, false, Drop::kRunItemFailed, After::kNothing,
       synced},
      {"an own upload not yet in the row", synced, false, true, false, Drop::kUploadEntryFindsItGone, After::kNothing,
       SeenVersion{5, kAt, ""}},
      {"new here: its row names no version", std::nullopt, false, false, false, Drop::kUploadEntryFindsItGone,
       After::kNothing, std::nullopt},
      {"still there: the filter drops no row", synced, false, false, true, Drop::kUploadEntryFindsItGone,
       After::kNothing, std::nullopt},
      {"a download of the path queued since", synced, false, false, false, Drop::kRunItemFailed,
       After::kDownloadQueued, std::nullopt},
  };
  struct Rows final : CaptureInputQueue {
    std::vector<std::string> dropped;
    void addFileToUpdate(const std::map<std::string, std::string>&) override {}
    void addFileToDelete(const std::string& path) override { dropped.push_back(path); }
  };
  for (const auto& c : cases) {
    testing::TestTempDir dir;
    Rows rows;
    ExcludedFilesCollections::Config config;
    config.syncRoot = dir.sub("Sync");
    config.inputQueue = &rows;
    ExcludedFilesCollections transfers(config);
    auto writeFile = [&](const std::string& text, int64_t at) {
      std::string full = dir.writeFile("Sync/f", text);
      const timespec times[2] = {{at, 0}, {at, 0}};
      ASSERT_EQ(::utimensat(AT_FDCWD, full.c_str(), times, 0), 0);
    };
    if (c.downloadedHere) {
      writeFile("abc", synced.mtimeSeconds);
      transfers.addToAvoidBackup("/f");
      transfers.downloadWritten("/f", "3");
      // The edit's upload is dispatched once the row records the download.
      ASSERT_EQ(seenVersionForUpload(transfers, "/f", c.row), c.row) << c.name;
    }
    if (c.ownUploadAhead) {
      writeFile("xxxxx", kAt);
      transfers.uploadArrived("/f", "5");
    }
    if (c.fileStillThere) {
      writeFile("edited", kAt + 9);
    } else {
      std::remove(dir.sub("Sync/f").c_str());
    }
    const std::optional<SeenVersion> rowNow = seenVersionForUpload(transfers, "/f", c.row);
    if (c.drop == Drop::kUploadEntryFindsItGone) {
      transfers.filterversionRestoredFile({"/f"}, [&](const std::string& path) {
        EXPECT_EQ(path, "/f") << c.name;
        std::optional<ExcludedFilesCollections::SeenAtRename> kept;
        if (rowNow) kept = ExcludedFilesCollections::SeenAtRename{rowNow->size, rowNow->mtimeSeconds, rowNow->refId};
        return kept;
      });
      EXPECT_EQ(rows.dropped.size(), c.fileStillThere ? 0u : 1u) << c.name;
    } else {
      keepSeenVersionOfGoneFile(transfers, "/f", rowNow);
    }
    if (c.after == After::kDownloadQueued) transfers.addToAvoidBackup("/f");
    EXPECT_EQ(seenVersionForUpload(transfers, "/f", std::nullopt), c.seen) << c.name;
    // A row that records the version again says it from then on.
    if (c.seen) {
      EXPECT_EQ(seenVersionForUpload(transfers, "/f", c.seen), c.seen) << c.name;
      EXPECT_EQ(seenVersionForUpload(transfers, "/f", std::nullopt), std::nullopt) << c.name << ": not held after";
    }
  }
}

TEST(SeenVersionRule, RecordedDatesReadOnlyInTheDatabaseForm) {
  const struct {
    const char* text;
    std::optional<int64_t> seconds;
  } cases[] = {
      {"1970-01-01 00:00:00 +0000", 0},
      {"2026-12-07 14:05:09 +0000", 1796652309},
      {"2024-02-29 23:59:59 +0000", 1709251199},
      {"2026-12-07 14:05:09 +0100", std::nullopt},
      {"2026-12-07T14:05:09 +0000", std::nullopt},
      {"2026-13-07 14:05:09 +0000", std::nullopt},
      {"2026-12-07 24:05:09 +0000", std::nullopt},
      {"2026-12-07 14:05:09", std::nullopt},
      {"NA", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(recordedDateSeconds(c.text), c.seconds) << c.text;
}

TEST(SeenVersionRule, TheRefusalIsToldFromOtherItemFailures) {
  EXPECT_TRUE(isNewerVersionRefusal("SFERROR: version check failed. Reason: Stale file handle"));
  EXPECT_FALSE(isNewerVersionRefusal("SFERROR: store failed. Reason: Stale file handle"));
  EXPECT_FALSE(isNewerVersionRefusal("SFERROR: download failed. Reason: No such file or directory"));
  EXPECT_FALSE(isNewerVersionRefusal(""));
}

}  // namespace
}  // namespace ulmora
