#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <set>

#include "ServiceTestSupport.h"
#include "foundation/JournalStampGenerator.h"
#include "journal/JournalFolder.h"
#include "journal/JournalFormat.h"
#include "service/KVTRenameDeleteController.h"
#include "tools/EngineHarness.h"

namespace ulmora::testing {
namespace {

class RecordingRenameDelete : public KVTRenameDeleteHandlerProtocol,
                              public RenameDeleteHost,
                              public NotificationPoster {
 public:
  // Delegate.
  void renameDeleteDidStart(KVTRenameDeleteController& c, const std::string& type) override {
    log.add("start", type);
    if (onStart) onStart(c);
  }
  void renameDidReceiveData(const std::string& o, const std::string& n) override {
    log.add("renamed", o + " -> " + n);
  }
  void deleteDidReceiveData(const std::string& p) override { log.add("deleted", p); }
  void renameDeleteDidFinishSuccessfully(KVTRenameDeleteController&, const std::string& type) override {
    log.add("finished", type);
  }
  void renameDeleteDidFailWithError(const std::string& e, KVTRenameDeleteController&,
                                    const std::string& type) override {
    log.add("failed", type + ": " + e);
  }
  void renameDeleteDidRetry(const std::vector<RenameEntry>& r) override {
    std::string text;
    for (const RenameEntry& e : r) text += e.originalPath + " ";
    log.add("retry", text);
  }
  void renameDeleteDidReceiveErrors(const std::string& p, const std::string& type) override {
    log.add("error", type + " " + p);
  }
  void deleteItemRefused(const std::string& p, const std::string& message) override {
    log.add("deleteRefused", p + ": " + message);
  }
  void renameItemRefused(const RenameEntry& r, const std::string& message) override {
    log.add("refused", r.originalPath + " -> " + r.renamedPath + ": " + message);
  }
  void renameDeleteDidCancel(KVTRenameDeleteController&, const std::string& type) override {
    log.add("cancel", type);
  }
  void deleteDidCancel(KVTRenameDeleteController&) override { log.add("deleteCancel"); }

  // Host.
  bool checkRenamedFileisUnderBackup(const RenameEntry& r) override {
    return heldBack.count(r.originalPath) > 0;
  }
  bool isRenameCollectionEmpty() override { return collectionEmpty; }
  std::string syncRootPath() override { return root; }
  std::string getPathForWritingBackupFiles() override { return backupFolder; }
  std::string getPathForWritingDeleteFiles() override { return deleteFolder; }
  std::string getPathForWritingCreateDirFiles() override { return createDirFolder; }
  std::optional<engineset::SeenVersion> seenVersion(const std::string& path) override {
    auto found = seen.find(path);
    if (found == seen.end()) return std::nullopt;
    return found->second;
  }

  // Poster.
  void post(const std::string& name, const PropertyList& info) override {
    std::string text;
    if (const PropertyList* list = info.find("InsyncList")) {
      for (const PropertyList& p : *list->asArray()) text += *p.asString() + " ";
    }
    log.add("post " + name, text);
  }

  CallLog log;
  std::set<std::string> heldBack;
  engineset::SeenVersions seen;
  bool collectionEmpty = true;
  std::string root, backupFolder, deleteFolder, createDirFolder;
  std::function<void(KVTRenameDeleteController&)> onStart;
};

class KVTRenameDeleteControllerTest : public EngineHarness {
 protected:
  KVTRenameDeleteControllerTest() : stamps_(Clock::systemClock()) {
    recorder_.root = local();
    recorder_.backupFolder = tmp_.sub("journal/backup");
    recorder_.deleteFolder = tmp_.sub("journal/events");
    recorder_.createDirFolder = tmp_.sub("journal/createdir");
    controller_.setExecutorPath(ULMORA_ENGINE_PATH);
    controller_.setDelegate(&recorder_);
    controller_.setHost(&recorder_);
    controller_.setNotificationPoster(&recorder_);
    controller_.setJournalStamps(&stamps_, &Clock::systemClock());
    controller_.setUser(storageUser(storage()));
  }

