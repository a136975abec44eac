#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "TestTempDir.h"
#include "foundation/JournalStampGenerator.h"
#include "journal/JournalFolder.h"
#include "journal/NotificationPoster.h"
#include "journal/SyncInputHost.h"
#include "journal/UMSDBSyncInputManger.h"
#include "journal/WriteBehindDatabase.h"
#include "platform/Clock.h"
#include "platform/FileUtil.h"
#include "platform/ManualClock.h"

namespace ulmora::testing {

// A clock for passes run on the test's own thread: wall time stays where it
// is set (stamps collide unless the generator steps them), sleeps return at
// once, and `onSleep` lets a test look at the state in the middle of a pass.
class SteppingClock final : public Clock {
 public:
  WallTime wallNow() const override {
    std::lock_guard<std::mutex> l(mu_);
    return wall_;
  }
  TimePoint monotonicNow() const override {
    std::lock_guard<std::mutex> l(mu_);
    return mono_;
  }
  void sleepFor(Duration d) override {
    std::function<void()> hook;
    {
      std::lock_guard<std::mutex> l(mu_);
      mono_ += d;
      slept_ += d;
      hook = onSleep;
    }
    if (hook) hook();
  }
  bool waitUntil(std::unique_lock<std::mutex>&, std::condition_variable&, TimePoint deadline,
                 const std::function<bool()>& pred) override {
    if (pred()) return true;
    std::lock_guard<std::mutex> l(mu_);
    if (deadline > mono_) mono_ = deadline;
    return false;
  }
  void setWall(WallTime t) {
    std::lock_guard<std::mutex> l(mu_);
    wall_ = t;
  }
  Duration slept() const {
    std::lock_guard<std::mutex> l(mu_);
    return slept_;
  }

  std::function<void()> onSleep;

 private:
  mutable std::mutex mu_;
  WallTime wall_ = ManualClock::kDefaultWallStart;
  TimePoint mono_{std::chrono::hours(1)};
  Duration slept_{};
};

class FakeHost final : public SyncInputHost {
 public:
  explicit FakeHost(std::string root, std::string user = "alice")
      : root_(std::move(root)), user_(std::move(user)) {}

  std::string getUlmoraSyncRootPath() override {
    std::lock_guard<std::mutex> l(mu_);
    return root_;
  }
  void setRoot(std::string root) {
    std::lock_guard<std::mutex> l(mu_);
    root_ = std::move(root);
  }
  std::string syncUserName() override { return user_; }
  void queryMainDB(int) override { ++queryMainDBCalls; }
  bool isBackupGoingOn() override { return backupGoingOn; }
  bool isRestoreGoingOn() override { return restoreGoingOn; }
  void SetQueryMainDBforCountBackup(bool) override { log("SetQueryMainDBforCountBackup"); }
  void GetTotalCountAndTotalSizeOfBackupFiles() override { log("GetTotalBackup"); }
  void SetQueryMainDBforCountRestore(bool) override { log("SetQueryMainDBforCountRestore"); }
  void GetTotalCountAndTotalSizeOfRestoreFiles() override { log("GetTotalRestore"); }
  void setOfflineDeleteRenamedFileInfo(const std::optional<RDDataBaseRows>& rows) override {
    std::lock_guard<std::mutex> l(mu_);
    offlineInfo = rows;
    ++offlineInfoCalls;
  }

  std::vector<std::string> calls() {
    std::lock_guard<std::mutex> l(mu_);
    return calls_;
  }

  std::atomic<bool> backupGoingOn{false};
  std::atomic<bool> restoreGoingOn{false};
  std::atomic<int> queryMainDBCalls{0};
  std::optional<RDDataBaseRows> offlineInfo;
  std::atomic<int> offlineInfoCalls{0};

