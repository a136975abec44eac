// The agent program as a user runs it: started in a home folder of its own,
// reached by the companions over its sockets, stopped with SIGTERM.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <thread>

#include "AgentHarness.h"
#include "TestTempDir.h"
#include "database/FileStateSchema.h"
#include "database/SqliteConnection.h"
#include "ipc/IpcClient.h"
#include "ipc/IpcMessage.h"
#include "ipc/IpcPaths.h"
#include "journal/JournalFolder.h"
#include "journal/JournalFormat.h"
#include "journal/JournalReader.h"
#include "platform/FileUtil.h"
#include "platform/ProcessRunner.h"
#include "platform/PropertyList.h"

namespace ulmora {
namespace {

using e2e::connectWhenListening;
using e2e::eventually;
using e2e::nextOfType;

// Every entry of the event journal writer's upload lists in `folder`. That
// writer numbers its lists ("<stamp>_<n>"); the input queue's own lists
// ("<stamp>_backup") do not count.
std::set<std::string> uploadsListed(const std::string& folder) {
  const JournalFolder journal(folder);
  std::set<std::string> listed;
  for (const std::string& name : journal.eligibleNames(journal::SkipRule::kPendingCheck)) {
    const std::string number = name.substr(name.rfind('_') + 1);
    const bool numbered = !number.empty() && std::all_of(number.begin(), number.end(), [](char c) {
      return std::isdigit(static_cast<unsigned char>(c)) != 0;
    });
    if (!numbered) continue;
    for (auto& line : journal::splitTextList(journal.read(name).value_or("")))
      listed.insert(std::move(line));
  }
  return listed;
}

bool uploadListed(const std::string& folder, const std::string& path) {
  return uploadsListed(folder).count(path) != 0;
}

// A sync account "demo" whose sync root is `root`.
void writeAccount(const std::string& home, const std::string& root) {
  ASSERT_TRUE(e2e::writeAccount(home, "demo", root));
}

bool renameListed(const std::string& folder, const RenameEntry& rename) {
  const auto renames = JournalReader::peekRenames(JournalFolder(folder));
  return std::find(renames.begin(), renames.end(), rename) != renames.end();
}

TEST(AgentProcessTest, ServesTheUserAndStopsInOrderOnSigterm) {
  struct Case {
    const char* name;
    bool account;
  } cases[] = {{"with an account", true}, {"without an account", false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing::TestTempDir dir;
    const e2e::AgentFolders folders(dir.sub("home"), dir.sub("run"));
    const std::string& home = folders.home;
    const std::string& root = folders.root;
    if (c.account) writeAccount(home, root);

    // At real speed: the suite's other case runs scaled.
    e2e::AgentProcess agent(home, folders.runtime, {}, e2e::kRealTime);
    ASSERT_TRUE(agent.start());
    auto finder = connectWhenListening(folders.socket(IpcChannel::kFinder));
    auto monitor = connectWhenListening(folders.socket(IpcChannel::kMonitor));
    auto bus = connectWhenListening(folders.busSocket());
    ASSERT_TRUE(finder && monitor && bus) << "the agent never listened on its sockets";

    const std::string journals = home + "/.local/share/ulmora/demo/Journal";
    if (c.account) {
      // The file manager learns the sync root once the account runs, and the
      // watcher is running by then.
      auto rootMessage = nextOfType(*finder, 3);
      ASSERT_TRUE(rootMessage);
      EXPECT_EQ(rootMessage->payload, PropertyList(root));

      // What the user changes reaches the journals while the agent runs.
      std::ofstream(root + "/new.txt") << "hello";
      EXPECT_TRUE(eventually([&] { return uploadListed(journals + "/Backup", "/new.txt"); }))
          << "no upload list names /new.txt";
      ASSERT_EQ(std::rename((root + "/new.txt").c_str(), (root + "/renamed.txt").c_str()), 0);
      EXPECT_TRUE(eventually([&] {
        return renameListed(journals + "/DaemonEvents", {"/new.txt", "/renamed.txt"});
      })) << "no rename list names /new.txt -> /renamed.txt";

      std::ofstream(root + "/last.txt") << "just before the stop";
    }

    const ProcessResult result = agent.stop();
    EXPECT_EQ(result.termSignal, 0) << result.err;
    EXPECT_EQ(result.exitStatus, 0) << result.err;

    const auto trace = fileutil::readFile(home + "/.local/state/ulmora/Logs/SyncDaemonTrace.log");
    ASSERT_TRUE(trace);
    EXPECT_NE(trace->find("agent stopped"), std::string::npos);
    if (c.account) {
      // Seen as the agent was being stopped, and still written.
      EXPECT_TRUE(uploadListed(journals + "/Backup", "/last.txt"));
    }
  }
}

TEST(AgentProcessTest, WhatChangedWhileTheAgentWasNotWatchingIsJournalledAtTheNextStart) {
  struct Case {
    const char* name;
    int signal;  // how the first run ends
  } cases[] = {{"killed during a burst", SIGKILL}, {"stopped, then files made", SIGTERM}};
  constexpr int kFiles = 2000;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing::TestTempDir dir;
    const e2e::AgentFolders folders(dir.sub("home"), dir.sub("run"));
    const std::string& home = folders.home;
    const std::string& runtime = folders.runtime;
    const std::string& root = folders.root;
    const std::string finderSocket = folders.socket(IpcChannel::kFinder);
    writeAccount(home, root);
    auto burst = [&] {
      ASSERT_TRUE(fileutil::makeDirectories(root + "/burst"));
      for (int i = 0; i < kFiles; ++i) std::ofstream(root + "/burst/f" + std::to_string(i)) << i;
    };
    {
      e2e::AgentProcess agent(home, runtime);
      ASSERT_TRUE(agent.start());
      auto finder = connectWhenListening(finderSocket);
      ASSERT_TRUE(finder && nextOfType(*finder, 3)) << "the account never ran";
      if (c.signal == SIGKILL) burst();
      agent.stop(c.signal);
      if (c.signal != SIGKILL) burst();
    }
    // The account has a local database by now; made here if the first run
    // left none, so that the next start is not a new account's.
    const std::string database = home + "/.local/share/ulmora/demo/Database";
    ASSERT_TRUE(fileutil::makeDirectories(database));
    ASSERT_TRUE(filestate::openForMerge(database + "/demo.ql", nullptr));

    e2e::AgentProcess again(home, runtime);
    ASSERT_TRUE(again.start());
    const std::string uploads = home + "/.local/share/ulmora/demo/Journal/Backup";
    int missing = kFiles;
    EXPECT_TRUE(eventually([&] {
      const std::set<std::string> listed = uploadsListed(uploads);
      missing = 0;
      for (int i = 0; i < kFiles; ++i) missing += !listed.count("/burst/f" + std::to_string(i));
      return missing == 0;
    })) << missing << " files were never listed";
    const ProcessResult result = again.stop();
    EXPECT_EQ(result.exitStatus, 0) << result.err;
  }
}

}  // namespace
}  // namespace ulmora
