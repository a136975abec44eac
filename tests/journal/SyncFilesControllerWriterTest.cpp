#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include "SyncFilesControllerTestSupport.h"

namespace ulmora::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;
using ::testing::UnorderedElementsAre;

class SyncFilesControllerWriterTest : public ::testing::Test {
 protected:
  SfcFixture<> f_;
  SyncFilesController& sfc_ = f_.sfc();
};

TEST_F(SyncFilesControllerWriterTest, UploadListsAreNumberedChunksWithOneCountFile) {
  struct Case {
    std::size_t entries;
    std::vector<std::size_t> chunkSizes;
  };
  for (const Case& c : {Case{999, {999}}, Case{1000, {1000}}, Case{2500, {1000, 1000, 500}}}) {
    SCOPED_TRACE(c.entries);
    sfc_.deleteFileFor("1", false);
    sfc_.deleteOBFileFor("7", false);
    std::vector<std::string> expected;
    for (std::size_t i = 0; i < c.entries; ++i) {
      expected.push_back("/n" + std::to_string(c.entries) + "/f" + std::to_string(i));
      f_.makeFile(expected.back());
    }
    std::vector<std::string> queued;
    for (const auto& rel : expected) queued.push_back(f_.full(rel));
    sfc_.addBackupFiles(queued);
    sfc_.timerFireMethod();

    auto names = f_.published(journal::kUploadFolder);
    ASSERT_EQ(names.size(), c.chunkSizes.size());
    std::vector<std::string> readBack;
    for (std::size_t k = 0; k < names.size(); ++k) {
      EXPECT_EQ(names[k].substr(journal::kStampLength), "_" + std::to_string(k + 1));
      EXPECT_EQ(names[k].substr(0, journal::kStampLength),
                names[0].substr(0, journal::kStampLength));
      auto chunk = f_.lines(journal::kUploadFolder, names[k]);
      EXPECT_EQ(chunk.size(), c.chunkSizes[k]);
      readBack.insert(readBack.end(), chunk.begin(), chunk.end());
    }
    EXPECT_EQ(readBack, expected);
    auto counts = f_.published(journal::kUploadCountFolder);
    ASSERT_EQ(counts.size(), 1u);
    EXPECT_EQ(f_.contents(journal::kUploadCountFolder, counts[0]), std::to_string(c.entries));
  }
}

TEST_F(SyncFilesControllerWriterTest, UploadFilterKeepsOnlyWhatCanBeUploaded) {
  f_.makeFile("/docs/a/file.txt");
  fileutil::makeDirectories(f_.full("/empty"));
  f_.makeFile("/full/inner.txt");
  f_.makeFile("/meta/.DS_Store");
  f_.makeFile("/private/mine.txt");
  sfc_.addBackupFiles(std::vector<std::string>{
      f_.full("/docs/a/file.txt"), "/docs/a/file.txt",  // one item, two forms
      f_.full("/gone.txt"),                              // removed again
      f_.full("/empty"), f_.full("/full"), f_.full("/meta"),
      f_.root(),                                         // the root itself
      "/private/var/tmp/x",                              // a system path
      "/private/mine.txt"});                             // a folder "private" in the root
  sfc_.timerFireMethod();

  auto names = f_.published(journal::kUploadFolder);
  ASSERT_EQ(names.size(), 1u);
  EXPECT_THAT(f_.lines(journal::kUploadFolder, names[0]),
              ElementsAre("/docs/a/file.txt", "/empty", "/private/mine.txt"));
  // The Finder refreshes the parents of uploaded files, never the root.
  f_.poster().posts.clear();
  f_.makeFile("/docs/b.txt");
  sfc_.addBackupFiles(f_.full("/docs/b.txt"));
  f_.host().setChannels(nullptr, nullptr);
  sfc_.timerFireMethod();
  EXPECT_THAT(f_.notSyncedPosts(), ElementsAre(f_.full("/docs")));
}

