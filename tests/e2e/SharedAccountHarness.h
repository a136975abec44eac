#pragma once

// Several agents, each in a temporary home of its own, linked to one account
// whose storage is the stand-in service's storage folder: the stand-in engine
// reaches it through the account's server address, and the service answers
// the agents' push subscriptions and service discovery.
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "AgentHarness.h"
#include "TestTempDir.h"
#include "database/SqliteConnection.h"
#include "fakes/StandInService.h"
#include "foundation/QLUtility.h"
#include "ipc/IpcPaths.h"
#include "platform/FileUtil.h"
#include "platform/PropertyList.h"

namespace ulmora::e2e {

// Waiting for work that crosses two agents, the engine and the service: far
// longer than it takes, so that only a fault makes it run out.
inline constexpr auto kCrossPatience = std::chrono::seconds(90);

inline bool eventuallyWithin(std::chrono::seconds patience, const std::function<bool()>& done) {
  return eventually(done, patience);
}

// One computer linked to the service's account: home, runtime folder, sync
// root, login details pointing at the service and its storage.
class LinkedHome {
 public:
  LinkedHome(const testing::TestTempDir& dir, const std::string& name,
             const testing::StandInService& service, const std::string& user = "demo")
      : user_(user),
        home_(dir.sub(name + "/home")),
        runtime_(dir.sub(name + "/run")),
        root_(home_ + "/UlmoraSync") {
    const std::string config = home_ + "/.config/ulmora";
    ok_ = fileutil::makeDirectories(runtime_) && fileutil::makeDirectories(root_) &&
          fileutil::makeDirectories(config + "/accounts/" + user_);
    const std::string storage = service.storage();
    PropertyList login(PropertyList::Dict{});
    for (const auto& [k, v] : std::vector<std::pair<std::string, std::string>>{
             {"Ulmora username", user_},
             {"UlmoraUsername", user_},
             {"UlmoraSync username", user_},
             {"UlmoraSync password", shiftedPassword(user_)},
             {"UserAtServer", user_ + "@" + storage + "::quellar"},
             {"IP", storage},
             {"serverName", storage},
             {"quotaServername", service.hostAndPort()},
             {"Pnsserver", service.hostAndPort()},
             {"Account plan", "F"},
             {"Pause", "0"},
             {"Unlink status", "0"},
             {"Move in progress", "0"}}) {
      login.set(k, v);
    }
    PropertyList folders(PropertyList::Dict{});
    folders.set(user_, root_);
    PropertyList details(PropertyList::Dict{});
    details.set("UlmoraUsername", user_);
    details.set("ParentAccount", user_);
    const auto ca = fileutil::readFile(service.caFile());
    ok_ = ok_ && login.writeFile(config + "/LastUserLoginDetails.plist") &&
          login.writeFile(config + "/accounts/" + user_ + "/LoginDetails.plist") &&
          folders.writeFile(config + "/SyncFolders.plist") &&
          details.writeFile(config + "/AccountDetails.plist") && ca &&
          fileutil::writeFileAtomically(config + "/ServiceCA.pem", *ca);
  }

  bool ok() const { return ok_; }
  const std::string& home() const { return home_; }
  const std::string& runtime() const { return runtime_; }
  const std::string& root() const { return root_; }
  std::string at(const std::string& relative) const { return root_ + "/" + relative; }
  std::string loginDetails() const { return home_ + "/.config/ulmora/LastUserLoginDetails.plist"; }
  std::string sockets() const { return runtime_ + "/ulmora"; }
  std::string channel(IpcChannel which) const {
    return IpcPaths::channelSocketPath(sockets(), QLUtility::currentConsoleUserName(), which);
  }
  std::string database() const {
    return home_ + "/.local/share/ulmora/" + user_ + "/Database/" + user_ + ".ql";
  }

  std::string trace() const {
    return fileutil::readFile(home_ + "/.local/state/ulmora/Logs/SyncDaemonTrace.log").value_or("");
  }
  size_t traceCount(const std::string& needle) const {
    const std::string text = trace();
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
    return n;
  }

