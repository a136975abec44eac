// The companions' control commands against the running agent: pause and
// resume in any order, then an unlink that stops the account's work and
// leaves the user's files alone.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <functional>
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

bool eventually(const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return true;
}

std::unique_ptr<IpcClient> connectWhenListening(const std::string& path) {
  std::unique_ptr<IpcClient> client;
  eventually([&] {
    if (fileutil::exists(path)) client = IpcClient::connect(path);
    return client != nullptr;
  });
  return client;
}

std::optional<IpcMessage> nextOfType(IpcClient& client, int type) {
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  while (std::chrono::steady_clock::now() < deadline && client.isOpen()) {
    auto frame = client.receive(std::chrono::milliseconds(200));
    if (!frame) continue;
    auto message = IpcMessage::fromPropertyList(*frame);
    if (message && message->type == type) return message;
  }
  return std::nullopt;
}

bool sendCommand(IpcClient& client, int type) {
  IpcMessage m;
  m.payload = PropertyList(std::string());
  m.type = type;
  m.sender = "monitor";
  m.receiver = "agent";
  return client.send(m.toPropertyList());
}

class Agent {
 public:
  Agent(const std::string& home, const std::string& runtime) : process_(options(home, runtime)) {}
  ~Agent() {
    if (waiter_.joinable()) {
      process_.kill(SIGKILL);
      waiter_.join();
    }
  }
  bool start() {
    if (!process_.start()) return false;
    waiter_ = std::thread([this] {
      result_ = process_.wait();
      ended_ = true;
    });
    return true;
  }
  bool ended() const { return ended_; }
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
  std::atomic<bool> ended_{false};
};

TEST(ControlCommandsTest, PauseResumeInAnyOrderThenUnlinkLeavesTheFiles) {
  testing::TestTempDir dir;
  const std::string home = dir.sub("home");
  const std::string runtime = dir.sub("run");
  const std::string root = home + "/UlmoraSync";
  const std::string loginDetails = home + "/.config/ulmora/LastUserLoginDetails.plist";
  ASSERT_TRUE(fileutil::makeDirectories(runtime));
  ASSERT_TRUE(fileutil::makeDirectories(root + "/Docs"));
  ASSERT_TRUE(fileutil::writeFileAtomically(root + "/Docs/kept.txt", "mine"));
  PropertyList login(PropertyList::Dict{});
  login.set("Ulmora username", "demo");
  login.set("UlmoraSync username", "demo");
  PropertyList folders(PropertyList::Dict{});
  folders.set("demo", root);
  ASSERT_TRUE(fileutil::makeDirectories(home + "/.config/ulmora"));
  ASSERT_TRUE(login.writeFile(loginDetails));
  ASSERT_TRUE(folders.writeFile(home + "/.config/ulmora/SyncFolders.plist"));

  Agent agent(home, runtime);
  ASSERT_TRUE(agent.start());
  const std::string user = QLUtility::currentConsoleUserName();
  const std::string sockets = runtime + "/ulmora";
  auto finder = connectWhenListening(IpcPaths::channelSocketPath(sockets, user, IpcChannel::kFinder));
  auto monitor = connectWhenListening(IpcPaths::channelSocketPath(sockets, user, IpcChannel::kMonitor));
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

  ASSERT_TRUE(sendCommand(*monitor, 50));
  const std::string trace = home + "/.local/state/ulmora/Logs/SyncDaemonTrace.log";
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

}  // namespace
}  // namespace ulmora