  // name -> content of every journal file in `folder`.
  std::map<std::string, std::string> journal(const std::string& folder) {
    std::map<std::string, std::string> files;
    JournalFolder f(folder);
    for (const std::string& name : f.names()) files[name] = f.read(name).value_or("?");
    return files;
  }
  std::set<std::string> liveServerPaths() {
    std::set<std::string> paths;
    for (const auto& [name, line] : listed(0))
      if (line.at(kInTrash) == "0") paths.insert(name);
    return paths;
  }

  JournalStampGenerator stamps_;
  RecordingRenameDelete recorder_;
  KVTRenameDeleteController controller_;
};

TEST_F(KVTRenameDeleteControllerTest, RenameRunReportsWhatTheServerRenamed) {
  for (const char* p : {"/a.txt", "/dir/b.txt", "/dir/b.txt_THSML", "/held.txt"}) writeLocal(p, "x");
  ASSERT_EQ(0, upload({"/a.txt", "/dir/b.txt", "/dir/b.txt_THSML", "/held.txt"}).status);
  recorder_.heldBack = {"/held.txt"};

  controller_.startRenameOperation(
      {{"/a.txt", "/a2.txt"}, {"/dir", "/dir2"}, {"/held.txt", "/held2.txt"}, {"/../etc/passwd", "/stolen"}});

  EXPECT_EQ(std::vector<std::string>{"rename"}, recorder_.log.texts("start"));
  std::vector<std::string> renamed = recorder_.log.texts("renamed");
  EXPECT_THAT(renamed, ::testing::Contains("/a.txt -> /a2.txt"));
  EXPECT_THAT(renamed, ::testing::Contains("/dir/b.txt -> /dir2/b.txt"));
  for (const std::string& r : renamed) EXPECT_EQ(std::string::npos, r.find("_TH")) << r;
  EXPECT_EQ(std::vector<std::string>{"rename"}, recorder_.log.texts("finished"));
  EXPECT_EQ(0, recorder_.log.count("retry"));
  EXPECT_THAT(controller_.oldPathList(), ::testing::ElementsAre("/a.txt", "/dir"));
  EXPECT_THAT(controller_.newPathList(), ::testing::ElementsAre("/a2.txt", "/dir2"));

  EXPECT_EQ((std::set<std::string>{"/a2.txt", "/dir2/", "/dir2/b.txt", "/dir2/b.txt_THSML", "/held.txt"}),
            liveServerPaths());
  // The collection was empty: the renamed items are announced in sync, as full paths.
  std::vector<std::string> posts = recorder_.log.texts("post FilesInsyncListGot");
  ASSERT_EQ(1u, posts.size());
  EXPECT_NE(std::string::npos, posts[0].find(local() + "/a2.txt "));
  EXPECT_NE(std::string::npos, posts[0].find(local() + "/dir2/b.txt "));
}

TEST_F(KVTRenameDeleteControllerTest, RenameOfWhatTheServerLacksIsRetriedThenLeftForUpload) {
  writeLocal("/kept.txt", "k");
  ASSERT_EQ(0, upload({"/kept.txt"}).status);
  writeLocal("/found.txt", "f");  // the local result of a rename the server never saw the start of
  writeLocal("/newdir/inner.txt", "i");
  ASSERT_EQ(0, mkdir(tmp_.sub("local/newdir/empty").c_str(), 0700));

  controller_.startRenameOperation(
      {{"/kept.txt", "/kept2.txt"}, {"/lost.txt", "/found.txt"}, {"/lostdir", "/newdir"}});

  EXPECT_EQ(std::vector<std::string>{"/lost.txt /lostdir "}, recorder_.log.texts("retry"));
  std::vector<std::string> failed = recorder_.log.texts("failed");
  ASSERT_EQ(1u, failed.size());
  EXPECT_NE(std::string::npos,
            failed[0].find("rename: SFERROR: rename failed. Reason: No such file or directory"));
  EXPECT_EQ(0, recorder_.log.count("finished"));

  auto uploads = journal(recorder_.backupFolder);
  ASSERT_EQ(1u, uploads.size());
  EXPECT_TRUE(uploads.begin()->first.ends_with("_backup"));
  std::vector<std::string> lines = journal::splitTextList(uploads.begin()->second);
  EXPECT_THAT(lines, ::testing::UnorderedElementsAre("/found.txt", "/newdir/inner.txt"));
  auto createDirs = journal(recorder_.createDirFolder);
  ASSERT_EQ(1u, createDirs.size());
  EXPECT_TRUE(createDirs.begin()->first.ends_with("_createdir"));
  EXPECT_EQ(tmp_.sub("local/newdir/empty"), createDirs.begin()->second);
}

// The dispatcher tells a new name the server holds from an old item it lacks
// by each refusal's own text.
TEST_F(KVTRenameDeleteControllerTest, EachRenameRefusedOnItsRetryIsReportedWithItsText) {
  writeLocal("/draft.txt", "first");
  writeLocal("/.draft.txt.tmp", "second");
  ASSERT_EQ(0, upload({"/draft.txt", "/.draft.txt.tmp"}).status);

  controller_.startRenameOperation({{"/.draft.txt.tmp", "/draft.txt"}, {"/lost.txt", "/found.txt"}});

  std::vector<std::string> refused = recorder_.log.texts("refused");
  ASSERT_EQ(2u, refused.size());
  EXPECT_THAT(refused[0], ::testing::StartsWith("/.draft.txt.tmp -> /draft.txt: "));
  EXPECT_THAT(refused[0], ::testing::HasSubstr("File exists"));
  EXPECT_THAT(refused[1], ::testing::StartsWith("/lost.txt -> /found.txt: "));
  EXPECT_THAT(refused[1], ::testing::HasSubstr("No such file or directory"));
  EXPECT_EQ(1, recorder_.log.count("failed"));
}

TEST_F(KVTRenameDeleteControllerTest, JournalFilesWaitUntilTheRenameCollectionIsEmpty) {
  writeLocal("/a.txt", "a");
  ASSERT_EQ(0, upload({"/a.txt"}).status);
  recorder_.collectionEmpty = false;
  controller_.addFilesToDelete({"/x.txt", "/y/"});
  controller_.startRenameOperation({{"/a.txt", "/b.txt"}});
  EXPECT_TRUE(journal(recorder_.deleteFolder).empty());
  EXPECT_EQ(0, recorder_.log.count("post FilesInsyncListGot"));
  EXPECT_EQ(2u, controller_.deleteItems().size());

  recorder_.collectionEmpty = true;
  controller_.startOperation(PropertyList(), "rename");          // nothing to send, still the last batch
  EXPECT_EQ(0, recorder_.log.count("post FilesInsyncListGot"));  // Null does nothing at all

  controller_.startRenameOperation({});
  auto deletes = journal(recorder_.deleteFolder);
  ASSERT_EQ(1u, deletes.size());
  EXPECT_TRUE(deletes.begin()->first.ends_with("_delete"));
  EXPECT_EQ("/x.txt\n/y/", deletes.begin()->second);
  EXPECT_TRUE(controller_.deleteItems().empty());
  EXPECT_EQ(std::vector<std::string>{local() + "/b.txt "}, recorder_.log.texts("post FilesInsyncListGot"));
}

TEST_F(KVTRenameDeleteControllerTest, DeleteRunReportsEachItem) {
  for (const char* p : {"/a.txt", "/b.txt", "/pic.jpg_THTIN"}) writeLocal(p, "x");
  ASSERT_EQ(0, upload({"/a.txt", "/b.txt", "/pic.jpg_THTIN"}).status);

  PropertyList entries(PropertyList::Array{"/a.txt", "b.txt", "/pic.jpg_THTIN", "/nothere.txt", "/a/../b"});
  controller_.startOperation(entries, "delete");

  EXPECT_EQ(std::vector<std::string>{"delete"}, recorder_.log.texts("start"));
  EXPECT_THAT(recorder_.log.texts("deleted"), ::testing::ElementsAre("/a.txt", "/b.txt"));
  EXPECT_THAT(recorder_.log.texts("error"), ::testing::ElementsAre("delete /nothere.txt"));
  EXPECT_THAT(recorder_.log.texts("failed"),
              ::testing::ElementsAre("delete: SFERROR: delete failed. Reason: No such file or directory"));
  EXPECT_TRUE(liveServerPaths().empty());
}

// A delete trashes a file only while the server holds the version this
// computer last synced; another computer's newer version stays live.
TEST_F(KVTRenameDeleteControllerTest, DeleteOfAVersionNeverSeenIsRefusedAndTheFileStays) {
  auto stamped = [&](const std::string& path, const std::string& text) {
    struct timespec times[2] = {{0, UTIME_OMIT}, {1700000000, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, writeLocal(path, text).c_str(), times, 0), 0) << path;
  };
  for (const char* p : {"/seen.txt", "/changed.txt", "/unchecked.txt"}) stamped(p, "synced");
  ASSERT_EQ(0, upload({"/seen.txt", "/changed.txt", "/unchecked.txt"}).status);
  const std::string refOfSeen = listed(0)["/seen.txt"][kRefId];
  recorder_.seen = {{"/seen.txt", {6, 1700000000, refOfSeen}}, {"/changed.txt", {6, 1700000000, ""}}};
  stamped("/changed.txt", "newer from elsewhere");
  ASSERT_EQ(0, upload({"/changed.txt"}).status);

  controller_.startDeleteOperation({"/seen.txt", "/changed.txt", "/unchecked.txt"});

  EXPECT_THAT(recorder_.log.texts("deleted"), ::testing::ElementsAre("/seen.txt", "/unchecked.txt"));
  EXPECT_THAT(recorder_.log.texts("deleteRefused"),
              ::testing::ElementsAre("/changed.txt: SFERROR: version check failed. Reason: Stale file handle"));
  EXPECT_EQ(liveServerPaths(), std::set<std::string>{"/changed.txt"});
  EXPECT_EQ(listed(0)["/changed.txt"][kSize], "20");
}

TEST_F(KVTRenameDeleteControllerTest, RunEndings) {
  struct Case {
    std::string name;
    std::string faults;
    bool cancelAtStart;
    std::string type;
    std::string ending;
  };
  const std::vector<Case> cases = {
      {"delete ok", "", false, "delete", "finished:delete"},
      {"delete cancelled", "", true, "delete", "deleteCancel:"},
      {"rename cancelled", "", true, "rename", "cancel:rename"},
      {"maintenance", "maintenance\n", false, "delete",
       "failed:delete: @ERROR: account is under maintenance"},
      {"password", "password-mismatch\n", false, "rename", "failed:rename: @ERROR: password mismatch"},
  };
  writeLocal("/a.txt", "a");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    writeFaults("");
    ASSERT_EQ(0, upload({"/a.txt"}).status);
    writeFaults(c.faults);
    RecordingRenameDelete recorder;
    recorder.root = local();
    recorder.onStart = [&](KVTRenameDeleteController& controller) {
      EXPECT_TRUE(controller.isRunning());
      if (c.cancelAtStart) controller.setCancel(true);
    };
    KVTRenameDeleteController controller;
    controller.setExecutorPath(ULMORA_ENGINE_PATH);
    controller.setDelegate(&recorder);
    controller.setUser(storageUser(storage()));
    if (c.type == "delete") {
      controller.startDeleteOperation({"/a.txt"});
    } else {
      controller.startRenameOperation({{"/a.txt", "/z.txt"}});
    }
    EXPECT_FALSE(controller.isRunning());
    auto calls = recorder.log.calls();
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(c.ending, calls.back().name + ":" + calls.back().text);
    EXPECT_EQ(1, recorder.log.count("start"));
  }
}

}  // namespace
}  // namespace ulmora::testing