  // The content of a file under the root; nullopt when it is not a file.
  std::optional<std::string> content(const std::string& relative) const {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(at(relative), ec)) return std::nullopt;
    return fileutil::readFile(at(relative));
  }
  bool hasFolder(const std::string& relative) const { return fileutil::isDirectory(at(relative)); }
  bool missing(const std::string& relative) const { return !fileutil::exists(at(relative)); }
  ino_t inode(const std::string& relative) const {
    struct stat st {};
    return ::lstat(at(relative).c_str(), &st) == 0 ? st.st_ino : 0;
  }

  // Every entry under the root, one a line ("/" after a folder), for the
  // message of a failed wait.
  std::string tree() const {
    std::string out;
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(root_, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
      out += it->path().string().substr(root_.size()) + (it->is_directory(ec) ? "/\n" : "\n");
    }
    return out;
  }

  // The files under .UMSCache whose path ends in `relative` (dated folders,
  // and ConflictData when `conflicts`), with their contents.
  std::vector<std::pair<std::string, std::string>> cached(const std::string& relative,
                                                          bool conflicts) const {
    std::vector<std::pair<std::string, std::string>> found;
    const std::filesystem::path cache = root_ + "/.UMSCache";
    std::error_code ec;
    if (!std::filesystem::is_directory(cache, ec)) return found;
    const std::string name = std::filesystem::path(relative).filename().string();
    for (auto it = std::filesystem::recursive_directory_iterator(cache, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
      if (!it->is_regular_file(ec)) continue;
      const std::string path = it->path().string();
      const bool inConflicts = path.find("/.UMSCache/ConflictData/") != std::string::npos;
      if (inConflicts != conflicts) continue;
      // A conflict copy may carry a suffix when the name was taken.
      const std::string file = it->path().filename().string();
      if (file.rfind(name.substr(0, name.find('.')), 0) != 0) continue;
      if (!conflicts && path.size() < relative.size()) continue;
      if (!conflicts && path.compare(path.size() - relative.size(), relative.size(), relative) != 0)
        continue;
      found.emplace_back(path, fileutil::readFile(path).value_or(""));
    }
    return found;
  }

  std::optional<std::string> query(const std::string& sql) const {
    auto conn = SqliteConnection::open(database(), SqliteConnection::OpenMode::kReadOnly);
    if (!conn) return std::nullopt;
    return conn->queryText(sql);
  }

 private:
  std::string user_, home_, runtime_, root_;
  bool ok_ = false;
};

// The agent of one linked home, with the finder channel connected: the
// account has started once the agent sent the finder its start message.
class RunningAgent {
 public:
  explicit RunningAgent(const LinkedHome& home, double timeScale = kTimeScale,
                        const AgentProcess::Launcher& launcher = {})
      : home_(home), process_(home.home(), home.runtime(), {}, timeScale, launcher) {}

  bool start() {
    if (!process_.start()) return false;
    finder_ = connectWhenListening(home_.channel(IpcChannel::kFinder));
    monitor_ = connectWhenListening(home_.channel(IpcChannel::kMonitor));
    return finder_ && monitor_;
  }
  // The first listing has run and the push subscription is open, so later
  // changes on the service are heard of by a push.
  bool waitUntilListening() const {
    return eventuallyWithin(kCrossPatience, [&] {
      const std::string t = home_.trace();
      return t.find("startSync") != std::string::npos &&
             t.find("push subscription open") != std::string::npos;
    });
  }
  IpcClient& finder() { return *finder_; }
  IpcClient& monitor() { return *monitor_; }
  bool ended() const { return process_.ended(); }
  // SIGTERM unless given; SIGKILL is a crash.
  ProcessResult stop(int signal = SIGTERM) { return process_.stop(signal); }

 private:
  const LinkedHome& home_;
  AgentProcess process_;
  std::unique_ptr<IpcClient> finder_;
  std::unique_ptr<IpcClient> monitor_;
};

}  // namespace ulmora::e2e
