#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "SyncFilesControllerTestSupport.h"

namespace ulmora::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

class SyncFilesControllerReaderTest : public ::testing::Test {
 protected:
  // Publishes `n` one-line lists "/<prefix><i>" into a folder.
  void publishLists(int index, int n, const std::string& prefix = "/p") {
    for (int i = 0; i < n; ++i) f_.folder(index).publish(stamps_, "", prefix + std::to_string(i));
  }
  std::size_t consumed(int index) {
    std::size_t n = 0;
    for (const auto& name : f_.folder(index).names())
      n += journal::extensionOf(name) == journal::kConsumedExtension;
    return n;
  }

  SfcFixture<> f_;
  SyncFilesController& sfc_ = f_.sfc();
  JournalStampGenerator stamps_{f_.clock()};
};

TEST_F(SyncFilesControllerReaderTest, ReadsFollowTheBatchRule) {
  struct Case {
    const char* code;
    int folder;
    int published;
    int alreadyConsumed;
    std::size_t expectConsumedNow;
  };
  for (const Case& c : {Case{"1", journal::kUploadFolder, 20, 0, 10},
                        Case{"1", journal::kUploadFolder, 15, 0, 15},
                        Case{"1", journal::kUploadFolder, 15, 1, 10},
                        Case{"2", journal::kDeleteFolder, 16, 0, 10},
                        Case{"5", journal::kServerChangeFolder, 20, 0, 20}}) {
    SCOPED_TRACE(std::string(c.code) + " " + std::to_string(c.published));
    f_.folder(c.folder).clear();
    publishLists(c.folder, c.alreadyConsumed, "/old");
    for (const auto& name : f_.folder(c.folder).names()) f_.folder(c.folder).consume(name);
    publishLists(c.folder, c.published);

    PropertyList result = sfc_.readFileFor(c.code);
    EXPECT_EQ(consumed(c.folder) - static_cast<std::size_t>(c.alreadyConsumed),
              c.expectConsumedNow);
    ASSERT_TRUE(result.asArray());
    EXPECT_EQ(result.asArray()->size(), c.expectConsumedNow);
  }
}

TEST_F(SyncFilesControllerReaderTest, CodesWithoutAReadableFolderGiveNothing) {
  publishLists(journal::kUploadFolder, 2);
  sfc_.setShouldReturnBackupEntries(false);
  for (const char* code : {"1", "6", "7", "daemoneventpath", "x"})
    EXPECT_EQ(sfc_.readFileFor(code), PropertyList(PropertyList::Array{})) << code;
  EXPECT_EQ(consumed(journal::kUploadFolder), 0u);
}

TEST_F(SyncFilesControllerReaderTest, DownloadAndRenameListsReadAsDictionaries) {
  auto& stamps = stamps_;
  auto dict = [](std::string k, std::string v) {
    return PropertyList(PropertyList::Dict{{std::move(k), PropertyList(std::move(v))}}).toXml();
  };
  f_.folder(journal::kDownloadFolder).publish(stamps, "", dict("/a", "1"));
  f_.folder(journal::kDownloadFolder).publish(stamps, "", dict("/a", "2"));
  EXPECT_EQ(sfc_.readFileFor("4"),
            PropertyList(PropertyList::Dict{{"/a", PropertyList("2")}}));  // later file wins

  JournalFolder renames = f_.folder(journal::kRenameFolder);
  renames.publish(stamps, "", RenameEntry{"/o", "/n"}.toPropertyList().toXml());
  renames.publish(stamps, "", "not a property list");
  fileutil::writeFileAtomically(renames.pathFor(".DS_Store"), "");
  fileutil::writeFileAtomically(renames.pathFor("x.progress"), "");
  EXPECT_EQ(sfc_.readRenameFiles(), (PropertyList::Array{RenameEntry{"/o", "/n"}.toPropertyList()}));
  EXPECT_THAT(renames.eligibleNames(journal::SkipRule::kReader), IsEmpty());
  EXPECT_TRUE(fileutil::exists(renames.pathFor("x.progress")));
}

TEST_F(SyncFilesControllerReaderTest, CleaningRemovesConsumedFilesOrTheWholeFolder) {
  publishLists(journal::kEventFolder, 3);
  JournalFolder events = f_.folder(journal::kEventFolder);
  events.consume(events.names()[0]);
  fileutil::writeFileAtomically(events.pathFor("late.progress"), "");

  sfc_.deleteFileFor("daemoneventpath", true);
  EXPECT_EQ(events.names().size(), 3u);  // two published, one in progress
  EXPECT_EQ(consumed(journal::kEventFolder), 0u);
  sfc_.deleteFileFor("daemoneventpath", false);
  EXPECT_THAT(events.names(), IsEmpty());
  EXPECT_TRUE(fileutil::isDirectory(events.path()));

  publishLists(journal::kOBDeleteFolder, 2);
  sfc_.deleteOBFileFor("1", false);  // not an Out-of-Box code
  EXPECT_EQ(f_.folder(journal::kOBDeleteFolder).names().size(), 2u);
  sfc_.deleteOBFileFor("8", false);
  EXPECT_THAT(f_.folder(journal::kOBDeleteFolder).names(), IsEmpty());

  // Between clearSyncFiles and createSyncFilesDir nothing is touched.
  publishLists(journal::kUploadFolder, 1);
  std::string uploads = sfc_.folderPath(journal::kUploadFolder);
  sfc_.clearSyncFiles();
  sfc_.deleteFileFor("1", false);
  EXPECT_EQ(JournalFolder(uploads).names().size(), 1u);
}

