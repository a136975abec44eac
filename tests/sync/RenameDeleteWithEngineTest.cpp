// The rename and delete worker driving the real rename/delete controller and
// the stand-in engine over a storage folder.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "foundation/JournalStampGenerator.h"
#include "journal/JournalFolder.h"
#include "journal/JournalFormat.h"
#include "platform/ManualClock.h"
#include "service/KVTRenameDeleteController.h"
#include "sync/RenameDeleteFakes.h"
#include "service/ServiceTestSupport.h"
#include "tools/EngineHarness.h"

#ifdef ULMORA_ENGINE_PATH

namespace ulmora {
namespace {

using testing::Calls;

class Host : public RenameDeleteHost {
 public:
  bool checkRenamedFileisUnderBackup(const RenameEntry&) override { return false; }
  bool isRenameCollectionEmpty() override { return dispatcher == nullptr || dispatcher->isRenameCollectionEmpty(); }
  std::string syncRootPath() override { return root; }
  std::string getPathForWritingBackupFiles() override { return backupFolder; }
  std::string getPathForWritingDeleteFiles() override { return deleteFolder; }
  std::string getPathForWritingCreateDirFiles() override { return createDirFolder; }
  RenameDeleteDispatcher* dispatcher = nullptr;
  std::string root, backupFolder, deleteFolder, createDirFolder;
};

class RenameDeleteWithEngineTest : public testing::EngineHarness {
 protected:
  RenameDeleteWithEngineTest() : stamps_(Clock::systemClock()), service_(controller_), loop_(clock_) {
    env_.root = local();
    host_.root = local();
    host_.backupFolder = tmp_.sub("journal/backup");
    host_.deleteFolder = tmp_.sub("journal/events");
    host_.createDirFolder = tmp_.sub("journal/createdir");
    RenameDeleteOptions options;
    options.pause = [](Clock::Duration) { return true; };
    dispatcher_ = std::make_unique<RenameDeleteDispatcher>(queue_, service_, env_, loop_, options);
    host_.dispatcher = dispatcher_.get();
    controller_.setExecutorPath(ULMORA_ENGINE_PATH);
    controller_.setDelegate(dispatcher_.get());
    controller_.setHost(&host_);
    controller_.setJournalStamps(&stamps_, &Clock::systemClock());
    controller_.setUser(testing::storageUser(storage()));
  }

  std::set<std::string> serverPaths() {
    std::set<std::string> paths;
    for (const auto& [name, line] : listed(0))
      if (line.at(testing::kInTrash) == "0") paths.insert(name);
    return paths;
  }
  std::vector<std::string> journalLines(const std::string& folder) {
    std::vector<std::string> lines;
    JournalFolder f(folder);
    for (const std::string& name : f.names()) {
      for (auto& l : journal::splitTextList(f.read(name).value_or(""))) lines.push_back(l);
    }
    std::sort(lines.begin(), lines.end());
    return lines;
  }

