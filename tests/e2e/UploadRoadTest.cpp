// A local change all the way: files dropped into the sync folder of the
// running agent reach the stand-in engine's storage, their database rows say
// in sync, and the status monitor sees the upload and then the idle status.
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "AgentHarness.h"
#include "TestTempDir.h"
#include "database/SqliteConnection.h"
#include "database/SqliteStatement.h"
#include "foundation/QLUtility.h"
#include "ipc/IpcClient.h"
#include "ipc/IpcMessage.h"
#include "ipc/IpcPaths.h"
#include "platform/FileUtil.h"
#include "platform/ProcessRunner.h"
#include "platform/PropertyList.h"

namespace ulmora {
namespace {

constexpr auto kStartPatience = std::chrono::seconds(30);
// A failed set offered again counts as repeated: the engine driver waits a
// minute before that run.
constexpr auto kSyncPatience = std::chrono::seconds(240);
constexpr int kFiles = 100;
const std::string kUser = "demo";

using e2e::eventually;

// One account whose server is a storage folder of the stand-in engine.
struct Account {
  explicit Account(const testing::TestTempDir& dir)
      : home(dir.sub("home")),
        runtime(dir.sub("run")),
        storageRoot(dir.sub("storage")),
        storage(storageRoot + "/localhost"),
        root(home + "/UlmoraSync") {
    const std::string config = home + "/.config/ulmora";
    EXPECT_TRUE(fileutil::makeDirectories(runtime));
    EXPECT_TRUE(fileutil::makeDirectories(storage));
    EXPECT_TRUE(fileutil::makeDirectories(root));
    EXPECT_TRUE(fileutil::makeDirectories(config + "/accounts/" + kUser));
    PropertyList login(PropertyList::Dict{});
    for (const auto& [k, v] : std::vector<std::pair<std::string, std::string>>{
             {"Ulmora username", kUser}, {"UlmoraUsername", kUser}, {"UlmoraSync username", kUser},
             {"UlmoraSync password", e2e::shiftedPassword(kUser)}, {"UserAtServer", kUser + "@localhost::quellar"},
             {"IP", "localhost"}, {"serverName", "localhost"}, {"Account plan", "F"}, {"Pause", "0"},
             {"Unlink status", "0"}, {"Move in progress", "0"}}) {
      login.set(k, v);
    }
    EXPECT_TRUE(login.writeFile(config + "/LastUserLoginDetails.plist"));
    EXPECT_TRUE(login.writeFile(config + "/accounts/" + kUser + "/LoginDetails.plist"));
    PropertyList folders(PropertyList::Dict{});
    folders.set(kUser, root);
    EXPECT_TRUE(folders.writeFile(config + "/SyncFolders.plist"));
    PropertyList details(PropertyList::Dict{});
    details.set("UlmoraUsername", kUser);
    details.set("ParentAccount", kUser);
    EXPECT_TRUE(details.writeFile(config + "/AccountDetails.plist"));
  }

  std::optional<int64_t> count(const std::string& db, const std::string& sql) const {
    auto conn = SqliteConnection::open(db, SqliteConnection::OpenMode::kReadOnly);
    if (!conn) return std::nullopt;
    auto text = conn->queryText(sql);
    if (!text) return std::nullopt;
    return std::stoll(*text);
  }
  // Files of the drop the storage holds.
  int64_t stored() const {
    return count(storage + "/accounts/" + kUser + "/meta.db",
                 "SELECT COUNT(*) FROM entries WHERE is_dir = 0 AND in_trash = 0 AND "
                 "CAST(path AS TEXT) LIKE '%/drop/f%.txt'")
        .value_or(0);
  }
  // Rows of the drop the local database records as uploaded.
  int64_t inSync() const {
    return count(home + "/.local/share/ulmora/" + kUser + "/Database/" + kUser + ".ql",
                 "SELECT COUNT(*) FROM FILE_TABLE WHERE FILEPATH LIKE '/drop/f%.txt' AND BACKUP_STATUS = '1'")
        .value_or(0);
  }
  std::string trace() const {
    return fileutil::readFile(home + "/.local/state/ulmora/Logs/SyncDaemonTrace.log").value_or("");
  }
  void drop(const std::string& tag) const {
    EXPECT_TRUE(fileutil::makeDirectories(root + "/drop"));
    for (int i = 0; i < kFiles; ++i) {
      std::ofstream(root + "/drop/f" + std::to_string(i) + ".txt") << tag << " file " << i << "\n";
    }
  }

