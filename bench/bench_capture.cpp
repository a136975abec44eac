// Local change capture against the system's own tools and goals:
// - the first full scan of a 100,000-file tree (FolderEnumerator) beside
//   `find ROOT -type f` over the same tree (goal: at most 2x find);
// - a burst of 10,000 new files: time from the last write until the last of
//   them reached the journal writer, with the production coalescing window of
//   1 s (goal: under 5 s);
// - 10,000 files created in a new folder that is renamed at once: time from
//   the rename until every file is in a published upload list under its new
//   path (watcher and event journal writer as the account runs them);
// - a start with 100,000 files of which 10,000 changed while the agent was
//   down: time from the watcher's start until every changed file is in a
//   published upload list, beside `find ROOT -type f -printf '%s %T@\n'` (it
//   stats, as the comparison does) plus the journal writer alone on the same
//   10,000 entries (goal: at most 2x that sum).
// Each benchmark reports the peak resident memory it reached (VmHWM, reset
// before it runs). find runs as a whole process with its output discarded.
// Each benchmark repeats 5 times (scripts/bench interleaves the repetitions of
// all benchmarks at random) and reports mean, median and min.
#include <benchmark/benchmark.h>
#include <errno.h>
#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <unordered_set>

#include <sys/stat.h>

#include <thread>

#include "capture/CaptureDatabase.h"
#include "capture/CaptureJournalSink.h"
#include "capture/ExcludedFilesCollections.h"
#include "capture/FolderEnumerator.h"
#include "capture/NEWFSEventWatcher.h"
#include "journal/JournalFormat.h"
#include "journal/JournalReader.h"
#include "journal/SyncFilesController.h"
#include "journal/SyncFilesHost.h"
#include "journal/SyncRecordBuilder.h"
#include "platform/ProcessRunner.h"
#include "session/SyncFilesCaptureSink.h"

namespace {

// Every benchmark here is one side of a pair: repeat it and keep the minimum.
void paired(benchmark::internal::Benchmark* b) {
  b->Repetitions(5)
      ->ComputeStatistics("min",
                          [](const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); })
      ->Unit(benchmark::kMillisecond);
}

using namespace ulmora;

constexpr int kTopFolders = 100;
constexpr int kSubFolders = 10;
constexpr int kFilesPerFolder = 100;  // 100 x 10 x 100 = 100,000 files
constexpr int kBurstFiles = 10000;

class TempFolder {
 public:
  TempFolder() {
    std::string tmpl = std::filesystem::temp_directory_path().string() + "/ulmora-capbench-XXXXXX";
    if (mkdtemp(tmpl.data())) path_ = tmpl;
  }
  ~TempFolder() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

void touch(const std::string& path) {
  if (FILE* f = std::fopen(path.c_str(), "w")) {
    std::fputs("x", f);
    std::fclose(f);
  }
}

// The 100,000-file tree, made once for the whole run.
const std::string& scanTree() {
  static TempFolder folder;
  static const std::string root = [] {
    const std::string r = folder.path() + "/Sync";
    for (int t = 0; t < kTopFolders; ++t) {
      for (int s = 0; s < kSubFolders; ++s) {
        const std::string dir = r + "/t" + std::to_string(t) + "/s" + std::to_string(s);
        std::filesystem::create_directories(dir);
        for (int f = 0; f < kFilesPerFolder; ++f) touch(dir + "/file" + std::to_string(f) + ".txt");
      }
    }
    return r;
  }();
  return root;
}

void resetPeakMemory() {
  std::ofstream clear("/proc/self/clear_refs");
  clear << "5";
}

double peakMemoryMiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stod(line.substr(6)) / 1024.0;
  }
  return 0;
}

