// The engine's one-shot callers: the synchronous runner, the password
// encoder and the asynchronous folder search.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>

#include "EngineTestSupport.h"
#include "TestTempDir.h"
#include "engine/EngineLineRecord.h"
#include "engine/KVTPEncodingController.h"
#include "engine/KVTSearchController.h"
#include "engine/QLSYNCParser.h"
#include "engine/QuotaHandlerData.h"
#include "engine/UMCommandExcecuter.h"
#include "platform/FileUtil.h"
#include "platform/RunLoop.h"

namespace ulmora {
namespace {

using namespace std::chrono_literals;

class EngineCallers : public ::testing::Test {
 protected:
  void SetUp() override {
    store = dir.sub("store");
    root = dir.sub("Sync");
    ASSERT_TRUE(fileutil::makeDirectories(store));
    ASSERT_TRUE(fileutil::makeDirectories(root));
  }

  User account() const {
    User u;
    u.setUserName("alice");
    u.setPassword("pw");
    u.setKVTServerIP(store);
    return u;
  }

  // Puts files on the server through the manager, as a sync would.
  void upload(const std::vector<std::string>& paths) {
    for (const std::string& p : paths) {
      ASSERT_TRUE(fileutil::makeDirectories(fileutil::parentPath(root + p)));
      ASSERT_TRUE(fileutil::writeFileAtomically(root + p, "contents"));
    }
    testing::RecordingDelegate d;
    KVTBackupManager m;
    m.setDelegate(&d);
    m.setExecutorPath(testing::enginePath());
    m.setApplicationSupportFolder(dir.sub("support"));
    m.setApplicationFileResolver([this](int i) { return dir.sub("app" + std::to_string(i)); });
    m.setBackupSourceFolder(root);
    m.setUserInfo(account());
    m.createTempFilePaths();
    m.setFileFolderSetForOperation(paths);
    m.startBackup();
    ASSERT_TRUE(d.waitForEnding());
    ASSERT_EQ(d.ending(), "operationDidFinishSuccessfully");
  }

  testing::TestTempDir dir;
  std::string store, root;
};

TEST_F(EngineCallers, ExcecuterReturnsOutputErrorAndProcessId) {
  UMCommandExcecuter run;
  run.setCommandString(testing::enginePath());
  run.setCommandArguments({"--get-quota", "--xml-output", "--proxy=", "alice@" + store + "::quellar/"});
  run.setEnvironment({{"RSYNC_PASSWORD", "pw"}});
  std::string err = "stale";
  pid_t pid = -1;
  std::optional<std::string> out = run.excecute(&err, &pid);
  ASSERT_TRUE(out);
  EXPECT_GT(pid, 0);
  EXPECT_TRUE(err.empty());
  QuotaHandlerData quota;
  std::string total;
  size_t start = 0;
  while (start < out->size()) {
    size_t nl = out->find('\n', start);
    if (QLSYNCParser::ParseLineStr(out->substr(start, nl - start), quota, QLSYNCParser::kQuota) == 0 &&
        quota.totalQuota()) {
      total = *quota.totalQuota();
    }
    start = nl == std::string::npos ? out->size() : nl + 1;
  }
  EXPECT_EQ(total, "10737418240");
}

TEST_F(EngineCallers, ExcecuterReportsAnEngineThatCannotStart) {
  UMCommandExcecuter run;
  run.setCommandString(dir.sub("missing-engine"));
  std::string err;
  pid_t pid = 0;
  EXPECT_FALSE(run.excecute(&err, &pid));
  EXPECT_FALSE(err.empty());
  EXPECT_EQ(pid, -1);
}

TEST_F(EngineCallers, ExcecuterStopsAHungEngineAtItsTimeOut) {
  ASSERT_TRUE(fileutil::writeFileAtomically(store + "/faults", "stall-after 0\n"));
  ASSERT_TRUE(fileutil::writeFileAtomically(root + "/a", "x"));
  ASSERT_TRUE(fileutil::writeFileAtomically(dir.sub("set"), root + "\n/a\n"));
  UMCommandExcecuter run;
  run.setCommandString(testing::enginePath());
  run.setCommandArguments({"--files-from=" + dir.sub("set"), root, "alice@" + store + "::quellar/"});
  run.setTimeout(300ms);
  std::string err;
  run.excecute(&err, nullptr);
  EXPECT_NE(err.find("umkvt error: timeout"), std::string::npos) << err;
}

TEST_F(EngineCallers, EncoderAnswersTheEnginesEncodingAndNothingOnFailure) {
  std::optional<std::string> encoded = KVTPEncodingController(testing::enginePath()).getEncodedPassword("pw");
  ASSERT_TRUE(encoded);
  EXPECT_EQ(encoded->rfind("kvt1:", 0), 0u) << *encoded;
  EXPECT_EQ(encoded->find("pw"), std::string::npos);
  EXPECT_FALSE(KVTPEncodingController(dir.sub("missing-engine")).getEncodedPassword("pw"));
  EXPECT_FALSE(KVTPEncodingController(testing::enginePath()).getEncodedPassword(""));
}

TEST_F(EngineCallers, EncodedPasswordOpensTheAccount) {
  ASSERT_TRUE(fileutil::writeFileAtomically(store + "/passwd", "alice:s3cret\n"));
  User u = account();
  u.setPassword("s3cret");
  u.setEncPassword(*KVTPEncodingController(testing::enginePath()).getEncodedPassword("s3cret"));
  ASSERT_TRUE(fileutil::writeFileAtomically(root + "/a", "x"));
  testing::RecordingDelegate d;
  KVTBackupManager m;
  m.setDelegate(&d);
  m.setExecutorPath(testing::enginePath());
  m.setApplicationSupportFolder(dir.sub("support"));
  m.setApplicationFileResolver([this](int i) { return dir.sub("app" + std::to_string(i)); });
  m.setBackupSourceFolder(root);
  // The plain password in the environment is wrong: only the encoded file can open the account.
  u.setPassword("not-the-password");
  m.setUserInfo(u);
  m.createTempFilePaths();
  m.setFileFolderSetForOperation({"/a"});
  m.startBackup();
  ASSERT_TRUE(d.waitForEnding());
  EXPECT_EQ(d.ending(), "operationDidFinishSuccessfully");
}

class SearchDelegate : public KVTSearchControllerDelegateProtocol {
 public:
  void searchDidStart(KVTSearchController&) override { log += "start;"; }
  void searchDidReceiveData(const PropertyList& entries, KVTSearchController& c) override {
    log += "data;";
    thread = std::this_thread::get_id();
    this->entries = entries;
    (void)c;
    if (releaseOnData) {
      owned.reset();
      RunLoop::current().stop();
    }
  }
  void searchDidFinishSuccessfully(KVTSearchController&) override {
    log += "finish;";
    RunLoop::current().stop();
  }
  void searchDidFailWithError(const std::string& e, KVTSearchController&) override {
    log += "fail;";
    error = e;
    RunLoop::current().stop();
  }

