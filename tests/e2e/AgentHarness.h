#pragma once

// Running the built agent in a temporary home folder and talking to it as a
// companion does, for the end-to-end tests.
#include <signal.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "foundation/QLUtility.h"
#include "ipc/IpcClient.h"
#include "ipc/IpcMessage.h"
#include "ipc/IpcPaths.h"
#include "platform/FileUtil.h"
#include "platform/ProcessRunner.h"
#include "platform/PropertyList.h"

namespace ulmora::e2e {

inline constexpr auto kPatience = std::chrono::seconds(20);

// Polls `done` until it holds or `patience` has passed.
inline bool eventually(const std::function<bool()>& done, std::chrono::seconds patience) {
  const auto deadline = std::chrono::steady_clock::now() + patience;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return true;
}
inline bool eventually(const std::function<bool()>& done) { return eventually(done, kPatience); }

// Connects as a companion once the agent listens; nullptr when it never does.
inline std::unique_ptr<IpcClient> connectWhenListening(const std::string& path) {
  std::unique_ptr<IpcClient> client;
  eventually([&] {
    if (fileutil::exists(path)) client = IpcClient::connect(path);
    return client != nullptr;
  });
  return client;
}

// The next message of `type`, skipping others.
inline std::optional<IpcMessage> nextOfType(IpcClient& client, int type,
                                            std::chrono::seconds patience = kPatience) {
  const auto deadline = std::chrono::steady_clock::now() + patience;
  while (std::chrono::steady_clock::now() < deadline && client.isOpen()) {
    auto frame = client.receive(std::chrono::milliseconds(200));
    if (!frame) continue;
    auto message = IpcMessage::fromPropertyList(*frame);
    if (message && message->type == type) return message;
  }
  return std::nullopt;
}

// A command as the status monitor sends it.
inline bool sendCommand(IpcClient& client, int type, const std::string& payload = "") {
  IpcMessage m;
  m.payload = PropertyList(payload);
  m.type = type;
  m.sender = "monitor";
  m.receiver = "agent";
  return client.send(m.toPropertyList());
}

// The login details and sync-folder list of one linked account.
inline bool writeAccount(const std::string& home, const std::string& user, const std::string& root) {
  PropertyList login(PropertyList::Dict{});
  login.set("Ulmora username", user);
  login.set("UlmoraSync username", user);
  PropertyList folders(PropertyList::Dict{});
  folders.set(user, root);
  return fileutil::makeDirectories(home + "/.config/ulmora") &&
         login.writeFile(home + "/.config/ulmora/LastUserLoginDetails.plist") &&
         folders.writeFile(home + "/.config/ulmora/SyncFolders.plist");
}

// Where one agent of a test lives: its home, its sockets' folder (made here)
// and the sync root a test account uses.
struct AgentFolders {
  AgentFolders(const std::string& homeFolder, const std::string& runtimeFolder)
      : home(homeFolder), runtime(runtimeFolder), root(homeFolder + "/UlmoraSync") {
    fileutil::makeDirectories(runtime);
  }
  // The socket of a companion channel, and of the bus.
  std::string socket(IpcChannel channel) const {
    return IpcPaths::channelSocketPath(runtime + "/ulmora", QLUtility::currentConsoleUserName(), channel);
  }
  std::string busSocket() const {
    return IpcPaths::busSocketPath(runtime + "/ulmora", QLUtility::currentConsoleUserName());
  }
  std::string home, runtime, root;
};

// The agent with HOME and XDG_RUNTIME_DIR of the test's own (and any further
// variables in `extra`); killed if the test did not stop it.
class AgentProcess {
 public:
  using Environment = std::vector<std::pair<std::string, std::string>>;
  AgentProcess(const std::string& home, const std::string& runtime, const Environment& extra = {})
      : process_(options(home, runtime, extra)) {}
  ~AgentProcess() {
    if (waiter_.joinable()) {
      process_.kill(SIGKILL);
      waiter_.join();
    }
  }
  AgentProcess(const AgentProcess&) = delete;
  AgentProcess& operator=(const AgentProcess&) = delete;

  bool start() {
    if (!process_.start()) return false;
    waiter_ = std::thread([this] {
      result_ = process_.wait();
      ended_ = true;
    });
    return true;
  }
  bool ended() const { return ended_; }
  // `signal` (SIGTERM unless given), then waits for the exit.
  ProcessResult stop(int signal = SIGTERM) {
    process_.kill(signal);
    waiter_.join();
    return result_;
  }

 private:
  static ProcessOptions options(const std::string& home, const std::string& runtime,
                                const Environment& extra) {
    ProcessOptions o;
    o.executable = ULMORA_AGENT_PATH;
    o.environment = {{"HOME", home}, {"XDG_RUNTIME_DIR", runtime}};
    o.environment.insert(o.environment.end(), extra.begin(), extra.end());
    return o;
  }
  ChildProcess process_;
  std::thread waiter_;
  ProcessResult result_;
  std::atomic<bool> ended_{false};
};

}  // namespace ulmora::e2e
