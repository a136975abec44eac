#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "JournalTestSupport.h"
#include "journal/JournalReader.h"
#include "journal/JournalWriter.h"

#include <functional>
#include <ostream>

namespace ulmora::testing {
namespace {

using journal::kDownloadFolder;
using journal::kEventFolder;
using journal::kServerChangeFolder;
using journal::kUploadFolder;

std::vector<std::string> strings(const PropertyList& array) {
  std::vector<std::string> out;
  for (const auto& v : *array.asArray()) out.push_back(*v.asString());
  return out;
}

class SyncInputQueueTest : public ::testing::Test {
 protected:
  QueueFixture<> f_;
  UMSDBSyncInputManger& q_ = f_.queue();
};

TEST_F(SyncInputQueueTest, UploadProducerAndWriterFilters) {
  f_.makeFile("/private/notes.txt");
  f_.makeFile("/dir/kept.txt");
  fileutil::makeDirectories(f_.full("/a folder"));
  ASSERT_EQ(::symlink(f_.full("/dir/kept.txt").c_str(), f_.full("/link").c_str()), 0);
  ASSERT_EQ(::symlink("nowhere", f_.full("/dangling").c_str()), 0);
  ASSERT_EQ(::mkfifo(f_.full("/fifo").c_str(), 0600), 0);
  struct Case {
    std::string path;
    std::optional<std::string> entry;  // what the upload list holds, if anything
  };
  const std::vector<Case> cases = {
      {f_.full("/dir/kept.txt"), "/dir/kept.txt"},
      {f_.full("/gone.txt"), "/gone.txt"},  // vanished since: still listed
      {f_.full("/a folder"), std::nullopt},  // folders are not upload entries
      {"/private/var/tmp/x", std::nullopt},  // system temporary path
      {"/private/notes.txt", "/private/notes.txt"},  // relative entry of the root
      {"/rel.txt", "/rel.txt"},
      {f_.full("/link"), std::nullopt},  // the engine uploads files and folders only
      {f_.full("/dangling"), std::nullopt},
      {f_.full("/fifo"), std::nullopt},
      {f_.root(), std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& c : cases) q_.addBackupFiles(c.path);
  q_.runWriterPass();
  std::vector<std::string> expected;
  for (const auto& c : cases)
    if (c.entry) expected.push_back(*c.entry);
  auto read = strings(q_.readFileFor("1"));
  EXPECT_EQ(read, expected);
}

TEST_F(SyncInputQueueTest, TheRootOnWholeComponentsDecidesPrivatePaths) {
  // A sync root that itself lives under /private keeps its own paths.
  FakeHost host("/private/h/Sync");
  q_.setSyncInputHost(&host);
  q_.addBackupFiles("/private/h/Sync/a.txt");
  q_.addBackupFiles("/private/h/Sync2/b.txt");
  q_.runWriterPass();
  EXPECT_EQ(strings(q_.readFileFor("1")), (std::vector<std::string>{"/a.txt"}));
  q_.setSyncInputHost(&f_.host());
}

TEST_F(SyncInputQueueTest, FiveProducersOfOnePathGiveOneEntryInOneList) {
  std::vector<std::thread> producers;
  for (int i = 0; i < 5; ++i)
    producers.emplace_back([this] { q_.addBackupFiles(f_.full("/same.txt")); });
  for (auto& t : producers) t.join();
  q_.runWriterPass();
  EXPECT_EQ(f_.published(kUploadFolder).size(), 1u);
  EXPECT_EQ(strings(q_.readFileFor("1")), (std::vector<std::string>{"/same.txt"}));
}

TEST_F(SyncInputQueueTest, DeleteProducerCutsTheRootOnWholeComponents) {
  q_.addDeleteFiles(f_.root());
  q_.addDeleteFiles(f_.root() + "/");
  q_.addDeleteFiles(f_.full("/x.txt"));
  q_.addDeleteFiles(f_.root() + "2/y.txt");  // a sibling folder, not the root
  q_.runWriterPass();
  auto set = q_.parseEventsToGetEventSets();
  ASSERT_TRUE(set);
  EXPECT_EQ(strings(*set->find("delete")),
            (std::vector<std::string>{"/x.txt", f_.root() + "2/y.txt"}));
}

TEST_F(SyncInputQueueTest, DeletesWaitForTheSyncRoot) {
  // Queued while the root is unknown, as the full paths they are.
  f_.host().setRoot("");
  q_.addDeleteFiles(f_.full("/a.txt"));
  q_.addDeleteFiles("/b.txt");
  q_.runWriterPass();
  EXPECT_TRUE(f_.published(kEventFolder).empty());
  EXPECT_EQ(q_.CheckForDeleteFiles().size(), 0u);

  f_.host().setRoot(f_.root());
  q_.addDeleteFiles(f_.root());  // the root itself, now known: dropped
  q_.runWriterPass();
  auto set = q_.parseEventsToGetEventSets();
  ASSERT_TRUE(set);
  EXPECT_EQ(strings(*set->find("delete")), (std::vector<std::string>{"/a.txt", "/b.txt"}));
}

TEST_F(SyncInputQueueTest, ReadersHonourTheHoldBackFlags) {
  q_.addBackupFiles(f_.full("/a.txt"));
  q_.runWriterPass();
  q_.setShouldReturnBackupEntries(false);
  EXPECT_TRUE(q_.readFileFor("1").asArray()->empty());
  EXPECT_EQ(f_.published(kUploadFolder).size(), 1u);  // left in place
  q_.setShouldReturnBackupEntries(true);
  EXPECT_EQ(strings(q_.readFileFor("1")), (std::vector<std::string>{"/a.txt"}));
  EXPECT_TRUE(q_.readFileFor("42").asArray()->empty());
}

TEST_F(SyncInputQueueTest, DownloadListsMergeKeysOnRead) {
  q_.addRestoreFiles({{"/a", "1"}, {"/b", "2"}});
  q_.runWriterPass();
  q_.addRestoreFiles({{"/a", "3"}});
  q_.runWriterPass();
  EXPECT_EQ(f_.published(kDownloadFolder).size(), 2u);
  PropertyList read = q_.readFileFor("4");
  ASSERT_TRUE(read.isDict());
  EXPECT_EQ(read.asDict()->size(), 2u);
  EXPECT_EQ(*read.find("/a"), PropertyList("3"));
}

TEST_F(SyncInputQueueTest, ServerChangeMarkers) {
  for (int i = 0; i < 3; ++i) q_.addNotificationFilesInfo();
  q_.runWriterPass();
  ASSERT_EQ(f_.published(kServerChangeFolder).size(), 1u);

  // Suppressed while the marker waits: the request is dropped, not deferred.
  q_.addNotificationFilesInfo();
  q_.runWriterPass();
  EXPECT_EQ(f_.published(kServerChangeFolder).size(), 1u);
  auto markers = q_.readFileFor("5");
  ASSERT_EQ(markers.asArray()->size(), 1u);
  EXPECT_EQ(markers.asArray()->at(0).asData()->bytes, "1");
  q_.runWriterPass();
  EXPECT_TRUE(f_.published(kServerChangeFolder).empty());

  // A consumed marker does not hide a new change.
  q_.addNotificationFilesInfo();
  q_.runWriterPass();
  EXPECT_EQ(f_.published(kServerChangeFolder).size(), 1u);
}

TEST_F(SyncInputQueueTest, ConsumedFilesAreDeletedAndFoldersCleared) {
  q_.addBackupFiles(f_.full("/a"));
  q_.addRestoreFiles({{"/b", "1"}});
  q_.runWriterPass();
  q_.readFileFor("1");
  EXPECT_TRUE(q_.doesIPFileAvailableFor("1"));  // consumed files count here
  EXPECT_FALSE(q_.CheckIfBackupFilesPendingBool());
  q_.deleteFileFor("1", true);
  EXPECT_FALSE(q_.doesIPFileAvailableFor("1"));

  q_.addDeleteFiles(f_.full("/c"));
  q_.addBackupFiles(f_.full("/d"));
  q_.addNotificationFilesInfo();
  q_.clearSyncFiles();
  q_.runWriterPass();
  for (int index : {kUploadFolder, kEventFolder, kDownloadFolder, kServerChangeFolder})
    EXPECT_TRUE(f_.folder(index).names().empty()) << index;
  EXPECT_FALSE(q_.isAnyDownloadPending());
}

TEST(AccountSwitchTest, WorkLeftByOneAccountIsNeverWrittenForAnother) {
  QueueFixture<> f;
  UMSDBSyncInputManger& q = f.queue();
  f.switchAccount("alice");
  q.setFolderPaths();
  // Alice's event folder cannot be written (a file where it should be) and
  // her database batches cannot be opened: her last passes leave work queued.
  const std::string aliceEvents = f.appFile(kEventFolder);
  ASSERT_TRUE(fileutil::removeAll(aliceEvents));
  ASSERT_TRUE(fileutil::writeFileAtomically(aliceEvents, ""));
  q.addDeleteFiles(f.full("/alice-only.txt"));
  q.addRenamedFiles({"/a-old", "/a-new"});
  f.makeFile("/alice-done.txt");
  q.addFileToUpdate({{"/alice-done.txt", "Backup"}});
  f.batches().failOpen = 1;
  q.runWriterPass();
  ASSERT_TRUE(f.batches().publishedRows().empty());

  f.switchAccount("bob");
  q.setFolderPaths();
  q.addDeleteFiles(f.full("/bob.txt"));
  q.runWriterPass();
  std::vector<std::string> bobEntries;
  for (const auto& name : f.published(kEventFolder)) {
    auto text = f.folder(kEventFolder).read(name);
    bobEntries.push_back(text.value_or("?"));
  }
  EXPECT_EQ(bobEntries, std::vector<std::string>{"/bob.txt"});
  for (const auto& row : f.batches().publishedRows())
    EXPECT_NE(row.values.front(), "/alice-done.txt");

  // Alice again, her folder writable: her work is written to her journals.
  f.switchAccount("alice");
  ASSERT_TRUE(fileutil::removeAll(aliceEvents));
  q.setFolderPaths();
  q.runWriterPass();
  auto set = q.parseEventsToGetEventSets();
  ASSERT_TRUE(set.has_value());
  EXPECT_NE(set->asDict()->find("delete"), set->asDict()->end());
  bool updated = false;
  for (const auto& row : f.batches().publishedRows()) updated |= row.values.front() == "/alice-done.txt";
  EXPECT_TRUE(updated);
  EXPECT_TRUE(q.CheckIfAnyRenameDeleteOrCreateDirOccured());  // the rename list follows
}

TEST(UploadCountFilesTest, CleaningTheUploadsTakesTheCountsOfListsThatAreGone) {
  // Stamps as one writer draws them: each count just after its list.
  const std::string list1 = "2026-03-01 10-00-00-001", count1 = "2026-03-01 10-00-00-002",
                    list2 = "2026-03-01 10-00-00-003", count2 = "2026-03-01 10-00-00-004";
  struct Case {
    const char* what;
    std::vector<std::string> uploads;  // names in the upload folder
    bool onlyConsumed;
    std::vector<std::string> countsLeft;
  };
  const std::vector<Case> cases = {
      {"nothing read yet", {list1 + "_1", list2 + "_1"}, true, {count1, count2}},
      {"the older list read", {list1 + "_1.delete", list2 + "_1"}, true, {count2}},
      {"only the newer list read", {list1 + "_1", list2 + "_1.delete"}, true, {count1, count2}},
      {"both read", {list1 + "_1.delete", list2 + "_1.delete"}, true, {}},
      {"a list of the queue's own keeps later counts", {list2 + "_backup"}, true, {count2}},
      {"no list at all", {}, true, {}},
      {"the uploads cleared", {list1 + "_1", list2 + "_1"}, false, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    QueueFixture<> f;
    JournalFolder counts = f.folder(journal::kUploadCountFolder);
    ASSERT_TRUE(counts.ensureExists());
    for (const auto& name : {count1, count2}) fileutil::writeFileAtomically(counts.pathFor(name), "1");
    fileutil::writeFileAtomically(counts.pathFor(".DS_Store"), "");
    for (const auto& name : c.uploads) fileutil::writeFileAtomically(f.folder(kUploadFolder).pathFor(name), "/x");
    f.queue().deleteFileFor("1", c.onlyConsumed);
    std::vector<std::string> left;
    for (const auto& name : counts.names()) {
      if (journal::hasStampPrefix(name)) left.push_back(name);
    }
    EXPECT_EQ(left, c.countsLeft);
    // Only the counts follow the uploads; an unstamped name is not a count.
    EXPECT_EQ(fileutil::exists(counts.pathFor(".DS_Store")), c.onlyConsumed);
  }
}

class PendingDownloadTest : public SyncInputQueueTest {};

TEST_F(PendingDownloadTest, SeenInTheQueueWhileBeingWrittenAndInTheFolder) {
  q_.addRestoreFiles({{"/q", "5"}});
  EXPECT_TRUE(q_.CheckForRestoreFilesInMemory());
  EXPECT_EQ(q_.CheckifAnyRestoreFilesPending(), (std::vector<std::string>{"/q"}));
  EXPECT_EQ(q_.restoreFileCollection(), 1u);

  // In the middle of writing the list (the writer's first pause), the entry
  // has left the queue but is answered from the set being written.
  bool looked = false;
  f_.clock().onSleep = [&] {
    if (looked || q_.restoreSetWhichWritingToFile() == 0) return;
    looked = true;
    EXPECT_EQ(q_.restoreFileCollection(), 0u);
    EXPECT_TRUE(q_.isAnyDownloadPending());
    EXPECT_EQ(q_.CheckifAnyRestoreFilesPending(), (std::vector<std::string>{"/q"}));
  };
  q_.runWriterPass();
  f_.clock().onSleep = nullptr;
  EXPECT_TRUE(looked);
  EXPECT_EQ(q_.restoreSetWhichWritingToFile(), 0u);
  EXPECT_FALSE(q_.CheckForRestoreFilesInMemory());
  EXPECT_TRUE(q_.CheckForRestoreFiles());
  EXPECT_EQ(q_.CheckifAnyRestoreFilesPending(), (std::vector<std::string>{"/q"}));

  q_.readFileFor("4");
  EXPECT_FALSE(q_.isAnyDownloadPending());
  EXPECT_TRUE(q_.CheckifAnyRestoreFilesPending().empty());
}

TEST_F(PendingDownloadTest, CacheFollowsTheChangeCounterNotTheModificationTime) {
  q_.addRestoreFiles({{"/one", "1"}});
  q_.runWriterPass();
  EXPECT_EQ(q_.CheckifAnyRestoreFilesPending(), (std::vector<std::string>{"/one"}));

  // A second list lands within the same folder-time tick, written by another
  // writer of the folder.
  JournalWriter other(f_.stamps(), f_.clock());
  other.writeDownloadLists(f_.folder(kDownloadFolder), {{"/two", "2"}});
  EXPECT_EQ(q_.CheckifAnyRestoreFilesPending(), (std::vector<std::string>{"/one", "/two"}));

  // A cached answer is served without reading: a file changed behind the
  // folder helpers' back is only seen after ClearRestorePendingSet.
  auto names = f_.published(kDownloadFolder);
  fileutil::writeFileAtomically(f_.folder(kDownloadFolder).pathFor(names[0]),
                                PropertyList(PropertyList::Dict{{"/three", PropertyList("3")}}).toXml());
  EXPECT_EQ(q_.CheckifAnyRestoreFilesPending(), (std::vector<std::string>{"/one", "/two"}));
  q_.ClearRestorePendingSet();
  EXPECT_EQ(q_.CheckifAnyRestoreFilesPending(), (std::vector<std::string>{"/three", "/two"}));
}

TEST_F(PendingDownloadTest, AFailedWriteKeepsEntriesPending) {
  fileutil::removeAll(f_.appFile(kDownloadFolder));
  q_.addRestoreFiles({{"/kept", "1"}});
  q_.runWriterPass();
  EXPECT_EQ(q_.restoreFileCollection(), 1u);
  EXPECT_TRUE(q_.isAnyDownloadPending());
  q_.setFolderPaths();
  q_.runWriterPass();
  EXPECT_EQ(q_.restoreFileCollection(), 0u);
  PropertyList read = q_.readFileFor("4");
  ASSERT_TRUE(read.isDict());
  EXPECT_EQ(read.asDict()->size(), 1u);
  EXPECT_TRUE(read.find("/kept"));
}

TEST(PendingRestoreLimitTest, PendingRestoreFilesStopsAboveTenThousand) {
  struct Case {
    std::size_t paths;
    std::size_t answered;  // entries of the answer
    bool tooMany;
  };
  for (const Case& c : {Case{1, 1, false}, Case{10000, 10000, false}, Case{10001, 0, true}}) {
    SCOPED_TRACE(c.paths);
    QueueFixture<> f;
    UMSDBSyncInputManger& q = f.queue();
    EXPECT_FALSE(q.PendingRestoreFiles());  // the folder lists nothing
    std::map<std::string, std::string> many;
    for (std::size_t i = 0; i < c.paths; ++i) many["/f" + std::to_string(i)] = "1";
    // Over two lists, so the limit counts merged paths, not files.
    auto half = std::next(many.begin(), static_cast<std::ptrdiff_t>(c.paths / 2));
    q.addRestoreFiles({many.begin(), half});
    q.runWriterPass();
    q.addRestoreFiles({half, many.end()});
    q.runWriterPass();
    auto answer = q.PendingRestoreFiles();
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->size(), c.answered);
    EXPECT_EQ(q.IsMoreThanTenThousandRestore(), c.tooMany);
  }
}

// What each of the six pending checks answers.
struct Pending {
  std::vector<std::string> deletes;  // CheckForDeleteFiles
  std::size_t renames = 0;           // CheckForRenameFilesPending
  std::vector<std::string> uploads;  // CheckifBackupFilesPending
  std::vector<std::string> downloads;  // CheckifRestoreFilesPending
  bool anyEvent = false;             // CheckIfAnyRenameDeleteOrCreateDirOccured
  bool createDir = false;            // CheckForCreateDirFilesPending
  bool operator==(const Pending&) const = default;
};

void PrintTo(const Pending& p, std::ostream* os) {
  *os << "{deletes " << p.deletes.size() << ", renames " << p.renames << ", uploads "
      << p.uploads.size() << ", downloads " << p.downloads.size() << ", anyEvent " << p.anyEvent
      << ", createDir " << p.createDir << "}";
}

Pending pendingOf(UMSDBSyncInputManger& q) {
  return {q.CheckForDeleteFiles(),       q.CheckForRenameFilesPending().size(),
          q.CheckifBackupFilesPending(), q.CheckifRestoreFilesPending(),
          q.CheckIfAnyRenameDeleteOrCreateDirOccured(), q.CheckForCreateDirFilesPending()};
}

TEST(PendingChecksTest, EachCheckSeesItsOwnJournal) {
  using Q = UMSDBSyncInputManger;
  struct Case {
    const char* name;
    std::function<void(QueueFixture<>&, Q&)> make;
    Pending expected;
  };
  const Case cases[] = {
      {"nothing", [](QueueFixture<>&, Q&) {}, {}},
      {"a delete list",
       [](QueueFixture<>& f, Q& q) {
         q.addDeleteFiles(f.full("/d"));
         q.runWriterPass();
       },
       {{"/d"}, 0, {}, {}, true, false}},
      {"a rename list",
       [](QueueFixture<>&, Q& q) {
         q.addRenamedFiles({"/r1", "/r2"});
         q.runWriterPass();
       },
       {{}, 1, {}, {}, true, false}},
      {"an upload list",
       [](QueueFixture<>& f, Q& q) {
         q.addBackupFiles(f.makeFile("/u"));
         q.runWriterPass();
       },
       {{}, 0, {"/u"}, {}, false, false}},
      {"a queued download", [](QueueFixture<>&, Q& q) { q.addRestoreFiles({{"/q", "1"}}); },
       {{}, 0, {}, {"/q"}, false, false}},
      {"a download list",
       [](QueueFixture<>&, Q& q) {
         q.addRestoreFiles({{"/w", "1"}});
         q.runWriterPass();
       },
       {{}, 0, {}, {"/w"}, false, false}},
      {"a folder-creation event",
       [](QueueFixture<>& f, Q&) {
         JournalWriter(f.stamps(), f.clock())
             .writeTextList(f.folder(kEventFolder), {"/new"}, journal::kCreateFolderSuffix);
       },
       {{}, 0, {}, {}, true, true}},
      {"folder creations of the input queue's own list",
       [](QueueFixture<>&, Q& q) {
         q.addDirectory("/own");
         q.runWriterPass();
       },
       {}},
      {"a delete list already taken",
       [](QueueFixture<>& f, Q& q) {
         q.addDeleteFiles(f.full("/d"));
         q.runWriterPass();
         q.parseEventsToGetEventSets();
       },
       {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    QueueFixture<> f;
    c.make(f, f.queue());
    EXPECT_EQ(pendingOf(f.queue()), c.expected);
  }
}

TEST(PendingChecksTest, ClearForSelectiveSyncDropsUploadsAndDownloadsOnly) {
  QueueFixture<> f;
  UMSDBSyncInputManger& q = f.queue();
  q.addBackupFiles(f.makeFile("/written"));
  q.addRestoreFiles({{"/written-dl", "1"}});
  q.addDeleteFiles(f.full("/d"));
  q.addRenamedFiles({"/r1", "/r2"});
  q.addDirectory("/folder");
  q.addNotificationFilesInfo();
  q.runWriterPass();
  q.addBackupFiles(f.makeFile("/queued"));
  q.addRestoreFiles({{"/queued-dl", "1"}});

  q.clearForSelectiveSync();
  EXPECT_EQ(pendingOf(q), (Pending{{"/d"}, 1, {}, {}, true, false}));
  EXPECT_FALSE(q.CheckForRestoreFilesInMemory());
  q.runWriterPass();
  EXPECT_TRUE(f.published(kUploadFolder).empty());
  EXPECT_TRUE(f.published(kDownloadFolder).empty());
  EXPECT_EQ(f.published(kServerChangeFolder).size(), 1u);
  EXPECT_EQ(strings(q.readFileFor("6")), std::vector<std::string>{"/folder"});
}

TEST(PendingChecksTest, ADeleteRunOfMoreThanAThousandIsPublishedWhole) {
  QueueFixture<> f;
  UMSDBSyncInputManger& q = f.queue();
  std::vector<std::string> expected;
  for (int i = 0; i < 2500; ++i) {
    expected.push_back("/gone/" + std::to_string(2500 - i));
    q.addDeleteFiles(f.full(expected.back()));
  }
  q.runWriterPass();
  EXPECT_EQ(f.published(kEventFolder).size(), 3u);
  std::vector<std::string> deleted;
  while (auto set = q.parseEventsToGetEventSets()) {
    for (const auto& p : strings(*set->find("delete"))) deleted.push_back(p);
  }
  EXPECT_EQ(deleted, expected);
}

}  // namespace
}  // namespace ulmora::testing
