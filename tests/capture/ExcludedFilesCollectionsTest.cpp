#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "CaptureFakes.h"
#include "TestTempDir.h"
#include "capture/ExcludedFilesCollections.h"
#include "platform/FileUtil.h"

namespace ulmora {
namespace {

using testing::FakeInputQueue;
using testing::TestTempDir;

class FilterSets : public ::testing::Test {
 protected:
  FilterSets() {
    root = dir.sub("Sync");
    fileutil::makeDirectories(root);
    ExcludedFilesCollections::Config config;
    config.syncRoot = root;
    config.backupFileEntriesPath = dir.sub("BackupFileEntries.txt");
    config.backupFileEntriesAfterDeletePath = dir.sub("BackupFileEntriesAfterDelete.txt");
    config.inputQueue = &queue;
    collections = std::make_unique<ExcludedFilesCollections>(config);
  }
  std::string file(const std::string& relative, const std::string& text = "x") {
    return dir.writeFile("Sync" + relative, text);
  }

  TestTempDir dir;
  std::string root;
  FakeInputQueue queue;
  std::unique_ptr<ExcludedFilesCollections> collections;
};

struct ShouldDeleteCase {
  const char* recorded;  // nullptr: nothing recorded
  const char* current;
  bool expected;
};

class ShouldDeleteTable : public FilterSets, public ::testing::WithParamInterface<ShouldDeleteCase> {};

TEST_P(ShouldDeleteTable, JudgesHalfReceivedFiles) {
  const ShouldDeleteCase& c = GetParam();
  if (c.recorded) collections->addToAvoidDelete("/a.bin", c.recorded);
  EXPECT_EQ(collections->shouldDelete("/a.bin", c.current), c.expected)
      << (c.recorded ? c.recorded : "none") << " / " << c.current;
}

INSTANTIATE_TEST_SUITE_P(Sizes, ShouldDeleteTable,
                         ::testing::Values(ShouldDeleteCase{nullptr, "5", true},
                                           ShouldDeleteCase{"100", "50", true},  // partly received
                                           ShouldDeleteCase{"100", "0", true},
                                           ShouldDeleteCase{"100", "100", false},  // complete
                                           ShouldDeleteCase{"100", "150", false},
                                           ShouldDeleteCase{"100", "0100", true}));

TEST_F(FilterSets, ExpectedSizeIsFoundUnderEitherPathForm) {
  collections->addToAvoidDelete(root + "/d/a.bin", "10");
  EXPECT_FALSE(collections->shouldDelete("/d/a.bin", "10"));
  EXPECT_FALSE(collections->shouldDelete("d/a.bin/", "10"));
  collections->clearDeleteFilter();
  EXPECT_TRUE(collections->shouldDelete("/d/a.bin", "10"));
}

TEST_F(FilterSets, DownloadedFilesAreMarkedInSyncVanishedOnesDroppedRestReturned) {
  file("/downloaded.txt");
  file("/mine.txt");
  collections->addToAvoidBackup(root + "/downloaded.txt");
  collections->downloadWritten("/downloaded.txt");

  auto left = collections->filterversionRestoredFile({"/downloaded.txt", "/mine.txt", "/gone.txt"});
  ASSERT_TRUE(left);
  EXPECT_EQ(*left, std::vector<std::string>{"/mine.txt"});
  ASSERT_EQ(queue.updates.size(), 1u);
  EXPECT_EQ(queue.updates[0], (std::map<std::string, std::string>{{"/downloaded.txt", "Backup"}}));
  EXPECT_EQ(queue.deletes, std::vector<std::string>{"/gone.txt"});
  EXPECT_FALSE(collections->filterversionRestoredFile({"/gone.txt"}));
}

// A sync folder found empty (a volume not mounted) lacks every file: the
// rows of those it had queued for upload stay, so that they are fetched once
// it is back, and go as usual again afterwards.
TEST_F(FilterSets, AFolderFoundEmptyKeepsTheRowsOfVanishedUploads) {
  collections->setRootFoundEmpty(true);
  EXPECT_FALSE(collections->filterversionRestoredFile({"/was-here.txt"}));
  EXPECT_TRUE(queue.deletes.empty());
  collections->setRootFoundEmpty(false);
  EXPECT_FALSE(collections->filterversionRestoredFile({"/was-here.txt"}));
  EXPECT_EQ(queue.deletes, std::vector<std::string>{"/was-here.txt"});
}

// A name the other computer's download list could not carry never goes up
// (so the two computers agree), and the user is told once, by name.
TEST_F(FilterSets, UploadsOfNamesTheListsCannotCarryAreRefusedAndNamedOnce) {
  struct Case {
    std::string path;
    const char* named;  // the escaped name in the session log; nullptr: uploaded
  };
  const std::vector<Case> cases = {
      {"/fine \xc3\xa9t\xc3\xa9.txt", nullptr},
      {"/latin1 \xe9t\xe9.txt", "/latin1 \\xe9t\\xe9.txt"},
      {"/two\nlines.txt", "/two\\nlines.txt"},
      {"/bell\x07.txt", "/bell\\x07.txt"},
      {"/cut \xc3.txt", "/cut \\xc3.txt"},
  };
  std::vector<std::string> lines;
  ExcludedFilesCollections::Config config;
  config.syncRoot = root;
  config.inputQueue = &queue;
  ExcludedFilesCollections filter(config);
  filter.setRefusedUploadLog([&lines](const std::string& line) { lines.push_back(line); });
  std::vector<std::string> paths;
  for (const Case& c : cases) {
    ASSERT_TRUE(fileutil::writeFileAtomically(root + c.path, "x"));
    paths.push_back(c.path);
  }
  for (int cycle = 0; cycle < 3; ++cycle) {
    auto left = filter.filterversionRestoredFile(paths);
    ASSERT_TRUE(left);
    EXPECT_EQ(*left, std::vector<std::string>{cases[0].path});
  }
  std::vector<std::string> expected;
  for (const Case& c : cases) {
    if (c.named) expected.push_back(std::string("Not synced up: ") + c.named +
                                    ": its name is not UTF-8 or holds a line break or control character");
  }
  EXPECT_EQ(lines, expected);
  EXPECT_TRUE(queue.deletes.empty());
}

TEST_F(FilterSets, AnUnreadableFileIsNamedOnceAndUploadedOnceReadable) {
  const std::string path = file("/locked.txt");
  const int status = testing::exitStatusAsUnprivileged(dir.path(), [&] {
    std::vector<std::string> lines;
    ExcludedFilesCollections::Config config;
    config.syncRoot = root;
    ExcludedFilesCollections filter(config);
    filter.setRefusedUploadLog([&lines](const std::string& line) { lines.push_back(line); });
    if (::chmod(path.c_str(), 0) != 0) return 4;
    for (int cycle = 0; cycle < 3; ++cycle) {
      if (filter.filterversionRestoredFile({"/locked.txt"})) return 5;
    }
    if (lines != std::vector<std::string>{"Not synced up: /locked.txt: it cannot be read"}) return 6;
    if (::chmod(path.c_str(), 0644) != 0) return 7;
    auto left = filter.filterversionRestoredFile({"/locked.txt"});
    return left && *left == std::vector<std::string>{"/locked.txt"} && lines.size() == 1 ? 0 : 8;
  });
  EXPECT_EQ(status, 0);
}

// What an upload entry of a path a download was queued for becomes, by what
// happened to the download and the file before the upload batch.
TEST_F(FilterSets, AnUploadEntryIsTheDownloadsOwnOnlyWhenItIsTheWrittenFile) {
  enum Outcome { kLeftOut, kInSync, kUploaded, kGone };
  struct Case {
    const char* name;
    std::function<void()> before;  // after the mark, before the batch
    Outcome first;
    Outcome second;  // a later entry of the same path
    bool changedSinceDownload = false;
  };
  const std::string p = "/a.txt";
  const std::vector<Case> cases = {
      // The old copy is still there: sending it would replace the server's newer one.
      {"not written yet", [] {}, kLeftOut, kLeftOut},
      {"written", [&] { collections->downloadWritten(p); }, kInSync, kInSync},
      // Two downloads of the path in a row: the first one's entry comes
      // after the second wrote, and the second one's entry follows it.
      {"written twice, the first write's entry late", [&] {
         collections->downloadWritten(p);
         collections->addToAvoidBackup(p);
         file(p, "the server's next copy");
         collections->downloadWritten(p);
       },
       kInSync, kInSync},
      {"mode changed after it was written", [&] {
         collections->downloadWritten(p);
         ASSERT_EQ(::chmod((root + p).c_str(), 0600), 0);
       },
       kUploaded, kUploaded},
      {"edited after it was written", [&] {
         collections->downloadWritten(p);
         file(p, "an edit after the download");
       },
       kUploaded, kUploaded, true},
      {"removed after it was written", [&] {
         collections->downloadWritten(p);
         std::filesystem::remove(root + p);
       },
       kGone, kGone},
      {"the run ended without writing it", [&] {
         collections->downloadRunStarting();
         collections->releasePendingDownloads({});
       },
       kUploaded, kUploaded},
      // Queued again without a mark (by the failed run's re-query): the
      // write of the next run is the download's all the same.
      {"the run ended without writing it, the next one wrote it", [&] {
         collections->downloadRunStarting();
         collections->releasePendingDownloads({});
         collections->downloadWritten(p);
       },
       kInSync, kInSync},
      // Queued again while a run that could not write it was going: the
      // old copy must not be sent back before the next run fetches it.
      {"queued again during a run that ended without writing it", [&] {
         collections->downloadRunStarting();
         collections->addToAvoidBackup(p);
         collections->releasePendingDownloads({});
       },
       kLeftOut, kLeftOut},
      {"written, then queued again", [&] {
         collections->downloadWritten(p);
         collections->addToAvoidBackup(p);
       },
       kLeftOut, kLeftOut},
      {"the end of a run keeps written marks", [&] {
         collections->downloadWritten(p);
         collections->downloadRunStarting();
         collections->releasePendingDownloads({});
       },
       kInSync, kInSync},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(root);
    fileutil::makeDirectories(root);
    queue.updates.clear();
    queue.deletes.clear();
    collections->downloadRunStarting();
    collections->releasePendingDownloads({});
    file(p, "old copy");
    collections->addToAvoidBackup(p);
    file(p, "the server's copy");
    c.before();
    EXPECT_EQ(collections->isChangedSinceDownload(p), c.changedSinceDownload);
    for (Outcome expected : {c.first, c.second}) {
      queue.updates.clear();
      queue.deletes.clear();
      auto left = collections->filterversionRestoredFile({p});
      EXPECT_EQ(left.has_value(), expected == kUploaded);
      EXPECT_EQ(!queue.updates.empty(), expected == kInSync);
      EXPECT_EQ(!queue.deletes.empty(), expected == kGone);
    }
  }
}

// A download run ends while the downloads of later sets still wait in the
// queue: their marks stay until those runs write the files, and only the
// marks of downloads that will not come end.
TEST_F(FilterSets, TheEndOfARunEndsOnlyTheMarksOfDownloadsThatWillNotCome) {
  enum Outcome { kLeftOut, kInSync, kUploaded };
  struct Case {
    const char* name;
    bool queuedForALaterRun;  // named in the run's end as still queued
    bool writtenByTheRun;
    bool writtenLater;        // by the next run, after the first one ended
    Outcome afterTheRun;      // an upload entry of the path before the next run
    Outcome afterTheNextRun;  // and after the next run ended
  };
  const std::vector<Case> cases = {
      {"in the run's set, written", false, true, false, kInSync, kInSync},
      {"queued for the next set", true, false, true, kLeftOut, kInSync},
      // A failed or cancelled run's file, a download dropped before any run
      // took it (its folder deselected): the user's later edit must go up.
      {"never written, not queued again", false, false, false, kUploaded, kUploaded},
      {"queued for the next set, which failed too", true, false, false, kLeftOut, kUploaded},
  };
  const std::string p = "/later/f.bin";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(root);
    fileutil::makeDirectories(root + "/later");
    collections->downloadRunStarting();
    collections->releasePendingDownloads({});
    file(p, "old copy");
    collections->addToAvoidBackup(p);
    collections->downloadRunStarting();
    if (c.writtenByTheRun) {
      file(p, "the server's copy");
      collections->downloadWritten(p);
    }
    // Queue paths come in either form.
    const std::vector<std::string> queued =
        c.queuedForALaterRun ? std::vector<std::string>{"later/f.bin", "/other"} : std::vector<std::string>{"/other"};
    collections->releasePendingDownloads(queued);
    auto outcome = [&] {
      queue.updates.clear();
      auto left = collections->filterversionRestoredFile({p});
      return left ? kUploaded : !queue.updates.empty() ? kInSync : kLeftOut;
    };
    EXPECT_EQ(outcome(), c.afterTheRun);
    collections->downloadRunStarting();
    if (c.writtenLater) {
      file(p, "the server's copy, next run");
      collections->downloadWritten(p);
    }
    collections->releasePendingDownloads({});
    EXPECT_EQ(outcome(), c.afterTheNextRun);
  }
}

// A listing held back while a download ran lists the same record again and
// queues the path a second time; once the download wrote the file, that
// entry asks for nothing more. Any later queueing, edit or other size does.
TEST_F(FilterSets, AQueuedDownloadIsAnsweredOnlyByAWriteSinceItWasQueued) {
  const std::string written = "the server's copy";  // 17 bytes
  struct Case {
    const char* name;
    bool queuedAgainBeforeTheWrite;
    bool written;
    bool queuedAgainAfterTheWrite;  // a newer version listed since
    const char* editAfter;          // nullptr: the file stays as written
    bool removedAfter;
    std::optional<int64_t> entrySize;
    bool answered;
  };
  const std::vector<Case> cases = {
      {"queued, then written", false, true, false, nullptr, false, 17, true},
      {"queued twice, then written once", true, true, false, nullptr, false, 17, true},
      {"entry without a size", true, true, false, nullptr, false, std::nullopt, true},
      {"not written yet", true, false, false, nullptr, false, 17, false},
      {"queued again after the write", false, true, true, nullptr, false, 17, false},
      {"edited since the write", false, true, false, "an edit on top of it", false, 17, false},
      {"removed since the write", false, true, false, nullptr, true, 17, false},
      {"the entry names another size", true, true, false, nullptr, false, 18, false},
  };
  const std::string p = "/twice/f.bin";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(root);
    fileutil::makeDirectories(root + "/twice");
    collections->addToAvoidBackup(p);
    if (c.queuedAgainBeforeTheWrite) collections->addToAvoidBackup(p);
    if (c.written) {
      file(p, written);
      collections->downloadWritten(p, std::to_string(written.size()));
    }
    if (c.queuedAgainAfterTheWrite) collections->addToAvoidBackup(p);
    if (c.editAfter) file(p, c.editAfter);
    if (c.removedAfter) std::filesystem::remove(root + p);
    EXPECT_EQ(collections->downloadWrittenSinceQueued(p, c.entrySize), c.answered);
    EXPECT_EQ(collections->downloadWrittenSinceQueued("twice/f.bin", c.entrySize), c.answered) << "either path form";
  }
  // A file no download of this run wrote, though it is there.
  file("/other.bin", written);
  EXPECT_FALSE(collections->downloadWrittenSinceQueued("/other.bin"));
}