// Counts what reaches the writer; the burst also remembers distinct paths.
class CountingSink final : public CaptureJournalSink {
 public:
  void addBackupFiles(const std::vector<std::string>& paths) override {
    std::lock_guard<std::mutex> hold(mutex_);
    count_ += paths.size();
    if (keep_) {
      distinct_.insert(paths.begin(), paths.end());
      if (distinct_.size() >= target_) {
        reached_ = std::chrono::steady_clock::now();
        done_.notify_all();
      }
    }
  }
  void addDirectory(const std::vector<std::string>&) override {}
  void addDeleteFiles(const std::vector<std::string>&) override {}
  void addRenamedFiles(const std::vector<RenameEntry>&) override {}
  void addRestoreFiles(const std::vector<std::string>&) override {}
  void addOBBackupFiles(const std::vector<std::string>&) override {}
  void addOBRestoreFiles(const std::vector<std::string>&) override {}
  void mainDBQueryFinished(const std::vector<std::string>&) override {}
  void RDDBQueryFinished(const std::optional<RDDataBaseRows>&) override {}

  void expect(size_t target) {
    std::lock_guard<std::mutex> hold(mutex_);
    keep_ = true;
    target_ = target;
    distinct_.clear();
    reached_.reset();
  }
  std::optional<std::chrono::steady_clock::time_point> waitReached(std::chrono::seconds limit) {
    std::unique_lock<std::mutex> lock(mutex_);
    done_.wait_for(lock, limit, [&] { return reached_.has_value(); });
    return reached_;
  }
  size_t count() {
    std::lock_guard<std::mutex> hold(mutex_);
    return count_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable done_;
  size_t count_ = 0;
  bool keep_ = false;
  size_t target_ = 0;
  std::unordered_set<std::string> distinct_;
  std::optional<std::chrono::steady_clock::time_point> reached_;
};

void BM_FirstFullScan(benchmark::State& state) {
  const std::string& root = scanTree();
  ExcludedFilesCollections::Config config;
  config.syncRoot = root;
  ExcludedFilesCollections collections(config);  // the built-in rules, as a new account has
  resetPeakMemory();
  int64_t files = 0;
  for (auto _ : state) {
    CountingSink sink;
    FolderEnumerator::Options options;
    options.root = root;
    FolderEnumerator scan(options, sink, collections);
    files = scan.run().filesHandedOn;
  }
  state.counters["files"] = static_cast<double>(files);
  state.counters["peak_rss_MiB"] = peakMemoryMiB();
  if (files != kTopFolders * kSubFolders * kFilesPerFolder) state.SkipWithError("files missing");
}
BENCHMARK(BM_FirstFullScan)->Apply(paired)->UseRealTime()->MinTime(1.0);

// Runs find over the tree as a whole process, its output thrown away: the
// time is find's own, not that of a reader of its lines. Its exit status.
int runFind(const std::vector<std::string>& arguments) {
  std::vector<std::string> argvText{"find"};
  argvText.insert(argvText.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (auto& a : argvText) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, "/usr/bin/find", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return -1;
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void BM_FindTypeF(benchmark::State& state) {
  const std::string& root = scanTree();
  resetPeakMemory();
  for (auto _ : state)
    if (runFind({root, "-type", "f"}) != 0) state.SkipWithError("find failed");
}
BENCHMARK(BM_FindTypeF)->Apply(paired)->UseRealTime()->MinTime(1.0);

void BM_BurstOf10000NewFiles(benchmark::State& state) {
  TempFolder folder;
  const std::string root = folder.path() + "/Sync";
  std::filesystem::create_directories(root);
  ExcludedFilesCollections::Config config;
  config.syncRoot = root;
  ExcludedFilesCollections collections(config);
  CountingSink sink;
  NEWFSEventWatcher::Options options;
  options.syncRoot = root;  // production coalescing window
  NEWFSEventWatcher watcher(options, sink, collections);
  if (!watcher.start()) {
    state.SkipWithError("inotify unavailable");
    return;
  }
  resetPeakMemory();
  int round = 0;
  for (auto _ : state) {
    const std::string dir = root + "/burst" + std::to_string(round++);
    std::filesystem::create_directories(dir);
    sink.expect(kBurstFiles);
    for (int i = 0; i < kBurstFiles; ++i) touch(dir + "/f" + std::to_string(i));
    const auto lastWrite = std::chrono::steady_clock::now();
    const auto reached = sink.waitReached(std::chrono::seconds(60));
    if (!reached) {
      state.SkipWithError("not every file reached the writer within 60 s");
      break;
    }
    state.SetIterationTime(std::chrono::duration<double>(*reached - lastWrite).count());
  }
  state.counters["peak_rss_MiB"] = peakMemoryMiB();
}
BENCHMARK(BM_BurstOf10000NewFiles)->UseManualTime()->Apply(paired)->Iterations(1);

// ---------------------------------------------------------------- with the journal writer

class BenchHost final : public SyncFilesHost {
 public:
  explicit BenchHost(std::string root) : root_(std::move(root)) {}
  std::string syncRootPath() override { return root_; }
  std::shared_ptr<CompanionMessenger> finderMessenger() override { return nullptr; }
  std::shared_ptr<CompanionMessenger> monitorMessenger() override { return nullptr; }

 private:
  std::string root_;
};

// One account's event journal writer over journal folders of its own.
class JournalBench {
 public:
  JournalBench(const std::string& root, bool thread) : host_(root) {
    SyncFilesController::Options options;
    options.applicationFile = [this](int index) { return app_.path() + "/" + std::to_string(index); };
    options.host = &host_;
    options.machineName = "bench";
    PropertyList::Dict details{{"ConsoleUser", PropertyList("bench")},
                               {"SyncUser", PropertyList("bench")}};
    writer_ = std::make_unique<SyncFilesController>(PropertyList(details), std::move(options));
    if (thread) {
      writer_->stopSyncFilesOperationWithReset(true);
    } else {
      writer_->createSyncFilesDir();
    }
  }
  ~JournalBench() { writer_.reset(); }

  SyncFilesController& writer() { return *writer_; }
  JournalFolder uploads() const { return JournalFolder(writer_->folderPath(journal::kUploadFolder)); }
  // Looks at the published upload lists every 20 ms until each expected
  // relative path is in one of them.
  std::optional<std::chrono::steady_clock::time_point> waitListed(
      const std::unordered_set<std::string>& expected, std::chrono::seconds limit) {
    const auto giveUp = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < giveUp) {
      std::unordered_set<std::string> found;
      for (auto& line : JournalReader::peekTextLines(uploads()))
        if (expected.count(line)) found.insert(std::move(line));
      if (found.size() == expected.size()) return std::chrono::steady_clock::now();
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return std::nullopt;
  }

 private:
  TempFolder app_;
  BenchHost host_;
  std::unique_ptr<SyncFilesController> writer_;
};

void BM_TenThousandFilesRenamedAtOnce(benchmark::State& state) {
  TempFolder folder;
  const std::string root = folder.path() + "/Sync";
  std::filesystem::create_directories(root);
  ExcludedFilesCollections::Config config;
  config.syncRoot = root;
  ExcludedFilesCollections collections(config);
  JournalBench journal(root, true);
  SyncFilesCaptureSink sink(journal.writer());
  NEWFSEventWatcher::Options options;
  options.syncRoot = root;
  NEWFSEventWatcher watcher(options, sink, collections);
  if (!watcher.start()) {
    state.SkipWithError("inotify unavailable");
    return;
  }
  resetPeakMemory();
  int round = 0;
  for (auto _ : state) {
    const std::string name = "/r" + std::to_string(round++);
    std::filesystem::create_directories(root + name + "-new");
    std::unordered_set<std::string> expected;
    for (int i = 0; i < kBurstFiles; ++i) {
      touch(root + name + "-new/f" + std::to_string(i));
      expected.insert(name + "/f" + std::to_string(i));
    }
    std::filesystem::rename(root + name + "-new", root + name);
    const auto renamed = std::chrono::steady_clock::now();
    const auto listed = journal.waitListed(expected, std::chrono::seconds(60));
    if (!listed) {
      state.SkipWithError("not every renamed file reached an upload list within 60 s");
      break;
    }
    state.SetIterationTime(std::chrono::duration<double>(*listed - renamed).count());
  }
  state.counters["peak_rss_MiB"] = peakMemoryMiB();
}
BENCHMARK(BM_TenThousandFilesRenamedAtOnce)->UseManualTime()->Apply(paired)->Iterations(1);

// The database of the 100,000-file tree as the agent left it; every tenth
// file has changed since (its row records another size).
class RestartDatabase final : public CaptureDatabase {
 public:
  explicit RestartDatabase(const std::string& root) {
    const SyncRootPath rootPath(root);
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
      struct stat st;
      if (::lstat(entry.path().c_str(), &st) != 0) continue;
      LocalFileRow row;
      row.path = rootPath.relative(entry.path().string());
      row.isFolder = S_ISDIR(st.st_mode);
      row.size = std::to_string(st.st_size);
      row.modificationDate =
          syncrecord::dateText(Clock::WallTime(std::chrono::seconds(st.st_mtim.tv_sec)));
      if (!row.isFolder && rows_.size() % 10 == 0) {
        row.size = "999";
        changed_.insert(row.path);
      }
      rows_.push_back(std::move(row));
    }
  }
  const std::unordered_set<std::string>& changed() const { return changed_; }

  std::optional<std::vector<std::string>> pathsToUpload() override { return std::vector<std::string>{}; }
  std::optional<std::vector<std::string>> pathsToDownload() override { return std::vector<std::string>{}; }
  std::optional<std::vector<std::string>> outOfBoxPathsToUpload() override { return std::vector<std::string>{}; }
  std::optional<std::vector<std::string>> outOfBoxPathsToDownload() override { return std::vector<std::string>{}; }
  std::optional<std::vector<LocalFileRow>> fileRows() override { return rows_; }
  std::optional<RDDataBaseRows> renameDeleteRows() override { return std::nullopt; }

 private:
  std::vector<LocalFileRow> rows_;
  std::unordered_set<std::string> changed_;
};

void BM_StartWith10000Of100000Changed(benchmark::State& state) {
  const std::string& root = scanTree();
  RestartDatabase database(root);
  ExcludedFilesCollections::Config config;
  config.syncRoot = root;
  ExcludedFilesCollections collections(config);
  resetPeakMemory();
  for (auto _ : state) {
    JournalBench journal(root, true);
    SyncFilesCaptureSink sink(journal.writer());
    NEWFSEventWatcher::Options options;
    options.syncRoot = root;
    options.database = &database;
    NEWFSEventWatcher watcher(options, sink, collections);
    const auto started = std::chrono::steady_clock::now();
    if (!watcher.start()) {
      state.SkipWithError("inotify unavailable");
      return;
    }
    watcher.compareWithDatabaseAtStart();
    const auto listed = journal.waitListed(database.changed(), std::chrono::seconds(120));
    if (!listed) {
      state.SkipWithError("not every changed file reached an upload list within 120 s");
      break;
    }
    state.SetIterationTime(std::chrono::duration<double>(*listed - started).count());
  }
  state.counters["changed"] = static_cast<double>(database.changed().size());
  state.counters["peak_rss_MiB"] = peakMemoryMiB();
}
BENCHMARK(BM_StartWith10000Of100000Changed)->UseManualTime()->Apply(paired)->Iterations(1);

void BM_FindPrintfSizeAndTime(benchmark::State& state) {
  const std::string& root = scanTree();
  for (auto _ : state)
    if (runFind({root, "-type", "f", "-printf", "%s %T@\\n"}) != 0) state.SkipWithError("find failed");
}
BENCHMARK(BM_FindPrintfSizeAndTime)->Apply(paired)->UseRealTime()->MinTime(1.0);

// The journal writer alone: one tick that writes the same 10,000 entries.
void BM_JournalWriterAlone10000(benchmark::State& state) {
  const std::string& root = scanTree();
  RestartDatabase database(root);
  std::vector<std::string> paths;
  for (const auto& relative : database.changed()) paths.push_back(root + relative);
  JournalBench journal(root, false);
  for (auto _ : state) {
    journal.writer().addBackupFiles(paths);
    journal.writer().timerFireMethod();
    state.PauseTiming();
    journal.writer().deleteFileFor("1", false);
    state.ResumeTiming();
  }
}
BENCHMARK(BM_JournalWriterAlone10000)->Apply(paired)->UseRealTime()->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
