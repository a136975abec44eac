// Local change capture against the system's own tools and goals:
// - the first full scan of a 100,000-file tree (FolderEnumerator) beside
//   `find ROOT -type f` over the same tree (goal: at most 2x find);
// - a burst of 10,000 new files: time from the last write until the last of
//   them reached the journal writer, with the production coalescing window of
//   1 s (goal: under 5 s).
// Each benchmark reports the peak resident memory it reached (VmHWM, reset
// before it runs).
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <unordered_set>

#include "capture/CaptureJournalSink.h"
#include "capture/ExcludedFilesCollections.h"
#include "capture/FolderEnumerator.h"
#include "capture/NEWFSEventWatcher.h"
#include "platform/ProcessRunner.h"

namespace {

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
BENCHMARK(BM_FirstFullScan)->Unit(benchmark::kMillisecond)->MinTime(2.0);

void BM_FindTypeF(benchmark::State& state) {
  const std::string& root = scanTree();
  resetPeakMemory();
  int64_t lines = 0;
  for (auto _ : state) {
    ProcessOptions options;
    options.executable = "/usr/bin/find";
    options.arguments = {root, "-type", "f"};
    ChildProcess find(options);
    lines = 0;
    find.setStdoutLineHandler([&](std::string_view) { ++lines; });
    find.start();
    find.wait();
  }
  state.counters["files"] = static_cast<double>(lines);
  state.counters["peak_rss_MiB"] = peakMemoryMiB();
}
BENCHMARK(BM_FindTypeF)->Unit(benchmark::kMillisecond)->MinTime(2.0);

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
BENCHMARK(BM_BurstOf10000NewFiles)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