TEST_F(SyncFilesControllerWriterTest, ConnectedFinderHearsOfQueuedUploadsAsFullPaths) {
  f_.makeFile("/x/y.txt");
  sfc_.addBackupFiles("/x/y.txt");
  sfc_.timerFireMethod();
  EXPECT_THAT(f_.notSyncedPosts(), UnorderedElementsAre(f_.full("/x/y.txt"), f_.full("/x")));
  bool monitorTold = false;
  for (const auto& [type, payload] : f_.monitor().sent())
    monitorTold |= type == SyncFilesController::kMonitorJournalsChangedMessage;
  EXPECT_TRUE(monitorTold);
}

TEST_F(SyncFilesControllerWriterTest, WritingTurnedOffDropsUploadsAndDownloads) {
  sfc_.clearBackupRestoreSyncFiles();
  sfc_.addBackupFiles(f_.makeFile("/a.txt"));
  sfc_.addRestoreFiles({{"/dl.txt", "NA"}});
  sfc_.addOBRestoreFiles({{"/ob.txt", "NA"}});
  sfc_.timerFireMethod();
  EXPECT_THAT(f_.published(journal::kUploadFolder), IsEmpty());
  EXPECT_THAT(f_.published(journal::kDownloadFolder), IsEmpty());
  EXPECT_THAT(f_.published(journal::kOBDownloadFolder), IsEmpty());
  // Told before the entries were dropped.
  EXPECT_THAT(f_.notSyncedPosts(), ElementsAre(f_.full("/a.txt")));

  sfc_.setShouldWriteSyncFiles(true);
  sfc_.addRestoreFiles({{"/dl.txt", "NA"}});
  sfc_.timerFireMethod();
  EXPECT_EQ(f_.published(journal::kDownloadFolder).size(), 1u);
}

TEST_F(SyncFilesControllerWriterTest, NothingIsPublishedWhileTheSyncRootIsUnknown) {
  f_.makeFile("/up.txt");
  f_.host().setRoot("");
  sfc_.addBackupFiles(f_.full("/up.txt"));
  sfc_.addDeleteFiles(f_.full("/old.txt"));  // stays full: the root is not known yet
  sfc_.timerFireMethod();
  EXPECT_THAT(f_.published(journal::kUploadFolder), IsEmpty());
  EXPECT_THAT(f_.published(journal::kEventFolder), IsEmpty());

  f_.host().setRoot(f_.root());
  sfc_.timerFireMethod();
  auto events = f_.published(journal::kEventFolder);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_THAT(f_.lines(journal::kEventFolder, events[0]), ElementsAre("/old.txt"));
  ASSERT_EQ(f_.published(journal::kUploadFolder).size(), 1u);
}

TEST_F(SyncFilesControllerWriterTest, DeleteWriterSkipsWhatExistsAgain) {
  f_.makeFile("/back.txt");
  sfc_.addDeleteFiles(std::vector<std::string>{
      f_.full("/gone.txt"), f_.full("/back.txt"), f_.root(), f_.root() + "/",
      f_.full("/.Spotlight-V100/Store-Spotlight"), "/rel/gone2.txt"});
  sfc_.timerFireMethod();

  auto events = f_.published(journal::kEventFolder);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(journal::eventTypeOf(events[0]), journal::kEventDelete);
  std::vector<std::string> expected{"/gone.txt", "/rel/gone2.txt"};
  EXPECT_EQ(f_.lines(journal::kEventFolder, events[0]), expected);
  auto sent = f_.finder().sent();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].first, SyncFilesController::kFinderDeletedItemsMessage);
  EXPECT_EQ(texts(sent[0].second), expected);
}

