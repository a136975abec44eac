// The sync input queue at volume, with the writer's pacing pauses made free
// through the clock:
// - 100,000 upload paths added, published as journal files and read back;
// - 100,000 finished uploads ("Backup") written by one write-behind pass,
//   then merged into the main database; beside it, plain SQLite inserting
//   the same rows in one transaction, bound field by field.
// Each benchmark repeats (scripts/bench interleaves the repetitions of all
// benchmarks at random) and reports mean, median and min.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "database/DatabaseMerger.h"
#include "database/FileStateSchema.h"
#include "database/SqliteConnection.h"
#include "database/SqliteStatement.h"
#include "foundation/JournalStampGenerator.h"
#include "journal/SyncInputHost.h"
#include "journal/SyncRecordBuilder.h"
#include "journal/UMSDBSyncInputManger.h"
#include "platform/Clock.h"
#include "platform/FileUtil.h"

namespace {

using namespace ulmora;

constexpr int kEntries = 100000;
constexpr const char* kUser = "bench";

// Every benchmark here is one side of a pair: repeat it and keep the minimum.
void paired(benchmark::internal::Benchmark* b) {
  b->Repetitions(5)
      ->ComputeStatistics("min",
                          [](const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); })
      ->Unit(benchmark::kMillisecond)
      ->UseRealTime();
}

// Real time, but the pacing pauses cost nothing.
class NoPauseClock final : public Clock {
 public:
  WallTime wallNow() const override { return std::chrono::system_clock::now(); }
  TimePoint monotonicNow() const override { return std::chrono::steady_clock::now(); }
  void sleepFor(Duration) override {}
  bool waitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
                 TimePoint deadline, const std::function<bool()>& pred) override {
    return cv.wait_until(lock, deadline, pred);
  }
};

class TempFolder {
 public:
  TempFolder() {
    std::string tmpl = "/tmp/ulmora-journalbench-XXXXXX";
    if (mkdtemp(tmpl.data())) path_ = tmpl;
  }
  ~TempFolder() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  const std::string& path() const { return path_; }
  std::string sub(const std::string& rel) const { return path_ + "/" + rel; }

 private:
  std::string path_;
};

class BenchHost final : public SyncInputHost {
 public:
  explicit BenchHost(std::string root) : root_(std::move(root)) {}
  std::string getUlmoraSyncRootPath() override { return root_; }
  std::string syncUserName() override { return kUser; }
  void queryMainDB(int) override {}
  bool isBackupGoingOn() override { return false; }
  bool isRestoreGoingOn() override { return false; }
  void SetQueryMainDBforCountBackup(bool) override {}
  void GetTotalCountAndTotalSizeOfBackupFiles() override {}
  void SetQueryMainDBforCountRestore(bool) override {}
  void GetTotalCountAndTotalSizeOfRestoreFiles() override {}
  void setOfflineDeleteRenamedFileInfo(const std::optional<RDDataBaseRows>&) override {}

 private:
  std::string root_;
};

std::string relativePathFor(int i) {
  char text[64];
  std::snprintf(text, sizeof text, "/folder%03d/file%06d.txt", i % 100, i);
  return text;
}

// A sync root holding kEntries small files, made once.
struct SyncRootFixture {
  TempFolder folder;
  std::string root = folder.sub("Sync");
  SyncRootFixture() {
    for (int d = 0; d < 100; ++d) {
      char name[32];
      std::snprintf(name, sizeof name, "/folder%03d", d);
      fileutil::makeDirectories(root + name);
    }
    for (int i = 0; i < kEntries; ++i) {
      int fd = ::open((root + relativePathFor(i)).c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
      if (fd >= 0) {
        (void)::write(fd, "0123456789", 10);
        ::close(fd);
      }
    }
  }
  static SyncRootFixture& shared() {
    static SyncRootFixture fixture;
    return fixture;
  }
};

// One account's queue over a fresh application folder.
struct Account {
  TempFolder app;
  NoPauseClock clock;
  JournalStampGenerator stamps{clock};
  BenchHost host;
  std::unique_ptr<UMSDBSyncInputManger> queue;