// A path's upload mark, the version its download left and its expected
// size are kept together, yet each ends on its own: ending one must keep
// the others.
TEST_F(FilterSets, AMarkTheVersionLeftAndTheExpectedSizeOfOnePathEndApart) {
  const std::string p = "/d/a.bin";
  const std::string written = "the server's copy";
  struct Case {
    const char* name;
    std::function<void()> end;
    bool markKept, versionKept, sizeKept;
  };
  const std::vector<Case> cases = {
      {"delete filter cleared", [&] { collections->clearDeleteFilter(); }, true, true, false},
      {"edited, the mark ends",
       [&] {
         file(p, "an edit, longer than the copy");
         ASSERT_TRUE(collections->filterversionRestoredFile({p}));
       },
       false, true, true},
      {"the row records the version",
       [&] {
         const auto left = collections->versionAheadOfRow(p, std::nullopt);
         ASSERT_TRUE(left);
         collections->versionAheadOfRow(p, std::make_pair(left->size, left->modifiedNs / 1000000000));
       },
       true, false, true},
      {"a new download of the path is queued", [&] { collections->addToAvoidBackup(p); }, false, false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(root);
    fileutil::makeDirectories(root + "/d");
    collections->addToAvoidBackup(p);
    collections->addToAvoidDelete(p, "100");
    file(p, written);
    collections->downloadWritten(p, std::to_string(written.size()));
    c.end();
    EXPECT_EQ(collections->isUntouchedDownload(p), c.markKept);
    EXPECT_EQ(collections->versionAheadOfRow(p, std::nullopt).has_value(), c.versionKept);
    EXPECT_EQ(!collections->shouldDelete(p, "100"), c.sizeKept);
    collections->clearDeleteFilter();
  }
  // A mark the end of a run drops, its download never written, leaves the
  // expected size.
  collections->addToAvoidBackup(p);
  collections->addToAvoidDelete(p, "100");
  collections->downloadRunStarting();
  EXPECT_FALSE(collections->filterversionRestoredFile({p})) << "waits for its download";
  collections->releasePendingDownloads({});
  EXPECT_TRUE(collections->filterversionRestoredFile({p})) << "the mark ended";
  EXPECT_FALSE(collections->shouldDelete(p, "100"));
}

// An upload of an edit arrives while the mark of the download under it is
// still held: the version the upload left and the file the download wrote
// are two versions, and each is answered for on its own.
TEST_F(FilterSets, TheVersionAnUploadLeftIsKeptApartFromTheFileItsDownloadWrote) {
  const std::string p = "/a.txt";
  const std::string written = "the server's copy", edit = "an edit on top, longer";
  collections->addToAvoidBackup(p);
  file(p, written);
  collections->downloadWritten(p, std::to_string(written.size()));
  file(p, edit);
  collections->uploadArrived(p, std::to_string(edit.size()));
  struct Check {
    const char* when;
    std::optional<int64_t> downloadedHere, aheadOfRow;
    bool untouched;
  };
  const auto check = [&](const Check& c) {
    SCOPED_TRACE(c.when);
    const auto seen = collections->versionDownloadedHere(p);
    EXPECT_EQ(seen ? std::optional(seen->size) : std::nullopt, c.downloadedHere);
    const auto left = collections->versionAheadOfRow(p, std::nullopt);
    EXPECT_EQ(left ? std::optional(left->size) : std::nullopt, c.aheadOfRow);
    EXPECT_EQ(collections->isUntouchedDownload(p), c.untouched);
  };
  check({"the mark held", int64_t(written.size()), int64_t(edit.size()), false});
  ASSERT_TRUE(collections->filterversionRestoredFile({p})) << "the edit goes up";
  check({"the mark ended by the edit", std::nullopt, int64_t(edit.size()), false});
  collections->addToAvoidBackup(p);
  file(p, written);
  collections->downloadWritten(p, std::to_string(written.size()));
  check({"downloaded again", int64_t(written.size()), int64_t(written.size()), true});
}

// An edit on top of a downloaded file goes up before the row records the
// download: the download stays the version seen here until that upload
// arrives or the next download of the path is queued.
TEST_F(FilterSets, TheDownloadUnderAnEditStaysTheVersionSeenUntilItsUploadArrives) {
  const std::string p = "/a.txt";
  collections->addToAvoidBackup(p);
  const std::string written = "the server's copy";
  file(p, written);
  collections->downloadWritten(p, std::to_string(written.size()));
  EXPECT_TRUE(collections->versionDownloadedHere(p)) << "written, its entry still on its way";
  file(p, "an edit on top, longer");
  ASSERT_TRUE(collections->filterversionRestoredFile({p}));
  auto seen = collections->versionDownloadedHere(p);
  ASSERT_TRUE(seen);
  EXPECT_EQ(seen->size, int64_t(written.size()));
  EXPECT_TRUE(collections->versionDownloadedHere("a.txt")) << "either path form";
  collections->uploadArrived(p, std::to_string(std::string("an edit on top, longer").size()));
  EXPECT_FALSE(collections->versionDownloadedHere(p));

  collections->addToAvoidBackup(p);
  file(p, written);
  collections->downloadWritten(p, std::to_string(written.size()));
  file(p, "another edit");
  ASSERT_TRUE(collections->filterversionRestoredFile({p}));
  ASSERT_TRUE(collections->versionDownloadedHere(p));
  collections->addToAvoidBackup(p);
  EXPECT_FALSE(collections->versionDownloadedHere(p)) << "a newer download is queued, not written yet";
}

// The user writes the downloaded file between the download's write and its
// report: what the report finds is an edit, which goes up, checked against
// the version the download wrote.
TEST_F(FilterSets, AnEditBeforeTheDownloadsReportIsNotTakenForTheDownload) {
  const std::string p = "/a.txt";
  const std::string written = "the server's copy";
  const int64_t serverTimeNs = int64_t(1796652309) * 1000000000;
  collections->addToAvoidBackup(p);
  collections->expectDownload(p, int64_t(written.size()), serverTimeNs);
  file(p, "the user's edit, written before the report");
  collections->downloadWritten(p);
  EXPECT_TRUE(collections->isChangedSinceDownload(p));
  EXPECT_TRUE(collections->filterversionRestoredFile({p})) << "the edit goes up";
  auto seen = collections->versionDownloadedHere(p);
  ASSERT_TRUE(seen);
  EXPECT_EQ(seen->size, int64_t(written.size()));
  EXPECT_EQ(seen->modifiedNs, serverTimeNs);

  // As the download wrote it: its own.
  collections->addToAvoidBackup(p);
  file(p, written);
  struct stat st {};
  ASSERT_EQ(::stat((root + p).c_str(), &st), 0);
  collections->expectDownload(p, int64_t(written.size()), int64_t(st.st_mtim.tv_sec) * 1000000000);
  collections->downloadWritten(p);
  EXPECT_FALSE(collections->isChangedSinceDownload(p));
  queue.updates.clear();
  EXPECT_FALSE(collections->filterversionRestoredFile({p}));
  EXPECT_EQ(queue.updates.size(), 1u) << "recorded in sync";

  // Fetched again without an expectation (a re-query): the next version.
  file(p, "the server's next copy, longer");
  collections->downloadWritten(p);
  EXPECT_FALSE(collections->isChangedSinceDownload(p)) << "an expectation is of one write";
}

TEST_F(FilterSets, NothingIsReportedGoneWithoutAKnownRoot) {
  collections->setSyncRootPath("");
  EXPECT_TRUE(collections->filterDeletedFolderToavoid({"/anything"}).empty());
  auto left = collections->filterversionRestoredFile({"/anything"});
  ASSERT_TRUE(left);
  EXPECT_TRUE(queue.deletes.empty());
}

TEST_F(FilterSets, OnlyItemsThatNoLongerExistAreDeleted) {
  file("/here/a.txt");
  const auto gone = collections->filterDeletedFolderToavoid({"/here", "/here/a.txt", "/away", "", "/"});
  EXPECT_EQ(gone, std::vector<std::string>{"/away"});
}

struct BackupListCase {
  const char* name;
  const char* running;  // file 113; nullptr: missing
  const char* earlier;  // file 114 before; nullptr: missing
  std::vector<std::string> deleted;
  bool touched;
  const char* after;  // file 114 after; nullptr: unchanged
};

class BackupListTable : public FilterSets, public ::testing::WithParamInterface<BackupListCase> {};

TEST_P(BackupListTable, RemainingUploadsAreKept) {
  const BackupListCase& c = GetParam();
  const std::string runningPath = dir.sub("BackupFileEntries.txt");
  const std::string afterPath = dir.sub("BackupFileEntriesAfterDelete.txt");
  if (c.running) {
    ASSERT_TRUE(fileutil::writeFileAtomically(runningPath, c.running));
  }
  if (c.earlier) {
    ASSERT_TRUE(fileutil::writeFileAtomically(afterPath, c.earlier));
  }
  EXPECT_EQ(collections->isInBackupList(c.deleted), c.touched) << c.name;
  const std::optional<std::string> after = fileutil::readFile(afterPath);
  if (c.after) {
    ASSERT_TRUE(after) << c.name;
    EXPECT_EQ(*after, c.after) << c.name;
  } else if (c.earlier) {
    EXPECT_EQ(after.value_or("<missing>"), c.earlier) << c.name;
  } else {
    EXPECT_FALSE(after) << c.name;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BackupListTable,
    ::testing::Values(
        BackupListCase{"file deleted", "/a\n/b\n/c", nullptr, {"/b"}, true, "/a\n/c"},
        BackupListCase{"folder deleted", "/d/x\n/d/y\n/e", nullptr, {"/d"}, true, "/e"},
        BackupListCase{"sibling prefix is not below", "/d2/x\n/d/x", nullptr, {"/d"}, true, "/d2/x"},
        BackupListCase{"earlier entries follow, less deleted and repeats", "/a\n/b",
                       "/z\n/b\n/a", {"/b"}, true, "/a\n/z"},
        BackupListCase{"untouched set", "/a\n/b", "/z", {"/c"}, false, nullptr},
        BackupListCase{"no running set", nullptr, nullptr, {"/a"}, false, nullptr},
        BackupListCase{"everything deleted", "/a", nullptr, {"/a"}, true, ""}));

TEST_F(FilterSets, ApplicationExclusionsAreCounted) {
  const std::string a = root + "/a";
  collections->addToExclude(a);
  collections->addToExclude(a + "/");  // one path, two overlapping moves
  collections->removeFromExclude(a);
  EXPECT_TRUE(collections->isExcludedByApplication(a));
  collections->removeFromExclude(a);
  EXPECT_FALSE(collections->isExcludedByApplication(a));
  collections->removeFromExclude(a);  // one too many does no harm
  EXPECT_FALSE(collections->isExcludedByApplication(a));
}

TEST_F(FilterSets, ExpectedRenamesAreUsedOnce) {
  collections->addToAvoidRename(RenameEntry{"/a", "b"});
  EXPECT_FALSE(collections->consumeAvoidedRename(RenameEntry{"/b", "/a"}));
  EXPECT_TRUE(collections->consumeAvoidedRename(RenameEntry{root + "/a", root + "/b"}));
  EXPECT_FALSE(collections->consumeAvoidedRename(RenameEntry{"/a", "/b"}));
  collections->addToAvoidRename(RenameEntry{"/a", "/b"});
  collections->clearRenameFilter();
  EXPECT_FALSE(collections->consumeAvoidedRename(RenameEntry{"/a", "/b"}));
}

TEST_F(FilterSets, AutoDeletesCoverTheirContentsAndAreUsedByTheirOwnDelete) {
  collections->AaddToAvoidAutoDelete("/old");
  EXPECT_TRUE(collections->consumeAutoDelete(root + "/old/inner/f"));
  EXPECT_FALSE(collections->consumeAutoDelete("/older"));
  EXPECT_TRUE(collections->consumeAutoDelete("/old"));
  EXPECT_FALSE(collections->consumeAutoDelete("/old"));  // a user's later delete is the user's
  EXPECT_FALSE(collections->consumeAutoDelete("/old/f"));
}

TEST_F(FilterSets, FolderCreationsFromEitherSet) {
  collections->setFoldersFromRestore({"/Server/A", "/Server/B/"});
  collections->addToAvoidFolderCreation(root + "/Mine");
  EXPECT_TRUE(collections->isFolderCreationAvoided(root + "/Server/B"));
  EXPECT_TRUE(collections->isFolderCreationAvoided("/Mine"));
  collections->clearFolderCreationFilter();
  EXPECT_FALSE(collections->isFolderCreationAvoided("/Mine"));
  EXPECT_TRUE(collections->isFolderCreationAvoided("/Server/A"));
}

TEST_F(FilterSets, SetsMayBeUsedFromManyThreadsAtOnce) {
  std::vector<std::jthread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 500; ++i) {
        const std::string p = "/t" + std::to_string(t) + "/" + std::to_string(i);
        collections->addToExclude(root + p);
        collections->addToAvoidBackup(p);
        collections->addTomFileInfoChangedManualyList(root + p);
        collections->isExcludedByApplication(root + p);
        collections->shouldExcludeFile(root + p);
        collections->removeFromExclude(root + p);
        if (i % 100 == 0) collections->setExclusionLists(ExclusionRules::builtInDefaults());
      }
    });
  }
  threads.clear();
  EXPECT_EQ(collections->mFileInfoChangedList().size(), 2000u);
  collections->clearFileInfoChangedList();
  EXPECT_TRUE(collections->mFileInfoChangedList().empty());
}

}  // namespace
}  // namespace ulmora