TEST_F(SyncFilesControllerWriterTest, EventRunsKeepArrivalOrderUnderAFrozenClock) {
  // SteppingClock's wall time never moves: only the stamp generator orders names.
  sfc_.addDeleteFiles(f_.full("/d1"));
  sfc_.addRenamedFiles(RenameEntry{"/r1", "/r2"});
  sfc_.addDeleteFiles(std::vector<std::string>{f_.full("/d2"), f_.full("/d3")});
  sfc_.addRenamedFiles(std::vector<RenameEntry>{{"/a", "/b"}, {"/b", "/c"}});
  sfc_.timerFireMethod();

  JournalFolder events = f_.folder(journal::kEventFolder);
  std::vector<PropertyList> sets;
  while (auto set = JournalReader::takeEventSet(events)) sets.push_back(set->toPropertyList());
  auto del = [](std::vector<std::string> paths) {
    return PropertyList(PropertyList::Dict{
        {"delete", PropertyList(PropertyList::Array(paths.begin(), paths.end()))}});
  };
  auto ren = [](std::vector<RenameEntry> rs) {
    PropertyList::Array a;
    for (const auto& r : rs) a.push_back(r.toPropertyList());
    return PropertyList(PropertyList::Dict{{"rename", PropertyList(a)}});
  };
  EXPECT_THAT(sets, ElementsAre(del({"/d1"}), ren({{"/r1", "/r2"}}), del({"/d2", "/d3"}),
                                ren({{"/a", "/b"}, {"/b", "/c"}})));
}

TEST_F(SyncFilesControllerWriterTest, RenamesTellTheFinderFullPathsAndDropMissingSides) {
  sfc_.addRenamedFiles(std::vector<RenameEntry>{
      {"/old.txt", "/new.txt"}, {"", "/lost.txt"}, {"/lost2.txt", ""},
      {f_.full("/full-old"), f_.full("/full-new")}});
  sfc_.timerFireMethod();
  auto events = f_.published(journal::kEventFolder);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_THAT(JournalReader::parseRenameList(f_.contents(journal::kEventFolder, events[0]), ""),
              ElementsAre(RenameEntry{"/old.txt", "/new.txt"},
                          RenameEntry{"/full-old", "/full-new"}));
  EXPECT_THAT(f_.notSyncedPosts(), ElementsAre(f_.full("/new.txt"), f_.full("/full-new")));
}

TEST_F(SyncFilesControllerWriterTest, EntriesOfAFailedWriteAreWrittenByTheNextTick) {
  f_.makeFile("/up.txt");
  sfc_.addDeleteFiles(f_.full("/d1"));
  sfc_.addRenamedFiles(RenameEntry{"/r1", "/r2"});
  sfc_.addBackupFiles(f_.full("/up.txt"));
  sfc_.addRestoreFiles({{"/dl.txt", "123"}});
  sfc_.addNotificationFilesInfo();
  for (int index : {journal::kEventFolder, journal::kUploadFolder, journal::kDownloadFolder,
                    journal::kServerChangeFolder})
    f_.block(index);
  sfc_.timerFireMethod();

  sfc_.addDeleteFiles(f_.full("/d2"));  // arrives while the first ones wait
  for (int index : {journal::kEventFolder, journal::kUploadFolder, journal::kDownloadFolder,
                    journal::kServerChangeFolder})
    f_.unblock(index);
  uint64_t downloadsChanged = f_.folder(journal::kDownloadFolder).changeCount();
  sfc_.timerFireMethod();

  auto events = f_.published(journal::kEventFolder);
  ASSERT_EQ(events.size(), 3u);
  EXPECT_THAT(f_.lines(journal::kEventFolder, events[0]), ElementsAre("/d1"));
  EXPECT_EQ(journal::eventTypeOf(events[1]), journal::kEventRename);
  EXPECT_THAT(f_.lines(journal::kEventFolder, events[2]), ElementsAre("/d2"));
  ASSERT_EQ(f_.published(journal::kUploadFolder).size(), 1u);
  EXPECT_EQ(f_.published(journal::kServerChangeFolder).size(), 1u);
  auto downloads = JournalReader::takeDownloadLists(f_.folder(journal::kDownloadFolder), false);
  EXPECT_EQ(downloads, (PropertyList::Dict{{"/dl.txt", PropertyList("123")}}));
  // The input queue's pending-download check sees the new list.
  EXPECT_GT(f_.folder(journal::kDownloadFolder).changeCount(), downloadsChanged);
}

