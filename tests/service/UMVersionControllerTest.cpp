#include <gtest/gtest.h>

#include "ServiceTestSupport.h"
#include "platform/RunLoop.h"
#include "service/UMVersionController.h"
#include "tools/EngineHarness.h"

namespace ulmora::testing {
namespace {

class RecordingVersions : public UMVersionControllerDelegateProtocol, public VersionRestoreHost {
 public:
  void versionHistoryDidReceiveData(const std::string& path, const PropertyList& versions,
                                    UMVersionController&) override {
    log.add("versions", path);
    this->versions = versions;
    RunLoop::current().stop();
  }
  void versionHistoryDidFailWithError(const std::string&, const std::string& e,
                                      UMVersionController&) override {
    log.add("historyFailed", e);
    RunLoop::current().stop();
  }
  void versionRestoreDidFinish(const std::string&, int64_t v, UMVersionController&) override {
    log.add("restored", std::to_string(v));
    RunLoop::current().stop();
  }
  void versionRestoreDidFailWithError(const std::string&, const std::string& e,
                                      UMVersionController&) override {
    log.add("restoreFailed", e);
    RunLoop::current().stop();
  }
  void VersionRestoreStarted() override { log.add("VersionRestoreStarted"); }
  void VersionRestoreEnded() override { log.add("VersionRestoreEnded"); }
  std::string syncRootPath() override { return root; }

  CallLog log;
  PropertyList versions;
  std::string root;
};

class UMVersionControllerTest : public EngineHarness {
 protected:
  UMVersionControllerTest() {
    recorder_.root = local();
    controller_.setExecutorPath(ULMORA_ENGINE_PATH);
    controller_.setDelegate(&recorder_);
    controller_.setHost(&recorder_);
    controller_.setUserInfo(storageUser(storage()));
  }
  void waitForReport() { RunLoop::current().runFor(std::chrono::seconds(60)); }

  RecordingVersions recorder_;
  UMVersionController controller_;
};

TEST_F(UMVersionControllerTest, ListsVersionsNewestFirstAndRestoresOne) {
  writeLocal("/v.txt", "first");
  ASSERT_EQ(0, upload({"/v.txt"}).status);
  writeLocal("/v.txt", "second!");
  ASSERT_EQ(0, upload({"/v.txt"}).status);

  controller_.showVersionHistory(local() + "/v.txt");
  waitForReport();
  ASSERT_EQ(1, recorder_.log.count("versions"));
  const PropertyList::Array& versions = *recorder_.versions.asArray();
  ASSERT_EQ(2u, versions.size());
  EXPECT_EQ("2", versions[0].stringFor("file_ver"));
  EXPECT_EQ("1", versions[0].stringFor("current"));
  EXPECT_EQ("5", versions[1].stringFor("size"));

  controller_.restoreVersion(local() + "/v.txt", 1);
  waitForReport();
  EXPECT_THAT(recorder_.log.names(),
              ::testing::ElementsAre("versions", "VersionRestoreStarted", "VersionRestoreEnded", "restored"));
  EXPECT_EQ("first", readWholeFile(local() + "/v.txt"));
}

TEST_F(UMVersionControllerTest, RefusesPathsOutsideTheRootAndReportsEngineErrors) {
  struct Case {
    std::string path;
    std::string error;
  };
  const std::vector<Case> cases = {
      {"/etc/passwd", "umkvt error: not a file under the sync root"},
      {local(), "umkvt error: not a file under the sync root"},
      {local() + "/a/../../x", "umkvt error: dot component in path"},
      {local() + "/missing.txt", "SFERROR: versions failed. Reason: No such file or directory"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    RecordingVersions recorder;
    recorder.root = local();
    controller_.setDelegate(&recorder);
    controller_.showVersionHistory(c.path);
    waitForReport();
    EXPECT_EQ(std::vector<std::string>{c.error}, recorder.log.texts("historyFailed"));
  }
}

}  // namespace
}  // namespace ulmora::testing
