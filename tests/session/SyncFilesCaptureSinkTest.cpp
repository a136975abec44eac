#include "session/SyncFilesCaptureSink.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <utility>

#include "SessionTestSupport.h"
#include "journal/JournalFolder.h"
#include "journal/JournalFormat.h"
#include "journal/JournalReader.h"
#include "journal/SyncFilesController.h"
#include "journal/SyncFilesControllerProtocol.h"
#include "journal/SyncFilesHost.h"

namespace ulmora {
namespace {

using Entries = std::vector<std::pair<std::string, std::string>>;

class RootOnlyHost final : public SyncFilesHost {
 public:
  explicit RootOnlyHost(std::string root) : root_(std::move(root)) {}
  std::string syncRootPath() override { return root_; }
  std::shared_ptr<CompanionMessenger> finderMessenger() override { return nullptr; }
  std::shared_ptr<CompanionMessenger> monitorMessenger() override { return nullptr; }

 private:
  const std::string root_;
};

class CountingDelegate final : public SyncFilesControllerProtocol {
 public:
  void didDBQueryFinishedForBackupFiles(const std::vector<std::string>& paths) override {
    uploads.push_back(paths);
  }
  void didDBQueryForRDDBCompleated() override { ++renameDeleteQueries; }

  std::vector<std::vector<std::string>> uploads;
  int renameDeleteQueries = 0;
};

// A writer whose journal folders live in a temporary folder; the test ticks it.
class SinkTest : public ::testing::Test {
 protected:
  SinkTest() {
    fileutil::makeDirectories(root);
    SyncFilesController::Options o;
    o.applicationFile = [this](int index) { return dir.sub("App/" + std::to_string(index)); };
    o.host = &host;
    o.machineName = "box";
    PropertyList details(PropertyList::Dict{{"ConsoleUser", "ann"}, {"SyncUser", "ann.sync"}});
    writer = std::make_unique<SyncFilesController>(details, std::move(o));
    writer->createSyncFilesDir();
    writer->setDelegate(&delegate);
    sink = std::make_unique<SyncFilesCaptureSink>(*writer);
  }

  JournalFolder folder(int index) const { return JournalFolder(writer->folderPath(index)); }

  testing::TestTempDir dir;
  const std::string root = dir.sub("Sync");
  RootOnlyHost host{root};
  CountingDelegate delegate;
  std::unique_ptr<SyncFilesController> writer;
  std::unique_ptr<SyncFilesCaptureSink> sink;
};

TEST_F(SinkTest, EachFindingReachesItsOwnJournal) {
  fileutil::writeFileAtomically(root + "/a.txt", "a");
  struct Case {
    const char* name;
    std::function<void(CaptureJournalSink&)> call;
    int folder;
    // Exactly one of these describes what the folder holds afterwards.
    std::vector<std::string> lines;
    std::vector<RenameEntry> renames;
    Entries downloads;
  } cases[] = {
      {"upload, full path, written relative",
       [&](CaptureJournalSink& s) { s.addBackupFiles({root + "/a.txt"}); },
       journal::kUploadFolder, {"/a.txt"}, {}, {}},
      {"folder creation, written as given",
       [&](CaptureJournalSink& s) { s.addDirectory({root + "/d"}); },
       journal::kCreateFolderFolder, {root + "/d"}, {}, {}},
      {"delete, into the event folder",
       [&](CaptureJournalSink& s) { s.addDeleteFiles({root + "/gone.txt"}); },
       journal::kEventFolder, {"/gone.txt"}, {}, {}},
      {"rename, into the event folder",
       [](CaptureJournalSink& s) { s.addRenamedFiles({{"/old.txt", "/new.txt"}}); },
       journal::kEventFolder, {}, {{"/old.txt", "/new.txt"}}, {}},
      {"downloads have no value yet, and a path is listed once",
       [](CaptureJournalSink& s) { s.addRestoreFiles({"/r2", "/r1", "/r2"}); },
       journal::kDownloadFolder, {}, {}, {{"/r1", "NA"}, {"/r2", "NA"}}},
      {"Out-of-Box upload",
       [](CaptureJournalSink& s) { s.addOBBackupFiles({"/ob.txt"}); },
       journal::kOBUploadFolder, {"/ob.txt"}, {}, {}},
      {"Out-of-Box downloads have no value yet either",
       [](CaptureJournalSink& s) { s.addOBRestoreFiles({"/obr"}); },
       journal::kOBDownloadFolder, {}, {}, {{"/obr", "NA"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (int index : {journal::kUploadFolder, journal::kCreateFolderFolder, journal::kEventFolder,
                      journal::kDownloadFolder, journal::kOBUploadFolder,
                      journal::kOBDownloadFolder}) {
      ASSERT_TRUE(fileutil::removeAll(writer->folderPath(index)));
    }
    writer->createSyncFilesDir();

    c.call(*sink);
    writer->timerFireMethod();

    if (!c.downloads.empty()) {
      EXPECT_EQ(JournalReader::peekDownloadEntries(folder(c.folder)), c.downloads);
    } else if (!c.renames.empty()) {
      EXPECT_EQ(JournalReader::peekRenames(folder(c.folder)), c.renames);
    } else {
      EXPECT_EQ(JournalReader::peekTextLines(folder(c.folder)), c.lines);
    }
  }
}

TEST_F(SinkTest, QueryEndsReachTheDelegateAndRenameDeleteRowsStayBehind) {
  sink->mainDBQueryFinished({"/x", "/y"});
  sink->RDDBQueryFinished(std::nullopt);
  sink->RDDBQueryFinished(RDDataBaseRows{});

  ASSERT_EQ(delegate.uploads.size(), 1u);
  EXPECT_EQ(delegate.uploads[0], (std::vector<std::string>{"/x", "/y"}));
  // An unreadable database still ends its query.
  EXPECT_EQ(delegate.renameDeleteQueries, 2);
  writer->timerFireMethod();
  EXPECT_TRUE(JournalReader::peekTextLines(folder(journal::kEventFolder)).empty());
  EXPECT_TRUE(JournalReader::peekRenames(folder(journal::kEventFolder)).empty());
}

}  // namespace
}  // namespace ulmora