TEST_F(SyncFilesControllerWriterTest, FoldersThatCannotBeMadeAreTriedAgainLessAndLessOften) {
  f_.block(journal::kEventFolder);
  sfc_.addDeleteFiles(f_.full("/d1"));
  ::testing::internal::CaptureStderr();
  // Two minutes of ticks: tried at 0, 4, 12, 28 and 60 s, not sixty times.
  for (int tick = 0; tick < 60; ++tick) {
    sfc_.timerFireMethod();
    f_.clock().sleepFor(SyncFilesController::kTickInterval);
  }
  const std::string err = ::testing::internal::GetCapturedStderr();
  size_t tries = 0;
  for (size_t at = err.find("cannot be created"); at != std::string::npos;
       at = err.find("cannot be created", at + 1))
    ++tries;
  EXPECT_EQ(tries, 5u) << err;
  EXPECT_THAT(err, ::testing::HasSubstr("trying again in 64 s"));

  f_.unblock(journal::kEventFolder);
  sfc_.timerFireMethod();  // the folder is back: written at the next tick
  auto events = f_.published(journal::kEventFolder);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_THAT(f_.lines(journal::kEventFolder, events[0]), ElementsAre("/d1"));
}

TEST_F(SyncFilesControllerWriterTest, RenamesAreTracedWholeOnOneLine) {
  ::testing::internal::CaptureStderr();
  sfc_.addOBRenamedFiles(RenameEntry{"/a b", "/c\"d"});
  sfc_.addRenamedFiles(std::vector<RenameEntry>{{"/r1", "/r2"}, {"/r3", "/r4"}});
  sfc_.timerFireMethod();
  const std::string err = ::testing::internal::GetCapturedStderr();
  const std::string ob = "{OriginalPath = \"/a b\"; RenamedPath = \"/c\\\"d\";}";
  EXPECT_THAT(err, ::testing::HasSubstr(" : " + ob + " \n"));
  EXPECT_THAT(err, ::testing::HasSubstr(" : OBRenameFilesCollection:{(" + ob + ")} \n"));
  EXPECT_THAT(err, ::testing::HasSubstr(
                       " : Rename list:({OriginalPath = \"/r1\"; RenamedPath = \"/r2\";}, "
                       "{OriginalPath = \"/r3\"; RenamedPath = \"/r4\";}) \n"));
}

TEST_F(SyncFilesControllerWriterTest, ManyMarkerRequestsGiveOneMarker) {
  for (int i = 0; i < 5; ++i) sfc_.addNotificationFilesInfo();
  sfc_.timerFireMethod();
  auto names = f_.published(journal::kServerChangeFolder);
  ASSERT_EQ(names.size(), 1u);
  EXPECT_EQ(f_.contents(journal::kServerChangeFolder, names[0]), "1");
}

TEST_F(SyncFilesControllerWriterTest, OutOfBoxQueuesGoToTheirOwnFolders) {
  sfc_.addOBBackupFiles("/ob/up.txt");
  sfc_.addOBDeleteFiles("/gone.txt");
  sfc_.addOBRenamedFiles(RenameEntry{"/ob/a", "/ob/b"});
  sfc_.addOBRestoreFiles({{"/ob/dl", "NA"}});
  sfc_.addOBDirectory("/ob/new-folder");  // not created from local changes
  sfc_.timerFireMethod();

  auto up = f_.published(journal::kOBUploadFolder);
  ASSERT_EQ(up.size(), 1u);
  EXPECT_THAT(f_.lines(journal::kOBUploadFolder, up[0]), ElementsAre("/ob/up.txt"));
  auto del = f_.published(journal::kOBDeleteFolder);
  ASSERT_EQ(del.size(), 1u);
  EXPECT_THAT(f_.lines(journal::kOBDeleteFolder, del[0]), ElementsAre("/Out of Box/box1/gone.txt"));
  auto ren = f_.published(journal::kOBRenameFolder);
  ASSERT_EQ(ren.size(), 1u);
  EXPECT_EQ(ren[0].size(), journal::kStampLength);  // the stamp alone
  EXPECT_EQ(f_.published(journal::kOBDownloadFolder).size(), 1u);
  EXPECT_THAT(f_.published(journal::kOBCreateFolderFolder), IsEmpty());

  sfc_.addOBBackupFiles("/ob/later.txt");
  sfc_.clearOBSyncFiles();
  sfc_.addOBBackupFiles("/ob/while-off.txt");
  sfc_.timerFireMethod();
  EXPECT_EQ(f_.published(journal::kOBUploadFolder).size(), 1u);
}