TEST_F(SyncFilesControllerReaderTest, CountFilesLeaveWithTheUploadListsTheyCount) {
  // Three ticks, three lists, three count files.
  for (const char* name : {"/one", "/two", "/three"}) {
    sfc_.addBackupFiles(f_.makeFile(name));
    sfc_.timerFireMethod();
  }
  ASSERT_EQ(f_.published(journal::kUploadCountFolder).size(), 3u);
  JournalFolder uploads = f_.folder(journal::kUploadFolder);
  auto lists = uploads.names();
  ASSERT_EQ(lists.size(), 3u);

  // The newest list read first (an older one still waiting) takes nothing
  // away: a count goes only once no list older than it is left.
  uploads.consume(lists[2]);
  sfc_.deleteFileFor("1", true);
  EXPECT_EQ(f_.published(journal::kUploadCountFolder).size(), 3u);
  uploads.consume(lists[0]);
  sfc_.deleteFileFor("1", true);
  EXPECT_EQ(f_.published(journal::kUploadCountFolder).size(), 2u);
  uploads.consume(lists[1]);
  sfc_.deleteFileFor("1", true);
  EXPECT_THAT(f_.published(journal::kUploadCountFolder), IsEmpty());

  sfc_.addBackupFiles(f_.makeFile("/four"));
  sfc_.timerFireMethod();
  sfc_.deleteFileFor("1", false);
  EXPECT_THAT(f_.published(journal::kUploadCountFolder), IsEmpty());
}

TEST_F(SyncFilesControllerReaderTest, RenameDeleteDatabaseQueueAndDelegate) {
  EXPECT_EQ(sfc_.filesToDeleteFromRDDB(), std::nullopt);
  sfc_.deleteFileEntryFromRDDB("/a");
  sfc_.deleteFileEntryFromRDDB("/a");
  sfc_.deleteFileEntryFromRDDB("");
  sfc_.deleteFileEntryFromRDDB("/b");
  EXPECT_EQ(sfc_.filesToDeleteFromRDDB(), (std::vector<std::string>{"/a", "/b"}));
  EXPECT_EQ(sfc_.filesToDeleteFromRDDB(), std::nullopt);

  struct Delegate : SyncFilesControllerProtocol {
    void didDBQueryFinishedForBackupFiles(const std::vector<std::string>& p) override { paths = p; }
    void didDBQueryForRDDBCompleated() override { ++rddb; }
    std::vector<std::string> paths;
    int rddb = 0;
  } delegate;
  sfc_.mainDBQueryFinished({"/lost"});  // no delegate yet: nothing to do
  sfc_.setDelegate(&delegate);
  sfc_.mainDBQueryFinished({"/x", "/y"});
  sfc_.RDDBQueryFinished();
  EXPECT_THAT(delegate.paths, ElementsAre("/x", "/y"));
  EXPECT_EQ(delegate.rddb, 1);
}

TEST_F(SyncFilesControllerReaderTest, LineFilesGainOnlyTheEntriesTheyLack) {
  struct Case {
    std::optional<std::string> before;
    std::vector<std::string> add;
    std::string after;
  };
  for (const Case& c : {
           Case{std::nullopt, {"/b", "/a", "/b"}, "/b\n/a\n/b"},  // new: in order, as given
           Case{"/a\n/b", {"/b", "/a"}, "/a\n/b"},                // all present: untouched
           Case{"/a", {"/a", "/c", "/c", "/d"}, "/a\n/c\n/d"},
           Case{"/a\n", {"/c"}, "/a\n/c"},
           Case{"", {"/c"}, "/c"},
           Case{std::nullopt, {"/ok", "/bad\nline", ""}, "/ok"}}) {
    std::string path = f_.dir().sub("lines.txt");
    fileutil::removeAll(path);
    if (c.before) fileutil::writeFileAtomically(path, *c.before);
    EXPECT_TRUE(sfc_.writeDataIntoFiles(c.add, path));
    EXPECT_EQ(fileutil::readFile(path), c.after);
  }
}

}  // namespace
}  // namespace ulmora::testing
