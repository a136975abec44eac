#include "sync/runs/AccountEngines.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <csignal>

#include "TestTempDir.h"
#include "engine/EngineProcessRecord.h"
#include "engine/KVTBackupManager.h"
#include "platform/FileUtil.h"
#include "platform/ManualClock.h"
#include "platform/ProcessRunner.h"
#include "service/SynListingController.h"

namespace ulmora {
namespace {

struct Rig {
  testing::TestTempDir dir;
  ManualClock clock;
  std::string app = dir.sub("app");

  AccountEngines::Setup setup() const {
    return AccountEngines::Setup{"me", "sync-user", dir.sub("engine.sh"), app, nullptr};
  }
  // An engine that never reports: a run of it lasts until it is stopped.
  void writeHangingEngine() const {
    dir.writeFile("engine.sh", "#!/bin/sh\nexec sleep 60\n");
    ::chmod(dir.sub("engine.sh").c_str(), 0700);
  }
};

TEST(AccountEnginesTest, EachManagerAndListingIsSetUpForItsOwnDirection) {
  Rig rig;
  AccountEngines engines(rig.setup(), rig.clock);
  const std::string operation = fileutil::joinPath(rig.app, "Operation");
  struct Case {
    const char* name;
    KVTBackupManager& manager;
    std::string workFolder;
  } managers[] = {
      {"uploads", engines.uploads(), fileutil::joinPath(operation, "syncUp")},
      {"downloads", engines.downloads(), fileutil::joinPath(operation, "syncDown")},
  };
  for (const Case& c : managers) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.manager.workFolder(), c.workFolder);
  }
  EXPECT_FALSE(engines.changeListing().forRefIDUpdate());
  EXPECT_TRUE(engines.refIdListing().forRefIDUpdate());
  EXPECT_EQ(engines.liveChangeListing(), &engines.changeListing());
  EXPECT_TRUE(engines.changeListingMayStart());
  engines.changeListing().SetIsRetryListingCalledForNoData(true);
  EXPECT_FALSE(engines.changeListingMayStart());
}

TEST(AccountEnginesTest, OnlyEnginesThisAccountNotedAreStoppedAtConstruction) {
  struct Case {
    const char* name;
    const char* folder;  // below the rig's folder
    bool stopped;
  } cases[] = {
      {"an upload engine", "app/Operation/syncUp", true},
      {"a download engine", "app/Operation/syncDown", true},
      {"another account's engine", "other/Operation/syncUp", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Rig rig;
    ProcessOptions o;
    o.executable = "/bin/sleep";
    o.arguments = {"60"};
    o.timeout = std::chrono::seconds(120);
    ChildProcess leftover(o);
    ASSERT_TRUE(leftover.start());
    const std::string folder = rig.dir.sub(c.folder);
    ASSERT_TRUE(fileutil::makeDirectories(folder));
    ASSERT_TRUE(EngineProcessRecord::write(EngineProcessRecord::pathFor(folder, 1), leftover.pid()));

    AccountEngines engines(rig.setup(), rig.clock);
    EXPECT_EQ(engines.leftoversStopped(), c.stopped ? 1 : 0);
    if (c.stopped) {
      EXPECT_EQ(leftover.wait().termSignal, SIGKILL);
    } else {
      EXPECT_TRUE(leftover.isRunning());
      leftover.kill(SIGKILL);
      leftover.wait();
    }
  }
}

TEST(AccountEnginesTest, AfterStopNoRunOrListingStartsAndTheManagersStillAnswer) {
  Rig rig;
  rig.writeHangingEngine();
  AccountEngines engines(rig.setup(), rig.clock);
  ASSERT_TRUE(fileutil::makeDirectories(rig.dir.sub("root")));
  engines.uploads().setBackupSourceFolder(rig.dir.sub("root"));
  engines.uploads().setFileFolderSetForOperation({"/a.txt"});
  engines.uploads().startBackup();
  ASSERT_TRUE(engines.uploads().isRunning());
  rig.clock.advance(std::chrono::seconds(1));
  ASSERT_TRUE(engines.uploads().isRunning());  // its engine hangs

  engines.stop();
  EXPECT_FALSE(engines.uploads().isRunning());  // the hanging run was ended
  EXPECT_EQ(engines.liveChangeListing(), nullptr);
  EXPECT_FALSE(engines.changeListingMayStart());
  EXPECT_FALSE(engines.changeListingRunning());
  for (KVTBackupManager* m : {&engines.uploads(), &engines.downloads()}) {
    m->setFileFolderSetForOperation({"/b.txt"});
    m == &engines.uploads() ? m->startBackup() : m->startRestore();
    EXPECT_FALSE(m->isRunning());
  }
  engines.stop();  // again: nothing left to end
}

TEST(AccountEnginesTest, ADiscoveredServerReachesBothManagers) {
  Rig rig;
  AccountEngines engines(rig.setup(), rig.clock);
  for (KVTBackupManager* m : {&engines.uploads(), &engines.downloads()}) {
    m->editUserInfo([](User& u) { u.setKVTServerIP("old.example"); });
  }
  engines.useServer("new.example");
  EXPECT_EQ(engines.uploads().userInfo().kvtServerIP(), "new.example");
  EXPECT_EQ(engines.downloads().userInfo().kvtServerIP(), "new.example");
}

}  // namespace
}  // namespace ulmora