TEST_F(SyncFilesControllerWriterTest, NamesALineListCannotCarryAreRefusedAlone) {
  f_.makeFile("/ok.txt");
  std::string odd = f_.makeFile("/bad\nname.txt");
  std::string latin1 = f_.makeFile("/caf\xe9.txt");
  sfc_.addBackupFiles(std::vector<std::string>{odd, f_.full("/ok.txt"), latin1});
  sfc_.timerFireMethod();
  auto names = f_.published(journal::kUploadFolder);
  ASSERT_EQ(names.size(), 1u);
  EXPECT_THAT(f_.lines(journal::kUploadFolder, names[0]),
              ElementsAre("/ok.txt", "/caf\xe9.txt"));
  auto counts = f_.published(journal::kUploadCountFolder);
  ASSERT_EQ(counts.size(), 1u);
  EXPECT_EQ(f_.contents(journal::kUploadCountFolder, counts[0]), "2");
}

TEST_F(SyncFilesControllerWriterTest, AnOrderlyEndWritesWhatIsQueued) {
  sfc_.addDeleteFiles(f_.full("/deleted-just-before-exit"));
  sfc_.addOBDeleteFiles("/ob-too");
  f_.destroyController();
  EXPECT_EQ(f_.published(journal::kEventFolder).size(), 1u);
  EXPECT_EQ(f_.published(journal::kOBDeleteFolder).size(), 1u);
}

// Every entry of every upload list published so far, in order.
std::vector<std::string> uploadEntries(SfcFixture<>& f) {
  std::vector<std::string> out;
  for (const auto& name : f.published(journal::kUploadFolder))
    for (auto& line : f.lines(journal::kUploadFolder, name)) out.push_back(std::move(line));
  return out;
}

std::vector<EventSet> eventSets(SfcFixture<>& f) {
  std::vector<EventSet> sets;
  JournalFolder events = f.folder(journal::kEventFolder);
  while (auto set = JournalReader::takeEventSet(events)) sets.push_back(std::move(*set));
  return sets;
}

TEST(SyncFilesControllerDeleteTest, ARunOfMoreThanAThousandDeletesKeepsItsOrderAcrossFiles) {
  for (std::size_t count : {1000u, 1001u, 2500u}) {
    SCOPED_TRACE(count);
    SfcFixture<> f;
    std::vector<std::string> full, expected;
    for (std::size_t i = 0; i < count; ++i) {
      expected.push_back("/gone/" + std::to_string(count - i));  // not in sorted order
      full.push_back(f.full(expected.back()));
    }
    f.sfc().addDeleteFiles(full);
    f.sfc().addRenamedFiles(RenameEntry{"/r1", "/r2"});  // the run ends here
    f.sfc().timerFireMethod();
    EXPECT_EQ(f.published(journal::kEventFolder).size(), (count + 999) / 1000 + 1);
    std::vector<std::string> deleted;
    std::vector<RenameEntry> renamed;
    for (const auto& set : eventSets(f)) {
      deleted.insert(deleted.end(), set.paths.begin(), set.paths.end());
      if (!set.renames.empty()) {
        EXPECT_EQ(deleted.size(), count);  // after every delete
      }
      renamed.insert(renamed.end(), set.renames.begin(), set.renames.end());
    }
    EXPECT_EQ(deleted, expected);
    EXPECT_EQ(renamed, (std::vector<RenameEntry>{{"/r1", "/r2"}}));
  }
}

