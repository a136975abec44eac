// The database layer against plain SQLite doing the same work:
// - merging a published batch of 10,000 inserts vs. inserting the same rows
//   in one transaction, the raw loop binding straight from stack buffers (no
//   strings built per row, as a careful hand-written loop would);
// - 100,000 status look-ups by path vs. a raw prepared-statement look-up,
//   both with a transaction per look-up and inside one read transaction.
// Both sides use the same file, schema, WAL mode and synchronous=FULL.
// Each benchmark repeats (scripts/bench interleaves the repetitions of all
// benchmarks at random) and reports mean, median and min: a single pair on a
// shared machine can differ by 3x from one run to the next.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "database/DataBaseWrapper.h"
#include "database/DatabaseMerger.h"
#include "database/FileStateSchema.h"
#include "database/SqliteConnection.h"
#include "platform/Clock.h"

namespace {

using namespace ulmora;

constexpr int kBatchRows = 10000;
constexpr int kLookups = 100000;
constexpr const char* kUser = "bench";
constexpr int kRepetitions = 5;

// Every benchmark here is one side of a pair: repeat it and keep the minimum.
void paired(benchmark::internal::Benchmark* b) {
  b->Repetitions(kRepetitions)
      ->ComputeStatistics("min",
                          [](const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); })
      ->Unit(benchmark::kMillisecond)
      ->UseRealTime();
}

class TempFolder {
 public:
  TempFolder() {
    std::string tmpl = "/tmp/ulmora-dbbench-XXXXXX";
    if (mkdtemp(tmpl.data())) path_ = tmpl;
  }
  ~TempFolder() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  const std::string& path() const { return path_; }
  std::string mainPath() const { return path_ + "/" + kUser + ".ql"; }

 private:
  std::string path_;
};

std::string pathFor(int i) {
  char text[64];
  std::snprintf(text, sizeof text, "/folder%03d/file%06d.txt", i % 500, i);
  return text;
}

std::vector<std::string> recordFor(int i) {
  return {pathFor(i), "2020-01-01 00:00:00 +0000", std::to_string(1000 + i), "NA", "NA", "0",
          "NA", "NA", "0", "1", "1", ""};
}

void writeBatch(const std::string& folder) {
  DataBaseWrapper writer;
  writer.initializewithDatabase(folder, kUser);
  writer.beginTransaction();
  for (int i = 0; i < kBatchRows; ++i) writer.insert(recordFor(i));
  writer.commitTransaction();
  writer.unInitializeDatabase();
}

const char* kRawInsert =
    "INSERT OR REPLACE INTO FILE_TABLE (FILEPATH, FILE_LMD, FILE_SIZE, ENC_METHOD, ENC_PSWD,"
    " FILE_OR_FOLDER, BKSET_LMD, SYNC_DATE, BACKUP_STATUS, CDP, RESTORE_STATUS, REF_ID)"
    " VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12)";

// The same rows as recordFor(), bound from stack buffers and literals.
bool rawInsert(SqliteConnection& db, int rows) {
  SqliteStatement* stmt = db.cached(kRawInsert);
  if (!stmt || !db.exec("BEGIN IMMEDIATE")) return false;
  char path[64];
  char size[24];
  for (int i = 0; i < rows; ++i) {
    const int pathLength = std::snprintf(path, sizeof path, "/folder%03d/file%06d.txt", i % 500, i);
    const int sizeLength = std::snprintf(size, sizeof size, "%d", 1000 + i);
    stmt->reset();
    stmt->bindBorrowedText(1, std::string_view(path, static_cast<size_t>(pathLength)));
    stmt->bindBorrowedText(2, "2020-01-01 00:00:00 +0000");
    stmt->bindBorrowedText(3, std::string_view(size, static_cast<size_t>(sizeLength)));
    stmt->bindBorrowedText(4, "NA");
    stmt->bindBorrowedText(5, "NA");
    stmt->bindBorrowedText(6, "0");
    stmt->bindBorrowedText(7, "NA");
    stmt->bindBorrowedText(8, "NA");
    stmt->bindBorrowedText(9, "0");
    stmt->bindBorrowedText(10, "1");
    stmt->bindBorrowedText(11, "1");
    stmt->bindBorrowedText(12, "");
    if (!stmt->run()) return false;
  }
  return db.exec("COMMIT");
}

