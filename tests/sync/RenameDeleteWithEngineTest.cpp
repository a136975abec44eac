// The rename and delete worker driving the real rename/delete controller and
// the stand-in engine over a storage folder.
#include <gtest/gtest.h>

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

}  // namespace
}  // namespace ulmora

#endif