TEST(SyncFilesControllerRenameTest, QueuedUploadsFollowRenamesMadeBeforeTheListIsWritten) {
  struct Case {
    const char* name;
    std::vector<std::string> before;  // queued uploads (relative)
    std::vector<RenameEntry> renames;
    std::vector<std::string> after;   // queued after the renames
    std::vector<std::string> onDisk;  // files there when the list is written
    std::vector<std::string> uploads;
  };
  std::vector<std::string> many, manyRenamed;
  for (int i = 0; i < 3000; ++i) {
    many.push_back("/new/f" + std::to_string(i));
    manyRenamed.push_back("/renamed/f" + std::to_string(i));
  }
  const Case cases[] = {
      {"saved under a temporary name", {"/x.tmp"}, {{"/x.tmp", "/x"}}, {}, {"/x"}, {"/x"}},
      {"3,000 files in a renamed new folder", many, {{"/new", "/renamed"}}, {}, manyRenamed,
       manyRenamed},
      {"an editor's save by rename", {"/a"}, {{"/a", "/a~"}}, {"/a"}, {"/a", "/a~"}, {"/a~", "/a"}},
      {"twice renamed", {"/p"}, {{"/p", "/q"}, {"/q", "/r"}}, {}, {"/r"}, {"/r"}},
      {"a sibling is not below", {"/a/bc"}, {{"/a/b", "/c"}}, {}, {"/a/bc"}, {"/a/bc"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SfcFixture<> f;
    SyncFilesController& sfc = f.sfc();
    for (const auto& path : c.onDisk) f.makeFile(path);
    std::vector<std::string> before;
    for (const auto& path : c.before) before.push_back(f.full(path));
    sfc.addBackupFiles(before);
    sfc.addDirectory(f.full("/new"));
    sfc.addRenamedFiles(c.renames);
    sfc.addBackupFiles(c.after);
    sfc.timerFireMethod();
    EXPECT_EQ(uploadEntries(f), c.uploads);
    // A folder creation queued before the renames follows them too.
    auto created = f.published(journal::kCreateFolderFolder);
    ASSERT_EQ(created.size(), 1u);
    std::string folder = c.renames[0].originalPath == "/new" ? "/renamed" : "/new";
    EXPECT_THAT(f.lines(journal::kCreateFolderFolder, created[0]), ElementsAre(f.full(folder)));
    // The renames are journalled as they happened, and nothing is deleted.
    auto sets = eventSets(f);
    ASSERT_EQ(sets.size(), 1u);
    EXPECT_EQ(sets[0].type, "rename");
    EXPECT_EQ(sets[0].renames, c.renames);
  }
}

TEST(SyncFilesControllerRenameTest, ItemsOfUnreadUploadListsAreQueuedUnderTheirNewPaths) {
  SfcFixture<> f;
  SyncFilesController& sfc = f.sfc();
  f.makeFile("/x.tmp");
  f.makeFile("/new/f1");
  f.makeFile("/read/f2");
  sfc.addBackupFiles(f.full("/read/f2"));
  sfc.timerFireMethod();
  sfc.readFileFor("1");  // the controller has taken this list
  sfc.addBackupFiles(std::vector<std::string>{f.full("/x.tmp"), f.full("/new/f1")});
  sfc.timerFireMethod();
  ASSERT_EQ(::rename(f.full("/x.tmp").c_str(), f.full("/x").c_str()), 0);
  ASSERT_EQ(::rename(f.full("/new").c_str(), f.full("/renamed").c_str()), 0);
  ASSERT_EQ(::rename(f.full("/read").c_str(), f.full("/seen").c_str()), 0);
  sfc.addRenamedFiles(std::vector<RenameEntry>{{"/x.tmp", "/x"}, {"/new", "/renamed"}});
  sfc.addRenamedFiles(RenameEntry{"/read", "/seen"});
  sfc.timerFireMethod();
  // What the controller already took is its business; what it has not yet
  // read is listed again under the new paths.
  auto names = f.published(journal::kUploadFolder);
  ASSERT_EQ(names.size(), 2u);
  EXPECT_THAT(f.lines(journal::kUploadFolder, names[1]), UnorderedElementsAre("/x", "/renamed/f1"));
}

TEST(SyncFilesControllerRenameTest, RenamesAListCannotCarryBecomeADeleteAndAnUpload) {
  SfcFixture<> f;
  SyncFilesController& sfc = f.sfc();
  const std::string control = "/bad\x01name.txt";
  const std::string latin1 = "/caf\xe9";
  const std::string noncharacter = "/dir\xef\xbf\xbe";
  f.makeFile(control);
  f.makeFile("/new.txt");
  f.makeFile(noncharacter + "/sub/f1");
  f.makeFile(noncharacter + "/f2");
  f.makeFile("/r2");
  f.makeFile("/r4");
  sfc.addRenamedFiles(std::vector<RenameEntry>{{"/r1", "/r2"},
                                               {"/ok.txt", control},
                                               {latin1, "/new.txt"},
                                               {"/dir", noncharacter},
                                               {"/r3", "/r4"}});
  sfc.timerFireMethod();

  auto sets = eventSets(f);
  ASSERT_EQ(sets.size(), 3u);
  EXPECT_EQ(sets[0].renames, (std::vector<RenameEntry>{{"/r1", "/r2"}}));
  EXPECT_EQ(sets[1].type, "delete");
  EXPECT_EQ(sets[1].paths, (std::vector<std::string>{"/ok.txt", latin1, "/dir"}));
  EXPECT_EQ(sets[2].renames, (std::vector<RenameEntry>{{"/r3", "/r4"}}));
  auto uploads = uploadEntries(f);
  EXPECT_THAT(uploads, ::testing::UnorderedElementsAre(control, "/new.txt", noncharacter + "/f2",
                                                       noncharacter + "/sub/f1"));
  auto created = f.published(journal::kCreateFolderFolder);
  ASSERT_EQ(created.size(), 1u);
  EXPECT_THAT(f.lines(journal::kCreateFolderFolder, created[0]),
              ElementsAre(f.full(noncharacter), f.full(noncharacter + "/sub")));
}

TEST(SyncFilesControllerUploadTest, OnlyRegularFilesAndFoldersAreUploaded) {
  SfcFixture<> f;
  SyncFilesController& sfc = f.sfc();
  f.makeFile("/file.txt");
  fileutil::makeDirectories(f.full("/empty"));
  ASSERT_EQ(::symlink(f.full("/file.txt").c_str(), f.full("/link").c_str()), 0);
  ASSERT_EQ(::symlink(f.full("/nowhere").c_str(), f.full("/dangling").c_str()), 0);
  ASSERT_EQ(::symlink(f.full("/empty").c_str(), f.full("/folder-link").c_str()), 0);
  ASSERT_EQ(::mkfifo(f.full("/fifo").c_str(), 0600), 0);
  ASSERT_EQ(::mknod(f.full("/socket").c_str(), S_IFSOCK | 0600, 0), 0);
  std::vector<std::string> queued;
  for (const char* name : {"/file.txt", "/empty", "/link", "/dangling", "/folder-link", "/fifo",
                           "/socket", "/device"})
    queued.push_back(f.full(name));
  // A device node needs privileges; where there are none the case is simply absent.
  ::mknod(f.full("/device").c_str(), S_IFCHR | 0600, makedev(1, 3));
  for (int i = 0; i < 8; ++i) {  // more than are traced by name
    std::string path = f.full("/more-links/l" + std::to_string(i));
    fileutil::makeDirectories(fileutil::parentPath(path));
    ASSERT_EQ(::symlink("x", path.c_str()), 0);
    queued.push_back(path);
  }
  sfc.addBackupFiles(queued);
  sfc.timerFireMethod();
  EXPECT_EQ(uploadEntries(f), (std::vector<std::string>{"/file.txt", "/empty"}));
}

}  // namespace
}  // namespace ulmora::testing
