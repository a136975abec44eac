// The agent program as a user runs it: started in a home folder of its own,
// reached by the companions over its sockets, stopped with SIGTERM.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <fstream>
#include <optional>
#include <string>
#include <thread>

#include "TestTempDir.h"
#include "foundation/QLUtility.h"
#include "ipc/IpcClient.h"
#include "ipc/IpcMessage.h"
#include "ipc/IpcPaths.h"
#include "platform/FileUtil.h"
#include "platform/ProcessRunner.h"
#include "platform/PropertyList.h"

namespace ulmora {
namespace {

constexpr auto kPatience = std::chrono::seconds(20);

class AgentRun {
 public:
  explicit AgentRun(const std::string& home, const std::string& runtime)
      : process_(options(home, runtime)) {}
  ~AgentRun() {
    if (waiter_.joinable()) {
      process_.kill(SIGKILL);
      waiter_.join();
    }
  }

  bool start() {
    if (!process_.start()) return false;
    waiter_ = std::thread([this] { result_ = process_.wait(); });
    return true;
  }
  ProcessResult stop() {
    process_.kill(SIGTERM);
    waiter_.join();
    return result_;
  }

 private:
  static ProcessOptions options(const std::string& home, const std::string& runtime) {
    ProcessOptions o;
    o.executable = ULMORA_AGENT_PATH;
    o.environment = {{"HOME", home}, {"XDG_RUNTIME_DIR", runtime}};
    return o;
  }

  ChildProcess process_;
  std::thread waiter_;
  ProcessResult result_;
};

// Connects as a companion once the agent listens; nullptr when it never does.
std::unique_ptr<IpcClient> connectWhenListening(const std::string& path) {
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  while (std::chrono::steady_clock::now() < deadline) {
    if (fileutil::exists(path)) {
      if (auto client = IpcClient::connect(path)) return client;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return nullptr;
}

// The next message of `type`, skipping others.
std::optional<IpcMessage> nextOfType(IpcClient& client, int type) {
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  while (std::chrono::steady_clock::now() < deadline) {
    auto frame = client.receive(std::chrono::milliseconds(200));
    if (!frame) {
      if (!client.isOpen()) return std::nullopt;
      continue;
    }
    auto message = IpcMessage::fromPropertyList(*frame);
    if (message && message->type == type) return message;
  }
  return std::nullopt;
}

std::string journalText(const std::string& folder) {
  std::string all;
  for (const std::string& name : fileutil::listDirectory(folder).value_or(std::vector<std::string>{})) {
    all += fileutil::readFile(fileutil::joinPath(folder, name)).value_or("") + "\n";
  }
  return all;
}

TEST(AgentProcessTest, ServesTheUserAndStopsInOrderOnSigterm) {
  struct Case {
    const char* name;
    bool account;
  } cases[] = {{"with an account", true}, {"without an account", false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing::TestTempDir dir;
    const std::string home = dir.sub("home");
    const std::string runtime = dir.sub("run");
    const std::string root = home + "/UlmoraSync";
    ASSERT_TRUE(fileutil::makeDirectories(runtime));
    if (c.account) {
      PropertyList login(PropertyList::Dict{});
      login.set("Ulmora username", "demo");
      login.set("UlmoraSync username", "demo");
      PropertyList folders(PropertyList::Dict{});
      folders.set("demo", root);
      ASSERT_TRUE(fileutil::makeDirectories(home + "/.config/ulmora"));
      ASSERT_TRUE(login.writeFile(home + "/.config/ulmora/LastUserLoginDetails.plist"));
      ASSERT_TRUE(folders.writeFile(home + "/.config/ulmora/SyncFolders.plist"));
    }

    AgentRun agent(home, runtime);
    ASSERT_TRUE(agent.start());
    const std::string user = QLUtility::currentConsoleUserName();
    const std::string sockets = runtime + "/ulmora";
    auto finder = connectWhenListening(IpcPaths::channelSocketPath(sockets, user, IpcChannel::kFinder));
    auto monitor = connectWhenListening(IpcPaths::channelSocketPath(sockets, user, IpcChannel::kMonitor));
    auto bus = connectWhenListening(IpcPaths::busSocketPath(sockets, user));
    ASSERT_TRUE(finder && monitor && bus) << "the agent never listened on its sockets";

    if (c.account) {
      // The file manager learns the sync root once the account runs, and the
      // watcher is running by then.
      auto rootMessage = nextOfType(*finder, 3);
      ASSERT_TRUE(rootMessage);
      EXPECT_EQ(rootMessage->payload, PropertyList(root));
      std::ofstream(root + "/new.txt") << "hello";
    }

    const ProcessResult result = agent.stop();
    EXPECT_EQ(result.termSignal, 0) << result.err;
    EXPECT_EQ(result.exitStatus, 0) << result.err;

    const auto trace = fileutil::readFile(home + "/.local/state/ulmora/Logs/SyncDaemonTrace.log");
    ASSERT_TRUE(trace);
    EXPECT_NE(trace->find("agent stopped"), std::string::npos);
    if (c.account) {
      // Queued while the agent was being stopped, and still written.
      EXPECT_NE(journalText(home + "/.local/share/ulmora/demo/Journal/Backup").find("/new.txt"),
                std::string::npos);
    }
  }
}

}  // namespace
}  // namespace ulmora