  JournalStampGenerator stamps_;
  KVTRenameDeleteController controller_;
  KVTRenameDeleteService service_;
  ManualClock clock_;
  RunLoop loop_;
  testing::FakeRenameDeleteQueue queue_;
  testing::FakeRenameDeleteEnv env_;
  Host host_;
  std::unique_ptr<RenameDeleteDispatcher> dispatcher_;
};

TEST_F(RenameDeleteWithEngineTest, AFolderTheServerNeverHadEndsUploadedWithItsWholeTree) {
  writeLocal("/New/a.txt", "a");
  writeLocal("/New/sub/b.txt", "b");
  queue_.pushRename({{"/Old", "/New"}});
  dispatcher_->StartExcutingEventsCaptured();
  EXPECT_EQ(journalLines(host_.backupFolder), (std::vector<std::string>{"/New/a.txt", "/New/sub/b.txt"}));
  EXPECT_EQ(std::count_if(queue_.calls.begin(), queue_.calls.end(),
                          [](const std::string& c) { return c.rfind("delete:", 0) == 0; }),
            0);
}

TEST_F(RenameDeleteWithEngineTest, AFolderRenameCutOffByTheConnectionDeletesNothingOnTheServer) {
  writeLocal("/Old/a.txt", "a");
  writeLocal("/Old/b.txt", "b");
  ASSERT_EQ(0, upload({"/Old/a.txt", "/Old/b.txt"}).status);
  ASSERT_EQ(0, ::rename(tmp_.sub("local/Old").c_str(), tmp_.sub("local/New").c_str()));
  writeFaults("umkvt-error timeout\n");
  queue_.pushRename({{"/Old", "/New"}});
  dispatcher_->StartExcutingEventsCaptured();
  EXPECT_NE(std::find(queue_.calls.begin(), queue_.calls.end(), "rename:/Old>/New"), queue_.calls.end());
  for (const auto& c : queue_.calls) EXPECT_NE(c.rfind("delete:", 0), 0u) << c;
  writeFaults("");  // the connection is back
  EXPECT_TRUE(serverPaths().count("/Old/a.txt"));

  // The replayed rename goes through.
  queue_.calls.clear();
  queue_.pushRename({{"/Old", "/New"}});
  dispatcher_->StartExcutingEventsCaptured();
  std::set<std::string> paths = serverPaths();
  EXPECT_TRUE(paths.count("/New/a.txt"));
  EXPECT_TRUE(paths.count("/New/b.txt"));
  EXPECT_FALSE(paths.count("/Old/a.txt"));
  loop_.runUntilIdle();
}

TEST_F(RenameDeleteWithEngineTest, RenameThenDeleteOfTheNewNameLeavesNothingBehind) {
  writeLocal("/a.txt", "a");
  ASSERT_EQ(0, upload({"/a.txt"}).status);
  ::unlink(tmp_.sub("local/a.txt").c_str());
  // The input queue writes a pass's deletes before its renames.
  queue_.pushDelete({"/b.txt"});
  queue_.pushRename({{"/a.txt", "/b.txt"}});
  dispatcher_->StartExcutingEventsCaptured();
  std::set<std::string> paths = serverPaths();
  EXPECT_FALSE(paths.count("/a.txt"));
  EXPECT_FALSE(paths.count("/b.txt"));
}

// This computer synced v1 of /Report.bin and renamed it to /draft.txt; the
// server's old name may meanwhile hold another computer's v2, and this
// computer's own upload of the new name may have landed before the rename.
// Whatever the order, the rename and the delete of the old name it falls back
// to move or trash only v1, and another computer's version stays.
TEST_F(RenameDeleteWithEngineTest, ARenameOrItsFallbackDeleteNeverTakesAVersionNotSeenHere) {
  struct Case {
    const char* name;
    bool editedElsewhere;     // another computer uploaded v2 at the old name
    bool newNameUpFirst;      // this computer's upload of the new name came first
    bool rowGoneBeforeDelete; // the old row moved away before the fallback delete
  };
  const Case cases[] = {
      {"newer version, new name up first, row gone", true, true, true},
      {"newer version, new name up first, row still there", true, true, false},
      {"newer version, rename first", true, false, false},
      {"no newer version, new name up first, row gone", false, true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // A fresh account for each case.
    for (const std::string& path : serverPaths()) {
      ASSERT_EQ(0, run({"--work-dir=" + work(), "--remove", "--files-from=" + writeSet({path}, ""),
                        remote()}).status);
    }
    env_.calls.clear();
    env_.rows.clear();
    queue_.calls.clear();
    writeLocal("/Report.bin", "v1");
    ASSERT_EQ(0, upload({"/Report.bin"}).status);
    struct stat st {};
    ASSERT_EQ(0, ::stat(tmp_.sub("local/Report.bin").c_str(), &st));
    env_.rows["/Report.bin"] = engineset::SeenVersion{st.st_size, st.st_mtim.tv_sec, {}};
    if (c.editedElsewhere) {
      writeLocal("/Report.bin", "v2 from the other computer");
      ASSERT_EQ(0, upload({"/Report.bin"}).status);
    }
    ASSERT_EQ(0, ::rename(tmp_.sub("local/Report.bin").c_str(), tmp_.sub("local/draft.txt").c_str()));
    if (c.newNameUpFirst) {
      ASSERT_EQ(0, upload({"/draft.txt"}).status);
    }

    queue_.pushRename({{"/Report.bin", "/draft.txt"}});
    dispatcher_->StartExcutingEventsCaptured();
    ASSERT_NE(std::find(queue_.calls.begin(), queue_.calls.end(), "delete:/Report.bin"), queue_.calls.end());
    EXPECT_FALSE(serverPaths().count("/draft.txt") && !c.newNameUpFirst) << "another computer's version moved";
    if (c.rowGoneBeforeDelete) env_.rows.clear();
    queue_.pushDelete({"/Report.bin"});
    dispatcher_->StartExcutingEventsCaptured();
    EXPECT_EQ(serverPaths().count("/Report.bin"), c.editedElsewhere ? 1u : 0u);
    EXPECT_EQ(env_.has("fetch:/Report.bin"), c.editedElsewhere);
    ::unlink(tmp_.sub("local/draft.txt").c_str());
  }
  loop_.runUntilIdle();
}

}  // namespace
}  // namespace ulmora

#endif