  std::string log;
  std::string error;
  PropertyList entries;
  std::thread::id thread;
  bool releaseOnData = false;
  std::unique_ptr<KVTSearchController> owned;
};

std::unique_ptr<KVTSearchController> makeSearch(SearchDelegate& d, const User& u, const std::string& root) {
  auto c = std::make_unique<KVTSearchController>();
  c->setDelegate(&d);
  c->setExecutorPath(testing::enginePath());
  c->setUser(u);
  c->setProxyDetails(ProxyController());
  c->setPathRoot(root);
  c->setSearchKey("");
  return c;
}

TEST_F(EngineCallers, SearchReportsEntriesOnTheStartingThreadsLoop) {
  upload({"/docs/a.txt", "/docs/sub/b.txt", "/other/c.txt"});
  RunLoop loop;
  RunLoop::setCurrent(&loop);
  SearchDelegate d;
  auto search = makeSearch(d, account(), "/docs");
  EXPECT_EQ(search->rootPath(), "/docs/");
  search->startSearch();
  EXPECT_EQ(d.log, "start;") << "searchDidStart comes at once; the rest only through the loop";
  loop.runFor(60s);
  RunLoop::setCurrent(nullptr);
  EXPECT_EQ(d.log, "start;data;finish;");
  EXPECT_EQ(d.thread, std::this_thread::get_id());
  std::set<std::string> names;
  ASSERT_TRUE(d.entries.asArray());
  for (const PropertyList& e : *d.entries.asArray()) {
    names.insert(*e.stringFor("FileName"));
    for (const char* key : {"VersionInfo", "FileSize", "FileModificationDate", "ThumbnailStatus", "InTrash",
                            "ref_id", "FileType"}) {
      EXPECT_TRUE(e.stringFor(key)) << key;
    }
  }
  EXPECT_EQ(names, (std::set<std::string>{"/docs/a.txt", "/docs/sub/", "/docs/sub/b.txt"}));
}

TEST_F(EngineCallers, SearchFailureCarriesTheEnginesText) {
  ASSERT_TRUE(fileutil::writeFileAtomically(store + "/faults", "umkvt-error index unavailable\n"));
  RunLoop loop;
  RunLoop::setCurrent(&loop);
  SearchDelegate d;
  auto search = makeSearch(d, account(), "/");
  search->startSearch();
  loop.runFor(60s);
  RunLoop::setCurrent(nullptr);
  EXPECT_EQ(d.log, "start;fail;");
  EXPECT_EQ(d.error, "umkvt error: index unavailable");
}

TEST_F(EngineCallers, SearchOwnerMayReleaseTheControllerFromItsDataReport) {
  upload({"/a.txt"});
  RunLoop loop;
  RunLoop::setCurrent(&loop);
  SearchDelegate d;
  d.releaseOnData = true;
  d.owned = makeSearch(d, account(), "/");
  d.owned->startSearch();
  loop.runFor(60s);
  loop.runUntilIdle();  // the finish report, already queued, must find the controller gone
  RunLoop::setCurrent(nullptr);
  EXPECT_EQ(d.log, "start;data;");
  EXPECT_EQ(d.owned, nullptr);
}

}  // namespace
}  // namespace ulmora
