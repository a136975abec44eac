// The companions' control commands against the running agent: pause and
// resume in any order, then an unlink that stops the account's work and
// leaves the user's files alone.
#include <gtest/gtest.h>

#include <string>

#include "AgentHarness.h"
#include "TestTempDir.h"
#include "ipc/IpcPaths.h"

namespace ulmora {
namespace {

using namespace e2e;

TEST(ControlCommandsTest, PauseResumeInAnyOrderThenUnlinkLeavesTheFiles) {
  testing::TestTempDir dir;
  const AgentFolders folders(dir.sub("home"), dir.sub("run"));
  const std::string& home = folders.home;
  const std::string& root = folders.root;
  const std::string loginDetails = home + "/.config/ulmora/LastUserLoginDetails.plist";
  ASSERT_TRUE(fileutil::makeDirectories(root + "/Docs"));
  ASSERT_TRUE(fileutil::writeFileAtomically(root + "/Docs/kept.txt", "mine"));
  ASSERT_TRUE(writeAccount(home, "demo", root));

  // At real speed: the suite's other case runs scaled.
  AgentProcess agent(home, folders.runtime, {}, kRealTime);
  ASSERT_TRUE(agent.start());
  auto finder = connectWhenListening(folders.socket(IpcChannel::kFinder));
  auto monitor = connectWhenListening(folders.socket(IpcChannel::kMonitor));
  ASSERT_TRUE(finder && monitor) << "the agent never listened on its sockets";
  ASSERT_TRUE(nextOfType(*finder, 3)) << "the account never started";

  auto paused = [&] {
    auto details = PropertyList::readFile(loginDetails);
    const PropertyList* flag = details ? details->find("Pause") : nullptr;
    return flag != nullptr && flag->boolValue();
  };
  // Resume without a pause, pause twice, resume: each is echoed to the file
  // manager and the account ends up running.
  for (int command : {503, 502, 502, 503}) {
    SCOPED_TRACE(command);
    ASSERT_TRUE(sendCommand(*monitor, command));
    ASSERT_TRUE(nextOfType(*finder, command));
    EXPECT_TRUE(eventually([&] { return paused() == (command == 502); }));
  }

  // The cycle's timer comes once the account's settings are encoded, which a
  // busy machine can hold past the commands above: the unlink must find it.
  const std::string trace = home + "/.local/state/ulmora/Logs/SyncDaemonTrace.log";
  ASSERT_TRUE(eventually([&] {
    return fileutil::readFile(trace).value_or("").find("syncOperationTimer scheduled") != std::string::npos;
  })) << "the cycle never started";
  ASSERT_TRUE(sendCommand(*monitor, 50));
  EXPECT_TRUE(eventually([&] {
    return fileutil::readFile(trace).value_or("").find("syncoperation timer invalidated .") !=
           std::string::npos;
  })) << "the unlink did not stop the cycle";
  // A second unlink is harmless; the agent keeps serving and the files stay.
  ASSERT_TRUE(sendCommand(*monitor, 50));
  ASSERT_TRUE(sendCommand(*monitor, 503));
  ASSERT_TRUE(nextOfType(*finder, 503));
  EXPECT_FALSE(agent.ended());
  EXPECT_EQ(fileutil::readFile(root + "/Docs/kept.txt"), "mine");

  const ProcessResult result = agent.stop();
  EXPECT_EQ(result.termSignal, 0) << result.err;
  EXPECT_EQ(fileutil::readFile(root + "/Docs/kept.txt"), "mine");
}

TEST(ControlCommandsTest, ARecalculateIsAnsweredEvenWhenTheQuotaCannotBeRead) {
  testing::TestTempDir dir;
  const AgentFolders folders(dir.sub("home"), dir.sub("run"));
  const std::string& home = folders.home;
  const std::string& root = folders.root;
  ASSERT_TRUE(fileutil::makeDirectories(root));
  ASSERT_TRUE(writeAccount(home, "demo", root));

  AgentProcess agent(home, folders.runtime);
  ASSERT_TRUE(agent.start());
  auto finder = connectWhenListening(folders.socket(IpcChannel::kFinder));
  auto monitor = connectWhenListening(folders.socket(IpcChannel::kMonitor));
  ASSERT_TRUE(finder && monitor) << "the agent never listened on its sockets";
  ASSERT_TRUE(nextOfType(*finder, 3)) << "the account never started";

  // The account has no storage server: the engine fails, the stored quota
  // stays as it was, and the monitor still gets its answer after the quota
  // thread's wait.
  ASSERT_TRUE(sendCommand(*monitor, 508));
  ASSERT_TRUE(sendCommand(*monitor, 508));
  EXPECT_TRUE(nextOfType(*monitor, 508, std::chrono::seconds(90)));
  auto details = PropertyList::readFile(home + "/.config/ulmora/LastUserLoginDetails.plist");
  ASSERT_TRUE(details);
  EXPECT_FALSE(details->find("USEDQUOTASIZE"));

  const ProcessResult result = agent.stop();
  EXPECT_EQ(result.termSignal, 0) << result.err;
}

}  // namespace
}  // namespace ulmora