  explicit Account(const std::string& root) : host(root) {
    UMSDBSyncInputManger::Options o;
    o.clock = &clock;
    o.stamps = &stamps;
    o.applicationFile = [this](int index) { return app.sub(std::to_string(index)); };
    o.host = &host;
    queue = std::make_unique<UMSDBSyncInputManger>(std::move(o));
    queue->setFolderPaths();
  }
  std::string dbFolder() const { return app.sub("107"); }
};

void BM_UploadJournalRoundTrip(benchmark::State& state) {
  const std::string root = "/nonexistent/Sync";
  std::vector<std::string> paths;
  for (int i = 0; i < kEntries; ++i) paths.push_back(root + relativePathFor(i));
  for (auto _ : state) {
    state.PauseTiming();
    auto account = std::make_unique<Account>(root);
    state.ResumeTiming();

    for (const auto& p : paths) account->queue->addBackupFiles(p);
    account->queue->writeJournals();
    std::size_t read = 0;
    for (;;) {
      PropertyList batch = account->queue->readFileFor("1");
      if (batch.asArray()->empty()) break;
      read += batch.asArray()->size();
    }

    state.PauseTiming();
    if (read != static_cast<std::size_t>(kEntries)) state.SkipWithError("entries lost");
    account.reset();
    state.ResumeTiming();
  }
  state.counters["entries/s"] =
      benchmark::Counter(kEntries, benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_UploadJournalRoundTrip)->Apply(paired);

std::map<std::string, std::string> uploadedEntries(const std::string& root) {
  std::map<std::string, std::string> entries;
  for (int i = 0; i < kEntries; ++i) entries.emplace(root + relativePathFor(i), "Backup");
  return entries;
}

void BM_WriteBehindUploadedPass(benchmark::State& state) {
  SyncRootFixture& f = SyncRootFixture::shared();
  auto entries = uploadedEntries(f.root);
  for (auto _ : state) {
    state.PauseTiming();
    auto account = std::make_unique<Account>(f.root);
    filestate::openForMerge(account->dbFolder() + "/" + kUser + ".ql", nullptr);
    state.ResumeTiming();

    account->queue->addFileToUpdate(entries);
    auto pass = account->queue->writeDatabaseBatches();

    state.PauseTiming();
    if (pass.failed || !DatabaseMerger::hasPublishedBatches(account->dbFolder(), kUser))
      state.SkipWithError("batch not written");
    account.reset();
    state.ResumeTiming();
  }
  state.counters["rows/s"] =
      benchmark::Counter(kEntries, benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_WriteBehindUploadedPass)->Apply(paired);

void BM_WriteBehindUploadedPassAndMerge(benchmark::State& state) {
  SyncRootFixture& f = SyncRootFixture::shared();
  auto entries = uploadedEntries(f.root);
  for (auto _ : state) {
    state.PauseTiming();
    auto account = std::make_unique<Account>(f.root);
    filestate::openForMerge(account->dbFolder() + "/" + kUser + ".ql", nullptr);
    DatabaseMerger merger(account->dbFolder(), kUser, account->clock);
    state.ResumeTiming();

    account->queue->addFileToUpdate(entries);
    account->queue->writeDatabaseBatches();
    MergeReport report = merger.mergePending();

    state.PauseTiming();
    if (report.merged != 1) state.SkipWithError("batch not merged");
    account.reset();
    state.ResumeTiming();
  }
  state.counters["rows/s"] =
      benchmark::Counter(kEntries, benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_WriteBehindUploadedPassAndMerge)->Apply(paired);

// Plain SQLite: the same 100,000 rows (file facts read the same way) in one
// transaction, on the same schema and settings as the main database.
void BM_RawSqliteSameRows(benchmark::State& state) {
  SyncRootFixture& f = SyncRootFixture::shared();
  const char* sql =
      "INSERT OR REPLACE INTO FILE_TABLE (FILEPATH, FILE_LMD, FILE_SIZE, ENC_METHOD, ENC_PSWD,"
      " FILE_OR_FOLDER, BKSET_LMD, SYNC_DATE, BACKUP_STATUS, CDP, RESTORE_STATUS, REF_ID)"
      " VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12)";
  for (auto _ : state) {
    state.PauseTiming();
    auto folder = std::make_unique<TempFolder>();
    auto db = filestate::openForMerge(folder->sub("raw.ql"), nullptr);
    SqliteStatement* stmt = db ? db->cached(sql) : nullptr;
    state.ResumeTiming();

    bool ok = stmt && db->exec("BEGIN IMMEDIATE");
    for (int i = 0; ok && i < kEntries; ++i) {
      std::string rel = relativePathFor(i);
      auto facts = syncrecord::readFileFacts(f.root + rel);
      if (!facts) continue;
      // Bound field by field, as a hand-written loop would: no row vector.
      stmt->reset();
      stmt->bindBorrowedText(1, rel);
      stmt->bindBorrowedText(2, facts->modificationDate);
      stmt->bindBorrowedText(3, facts->size);
      stmt->bindBorrowedText(4, "NA");
      stmt->bindBorrowedText(5, "NA");
      stmt->bindBorrowedText(6, facts->isFolder ? "1" : "0");
      stmt->bindBorrowedText(7, "NA");
      stmt->bindBorrowedText(8, "NA");
      stmt->bindBorrowedText(9, "1");
      stmt->bindBorrowedText(10, "1");
      stmt->bindBorrowedText(11, "1");
      stmt->bindBorrowedText(12, "NA");
      ok = stmt->run();
    }
    ok = ok && db->exec("COMMIT");

    state.PauseTiming();
    if (!ok) state.SkipWithError("raw insert failed");
    db.reset();
    folder.reset();
    state.ResumeTiming();
  }
  state.counters["rows/s"] =
      benchmark::Counter(kEntries, benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_RawSqliteSameRows)->Apply(paired);

}  // namespace

BENCHMARK_MAIN();