  // The stand-in engine finds the storage of server "localhost" under
  // storageRoot.
  std::string home, runtime, storageRoot, storage, root;
};

// The agent with the account's home, its sockets' folder and the stand-in
// engine's storage.
class Agent : public e2e::AgentProcess {
 public:
  explicit Agent(const Account& a, double timeScale = e2e::kTimeScale)
      : e2e::AgentProcess(a.home, a.runtime, {{"ULMORA_STORAGE_ROOT", a.storageRoot}}, timeScale) {}
};

// The status monitor: collects the status codes (type 500) on a thread.
class Monitor {
 public:
  explicit Monitor(const Account& a) {
    const std::string path = IpcPaths::channelSocketPath(a.runtime + "/ulmora", QLUtility::currentConsoleUserName(),
                                                         IpcChannel::kMonitor);
    eventually([&] { return fileutil::exists(path) && (client_ = IpcClient::connect(path)) != nullptr; },
               kStartPatience);
    if (client_) reader_ = std::thread([this] { read(); });
  }
  ~Monitor() {
    stop_ = true;
    if (reader_.joinable()) reader_.join();
  }
  bool connected() const { return client_ != nullptr; }
  std::vector<std::string> codes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return codes_;
  }
  void clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    codes_.clear();
  }
  // Whether an upload status came, and later the idle status.
  bool sawUploadThenIdle() const {
    bool upload = false;
    for (const auto& c : codes()) {
      if (c.rfind("T1002", 0) == 0 || c == "T1003") upload = true;
      if (upload && c == "T1001") return true;
    }
    return false;
  }

 private:
  void read() {
    while (!stop_ && client_->isOpen()) {
      auto frame = client_->receive(std::chrono::milliseconds(200));
      if (!frame) continue;
      auto message = IpcMessage::fromPropertyList(*frame);
      if (!message || message->type != 500) continue;
      if (auto text = message->payload.textValue()) {
        std::lock_guard<std::mutex> lock(mutex_);
        codes_.push_back(*text);
      }
    }
  }
  std::unique_ptr<IpcClient> client_;
  std::atomic<bool> stop_{false};
  std::thread reader_;
  mutable std::mutex mutex_;
  std::vector<std::string> codes_;
};

TEST(UploadRoadTest, DroppedFilesReachTheStorageAndAreRecordedInSync) {
  testing::TestTempDir dir;
  Account account(dir);
  // At real speed: the suite's other case runs scaled.
  Agent agent(account, e2e::kRealTime);
  ASSERT_TRUE(agent.start());
  Monitor monitor(account);
  ASSERT_TRUE(monitor.connected()) << "the agent never listened on the monitor channel";
  ASSERT_TRUE(eventually([&] { return account.trace().find("startSync") != std::string::npos; }, kStartPatience));

  account.drop("first");
  EXPECT_TRUE(eventually([&] { return account.stored() == kFiles && account.inSync() == kFiles; }, kSyncPatience))
      << "stored " << account.stored() << ", in sync " << account.inSync();
  EXPECT_TRUE(eventually([&] { return monitor.sawUploadThenIdle(); }, kStartPatience))
      << "the monitor saw no upload status followed by the idle status";

  const ProcessResult result = agent.stop();
  EXPECT_EQ(result.termSignal, 0) << result.err;
}

TEST(UploadRoadTest, EngineFailureLeavesFilesPendingUntilALaterCycleSendsThem) {
  testing::TestTempDir dir;
  Account account(dir);
  ASSERT_TRUE(fileutil::writeFileAtomically(account.storage + "/faults", "umkvt-error injected by the test\n"));
  Agent agent(account);
  ASSERT_TRUE(agent.start());
  Monitor monitor(account);
  ASSERT_TRUE(eventually([&] { return account.trace().find("startSync") != std::string::npos; }, kStartPatience));

  account.drop("second");
  ASSERT_TRUE(eventually([&] { return account.trace().find("injected by the test") != std::string::npos; },
                         kSyncPatience))
      << "the engine never failed";
  EXPECT_EQ(account.stored(), 0);
  EXPECT_EQ(account.inSync(), 0);

  ASSERT_TRUE(fileutil::removeAll(account.storage + "/faults"));
  EXPECT_TRUE(eventually([&] { return account.stored() == kFiles && account.inSync() == kFiles; }, kSyncPatience))
      << "stored " << account.stored() << ", in sync " << account.inSync();

  const ProcessResult result = agent.stop();
  EXPECT_EQ(result.termSignal, 0) << result.err;
}

}  // namespace
}  // namespace ulmora