 private:
  void log(std::string c) {
    std::lock_guard<std::mutex> l(mu_);
    calls_.push_back(std::move(c));
  }
  std::string root_, user_;
  std::mutex mu_;
  std::vector<std::string> calls_;
};

class FakePoster final : public NotificationPoster {
 public:
  void post(const std::string& name, const PropertyList& info) override {
    std::lock_guard<std::mutex> l(mu_);
    posts.emplace_back(name, info);
  }
  bool wantsPosts() const override { return listening; }
  std::vector<std::pair<std::string, PropertyList>> posts;
  bool listening = true;

 private:
  std::mutex mu_;
};

// Records every batch the write-behind makes; can fail a step.
struct BatchLog {
  struct Row {
    std::string op;  // insert, update, rename, delete, obinsert, obupdate, obdelete
    std::vector<std::string> values;
    bool operator==(const Row&) const = default;
  };
  struct Batch {
    bool outOfBox = false;
    std::vector<Row> rows;
    bool committed = false;
    bool published = false;
    std::thread::id thread;
    bool abandoned = false;
  };

  std::vector<Row> publishedRows() {
    std::lock_guard<std::mutex> l(mu);
    std::vector<Row> out;
    for (const auto& b : batches)
      if (b.published) out.insert(out.end(), b.rows.begin(), b.rows.end());
    return out;
  }
  std::vector<Batch> snapshot() {
    std::lock_guard<std::mutex> l(mu);
    return batches;
  }

  std::mutex mu;
  std::vector<Batch> batches;
  int failOpen = 0;    // the next N opens fail
  int failCommit = 0;  // the next N commits fail
  // Called (without the log's lock) inside every commit, before it succeeds.
  std::function<void()> onCommit;
};

inline void PrintTo(const BatchLog::Row& row, std::ostream* os) {
  *os << row.op << "(";
  for (std::size_t i = 0; i < row.values.size(); ++i) *os << (i ? ", " : "") << '"' << row.values[i] << '"';
  *os << ")";
}

class FakeBatch final : public WriteBehindDatabase {
 public:
  explicit FakeBatch(std::shared_ptr<BatchLog> log) : log_(std::move(log)) {}
  bool initializewithDatabase(const std::string&, const std::string&) override { return open(false); }
  bool initializeOBDatabase(const std::string&, const std::string&) override { return open(true); }
  bool beginTransaction() override { return index_ >= 0; }
  bool commitTransaction() override {
    std::function<void()> hook;
    {
      std::lock_guard<std::mutex> l(log_->mu);
      if (log_->failCommit > 0) {
        --log_->failCommit;
        return false;
      }
      hook = log_->onCommit;
    }
    if (hook) hook();
    return mark([](BatchLog::Batch& b) { b.committed = true; });
  }
  bool unInitializeDatabase() override {
    return mark([](BatchLog::Batch& b) {
      if (b.committed) b.published = true;
    });
  }
  void abandonBatch() override {
    mark([](BatchLog::Batch& b) { b.abandoned = true; });
  }
  bool insert(const std::vector<std::string>& v) override { return row("insert", v, 12); }
  bool update(const std::vector<std::string>& v) override { return row("update", v, 12); }
  bool rename(const std::vector<std::string>& v) override { return row("rename", v, 12); }
  bool deleteRecord(const std::string& p) override { return row("delete", {p}, 1); }
  bool insertOBRecord(const std::vector<std::string>& v) override { return row("obinsert", v, 11); }
  bool updateOBRecord(const std::vector<std::string>& v) override { return row("obupdate", v, 11); }
  bool deleteOBRecord(const std::string& p) override { return row("obdelete", {p}, 1); }