void BM_MergePublishedBatch(benchmark::State& state) {
  for (auto _ : state) {
    state.PauseTiming();
    auto folder = std::make_unique<TempFolder>();
    filestate::openForMerge(folder->mainPath(), nullptr);  // schema exists on both sides
    writeBatch(folder->path());
    DatabaseMerger merger(folder->path(), kUser, Clock::systemClock());
    state.ResumeTiming();

    MergeReport report = merger.mergePending();

    state.PauseTiming();
    if (report.merged != 1) state.SkipWithError("batch not merged");
    folder.reset();
    state.ResumeTiming();
  }
  state.counters["rows/s"] =
      benchmark::Counter(kBatchRows, benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_MergePublishedBatch)->Apply(paired);

void BM_RawInsertOneTransaction(benchmark::State& state) {
  for (auto _ : state) {
    state.PauseTiming();
    auto folder = std::make_unique<TempFolder>();
    auto db = filestate::openForMerge(folder->mainPath(), nullptr);
    state.ResumeTiming();

    bool ok = db && rawInsert(*db, kBatchRows);

    state.PauseTiming();
    if (!ok) state.SkipWithError("raw insert failed");
    db.reset();
    folder.reset();
    state.ResumeTiming();
  }
  state.counters["rows/s"] =
      benchmark::Counter(kBatchRows, benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_RawInsertOneTransaction)->Apply(paired);

// One database of kLookups rows shared by both look-up benchmarks.
struct LookupFixture {
  TempFolder folder;
  std::vector<std::string> paths;
  LookupFixture() {
    auto db = filestate::openForMerge(folder.mainPath(), nullptr);
    SqliteStatement* stmt = db ? db->cached(kRawInsert) : nullptr;
    if (!stmt || !db->exec("BEGIN")) return;
    for (int i = 0; i < kLookups; ++i) {
      std::vector<std::string> values = recordFor(i);
      values[8].assign(1, i % 2 ? '1' : '0');  // half uploaded
      stmt->reset();
      for (int c = 0; c < 12; ++c) stmt->bindText(c + 1, values[c]);
      stmt->run();
      paths.push_back(values[0]);
    }
    db->exec("COMMIT");
  }
  static LookupFixture& shared() {
    static LookupFixture fixture;
    return fixture;
  }
};

void BM_WrapperStatusLookups(benchmark::State& state) {
  LookupFixture& f = LookupFixture::shared();
  DataBaseWrapper wrapper;
  for (auto _ : state) {
    int uploaded = 0;
    for (const std::string& path : f.paths)
      uploaded += wrapper.getBackupStatusForFile(path, f.folder.path(), kUser);
    if (uploaded != kLookups / 2) state.SkipWithError("wrong answers");
  }
  state.counters["lookups/s"] =
      benchmark::Counter(kLookups, benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_WrapperStatusLookups)->Apply(paired);

void BM_RawStatusLookups(benchmark::State& state) {
  LookupFixture& f = LookupFixture::shared();
  auto db = filestate::openForQueries(f.folder.mainPath(), nullptr);
  auto stmt = db->prepare("SELECT BACKUP_STATUS FROM FILE_TABLE WHERE FILEPATH = ?1");
  for (auto _ : state) {
    int uploaded = 0;
    for (const std::string& path : f.paths) {
      stmt->reset();
      stmt->bindText(1, path);
      if (stmt->step() == SqliteStatement::Step::kRow) uploaded += stmt->columnText(0) == "1";
    }
    if (uploaded != kLookups / 2) state.SkipWithError("wrong answers");
  }
  state.counters["lookups/s"] =
      benchmark::Counter(kLookups, benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_RawStatusLookups)->Apply(paired);

// The same look-ups inside one read transaction: what a caller that asks
// many questions at once could have.
void BM_RawStatusLookupsOneReadTransaction(benchmark::State& state) {
  LookupFixture& f = LookupFixture::shared();
  auto db = filestate::openForQueries(f.folder.mainPath(), nullptr);
  auto stmt = db->prepare("SELECT BACKUP_STATUS FROM FILE_TABLE WHERE FILEPATH = ?1");
  for (auto _ : state) {
    int uploaded = 0;
    db->exec("BEGIN");
    for (const std::string& path : f.paths) {
      stmt->reset();
      stmt->bindBorrowedText(1, path);
      if (stmt->step() == SqliteStatement::Step::kRow) uploaded += stmt->columnText(0) == "1";
    }
    stmt->reset();
    db->exec("COMMIT");
    if (uploaded != kLookups / 2) state.SkipWithError("wrong answers");
  }
  state.counters["lookups/s"] =
      benchmark::Counter(kLookups, benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_RawStatusLookupsOneReadTransaction)->Apply(paired);

}  // namespace

BENCHMARK_MAIN();
