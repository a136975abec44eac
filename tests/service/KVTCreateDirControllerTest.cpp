#include <gtest/gtest.h>

#include "ServiceTestSupport.h"
#include "service/KVTCreateDirController.h"
#include "service/SynListingController.h"
#include "tools/EngineHarness.h"

namespace ulmora::testing {
namespace {

class RecordingCreateDir : public KVTCreateDirHandlerProtocol {
 public:
  void createDirDidStart(KVTCreateDirController& c) override {
    log.add("start");
    running = c.isRunning();
    if (cancelAtStart) c.setCancel(true);
  }
  void createDirDidReceiveData(const std::string& folder) override { log.add("created", folder); }
  void createDirDidFinishSuccessfully(KVTCreateDirController&) override { log.add("finished"); }
  void createDirDidFailWithError(const std::string& e, KVTCreateDirController&) override {
    log.add("failed", e);
  }
  void createDirDidReceiveErrors(const std::string& e) override { log.add("error", e); }
  void createDirDidCancel(KVTCreateDirController&) override { log.add("cancelled"); }

  CallLog log;
  bool cancelAtStart = false;
  bool running = false;
};

class KVTCreateDirControllerTest : public EngineHarness {};

TEST_F(KVTCreateDirControllerTest, RunsAndTheirReports) {
  const std::string maintenance = SynListingController::kMaintenanceMessage;
  struct Case {
    std::string name;
    std::string faults;
    std::string folder;
    bool cancelAtStart;
    std::vector<std::string> calls;  // name[:text]
  };
  const std::vector<Case> cases = {
      {"new tree", "", "/A/B", false, {"start", "created:/A/", "created:/A/B/", "finished"}},
      {"existing", "", "/A/", false, {"start", "finished"}},
      {"blocked",
       "blocked\n",
       "/C",
       false,
       {"start", "failed:" + std::string(SynListingController::kBlockedMessage),
        "failed:@ERROR: account has been blocked"}},
      {"auth",
       "auth-failed\n",
       "/C",
       false,
       {"start", "failed:" + maintenance, "failed:@ERROR: auth failed on module quellar"}},
      {"engine error", "umkvt-error no space\n", "/C", false, {"start", "failed:umkvt error: no space"}},
      {"cancelled", "", "/D", true, {"start", "cancelled"}},
      {"escape",
       "",
       "/x/../../etc",
       false,
       {"failed:umkvt error: invalid folder path (dot component in path)"}},
      {"root", "", "/", false, {"failed:umkvt error: invalid folder path (path names the root itself)"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    writeFaults(c.faults);
    RecordingCreateDir recorder;
    recorder.cancelAtStart = c.cancelAtStart;
    KVTCreateDirController controller;
    controller.setExecutorPath(ULMORA_ENGINE_PATH);
    controller.setDelegate(&recorder);
    controller.setUser(storageUser(storage()));
    controller.startCraeteDir(c.folder);
    std::vector<std::string> calls;
    for (const auto& call : recorder.log.calls())
      calls.push_back(call.name + (call.text.empty() ? "" : ":" + call.text));
    EXPECT_EQ(c.calls, calls);
    EXPECT_FALSE(controller.isRunning());
    if (!c.calls.empty() && c.calls[0] == "start") {
      EXPECT_TRUE(recorder.running);
    }
  }
  writeFaults("");
  auto server = listed(0);
  EXPECT_TRUE(server.count("/A/") && server.count("/A/B/"));
  EXPECT_FALSE(server.count("/C/") || server.count("/D/"));
}

}  // namespace
}  // namespace ulmora::testing
