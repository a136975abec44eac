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
#include "WaitUntil.h"
#include "ipc/IpcClient.h"
#include "ipc/IpcMessage.h"
#include "ipc/IpcPaths.h"
#include "platform/FileUtil.h"
#include "platform/ProcessRunner.h"
#include "platform/PropertyList.h"

namespace ulmora::e2e {

inline constexpr auto kPatience = std::chrono::seconds(20);

// How many times faster than real time the agents of these tests run their
// timers, delayed work and time-outs (ULMORA_TIME_SCALE): the minute a
// repeated one-file set waits takes 6 s. Wall time and file times stay real,
// and so does every patience of the tests. Each suite keeps a case at
// kRealTime, so what only real timing shows is still seen.
inline constexpr double kTimeScale = 10;
inline constexpr double kRealTime = 1;

// Polls `done` until it holds or `patience` has passed.
inline bool eventually(const std::function<bool()>& done, std::chrono::seconds patience) {
  return testing::waitUntil(done, patience, std::chrono::milliseconds(50));
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

// The stored form of a password: every character's code doubled, as UTF-8.
inline std::string shiftedPassword(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    const unsigned v = static_cast<unsigned>(c) << 1;
    if (v < 0x80) {
      out.push_back(static_cast<char>(v));
    } else {
      out.push_back(static_cast<char>(0xC0 | (v >> 6)));
      out.push_back(static_cast<char>(0x80 | (v & 0x3F)));
    }
  }
  return out;
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
// variables in `extra`), its clock at `timeScale`; killed if the test did not
// stop it. A `launcher` (a program and its arguments) runs the agent as its
// last argument, as setpriv does.
class AgentProcess {
 public:
  using Environment = std::vector<std::pair<std::string, std::string>>;
  using Launcher = std::vector<std::string>;
  AgentProcess(const std::string& home, const std::string& runtime, const Environment& extra = {},
               double timeScale = kTimeScale, const Launcher& launcher = {})
      : process_(options(home, runtime, extra, timeScale, launcher)) {}
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
                                const Environment& extra, double timeScale, const Launcher& launcher) {
    ProcessOptions o;
    o.executable = ULMORA_AGENT_PATH;
    if (!launcher.empty()) {
      o.executable = launcher.front();
      o.arguments.assign(launcher.begin() + 1, launcher.end());
      o.arguments.push_back(ULMORA_AGENT_PATH);
    }
    // No table named: the agent reads the one installed beside it, as the
    // user's agent does (the test program names the source tree's).
    o.environment = {{"HOME", home},
                     {"XDG_RUNTIME_DIR", runtime},
                     {"ULMORA_STRING_TABLE", ""},
                     {"ULMORA_TIME_SCALE", std::to_string(timeScale)}};
    o.environment.insert(o.environment.end(), extra.begin(), extra.end());
    return o;
  }
  ChildProcess process_;
  std::thread waiter_;
  ProcessResult result_;
  std::atomic<bool> ended_{false};
};

}  // namespace ulmora::e2e
