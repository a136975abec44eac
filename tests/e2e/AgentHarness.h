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

#include "ipc/IpcClient.h"
#include "ipc/IpcMessage.h"
#include "platform/FileUtil.h"
#include "platform/ProcessRunner.h"
#include "platform/PropertyList.h"

namespace ulmora::e2e {

inline constexpr auto kPatience = std::chrono::seconds(20);

// Polls `done` until it holds or kPatience has passed.
inline bool eventually(const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return true;
}

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

// The agent with HOME and XDG_RUNTIME_DIR of the test's own; killed if the
// test did not stop it.
class AgentProcess {
 public:
  AgentProcess(const std::string& home, const std::string& runtime)
      : process_(options(home, runtime)) {}
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
  // SIGTERM, then waits for the exit.
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

}  // namespace ulmora::e2e