 private:
  bool open(bool outOfBox) {
    std::lock_guard<std::mutex> l(log_->mu);
    if (log_->failOpen > 0) {
      --log_->failOpen;
      return false;
    }
    log_->batches.push_back({outOfBox, {}, false, false, std::this_thread::get_id()});
    index_ = static_cast<int>(log_->batches.size()) - 1;
    return true;
  }
  bool mark(const std::function<void(BatchLog::Batch&)>& f) {
    std::lock_guard<std::mutex> l(log_->mu);
    if (index_ < 0) return false;
    f(log_->batches[static_cast<std::size_t>(index_)]);
    return true;
  }
  bool row(const char* op, const std::vector<std::string>& v, std::size_t count) {
    if (v.size() != count) return false;
    return mark([&](BatchLog::Batch& b) { b.rows.push_back({op, v}); });
  }
  std::shared_ptr<BatchLog> log_;
  int index_ = -1;
};

// Moves the manual clock on in small steps until `done` holds (or a real
// time-out passes), letting a writer thread catch up after each step.
inline bool driveUntil(ManualClock& clock, const std::function<bool()>& done) {
  auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!done()) {
    if (std::chrono::steady_clock::now() > giveUp) return false;
    clock.advance(std::chrono::milliseconds(250));
    clock.awaitBlockedThreads(1, std::chrono::milliseconds(20));
  }
  return true;
}

// One account: a sync root, application folders under a temporary folder,
// and an input queue wired to fakes. `Clk` is SteppingClock for passes run
// by the test itself, ManualClock for tests of the writer thread.
template <typename Clk = SteppingClock>
class QueueFixture {
 public:
  explicit QueueFixture(bool realDatabase = false)
      : root_(dir_.sub("Sync")),
        stamps_(clock_),
        host_(root_),
        batchLog_(std::make_shared<BatchLog>()) {
    fileutil::makeDirectories(root_);
    UMSDBSyncInputManger::Options o;
    o.clock = &clock_;
    o.stamps = &stamps_;
    o.applicationFile = [this](int index) { return appFile(index); };
    if (!realDatabase) {
      auto log = batchLog_;
      o.databaseBatches = [log]() -> std::unique_ptr<WriteBehindDatabase> {
        return std::make_unique<FakeBatch>(log);
      };
    }
    o.host = &host_;
    o.poster = &poster_;
    manager_ = std::make_unique<UMSDBSyncInputManger>(std::move(o));
    manager_->setFolderPaths();
  }

  std::string appFile(int index) const {
    std::lock_guard<std::mutex> l(accountMu_);
    return dir_.sub("App/" + accountFolder_ + std::to_string(index));
  }
  // Names another account for the queue; its application files lie in a
  // folder of their own.
  void switchAccount(const std::string& syncUser) {
    {
      std::lock_guard<std::mutex> l(accountMu_);
      accountFolder_ = syncUser + "/";
    }
    manager_->initializeAppSupportFilePaths("console", syncUser);
  }
  JournalFolder folder(int index) const { return JournalFolder(appFile(index)); }
  // Files a reader would take, in journal order.
  std::vector<std::string> published(int index) const {
    return folder(index).eligibleNames(journal::SkipRule::kPendingCheck);
  }
  std::string full(const std::string& relative) const { return root_ + relative; }
  // Creates a file of `size` bytes at a path relative to the root.
  std::string makeFile(const std::string& relative, std::size_t size = 10) const {
    std::string path = full(relative);
    fileutil::makeDirectories(fileutil::parentPath(path));
    fileutil::writeFileAtomically(path, std::string(size, 'x'));
    return path;
  }

  UMSDBSyncInputManger& queue() { return *manager_; }
  Clk& clock() { return clock_; }
  JournalStampGenerator& stamps() { return stamps_; }
  FakeHost& host() { return host_; }
  FakePoster& poster() { return poster_; }
  BatchLog& batches() { return *batchLog_; }
  const std::string& root() const { return root_; }
  const TestTempDir& dir() const { return dir_; }

 private:
  TestTempDir dir_;
  std::string root_;
  Clk clock_;
  JournalStampGenerator stamps_;
  FakeHost host_;
  FakePoster poster_;
  std::shared_ptr<BatchLog> batchLog_;
  std::unique_ptr<UMSDBSyncInputManger> manager_;
  mutable std::mutex accountMu_;
  std::string accountFolder_;
};

}  // namespace ulmora::testing
