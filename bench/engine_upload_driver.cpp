// Whole-run upload driver for bench/engine_upload.sh: uploads every file of a
// folder through KVTBackupManager and the stand-in engine, the way the sync
// controller starts an upload, and reports how long the run took.
//
//   engine_upload_driver make-tree <folder> <files> <bytes>
//   engine_upload_driver upload <engine> <storage> <source> <work>

#include <dirent.h>
#include <sys/stat.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "engine/KVTBackupManager.h"
#include "platform/FileUtil.h"
#include "platform/Trace.h"

namespace {

using ulmora::KVTBackupManager;
using ulmora::KVTProgressRecord;

class WaitingDelegate : public ulmora::KVTBackupRestoreHandlerProtocol {
 public:
  void operationDidStart(KVTBackupManager&) override {}
  void operationDidReceiveData(const KVTProgressRecord&, KVTBackupManager&) override { ++files; }
  void removeSfErrorFileFromDb(const std::string&, KVTBackupManager&) override {}
  void makeScriptCallForObject(KVTBackupManager&) override {}
  void operationStartedRetrying(KVTBackupManager&) override {}
  void operationDidFinishFileListGeneration(KVTBackupManager&) override {}
  void operationDidReceiveErrors(const std::string& e, const std::string& p, KVTBackupManager&) override {
    std::fprintf(stderr, "error: %s %s\n", p.c_str(), e.c_str());
  }
  void operationDidFailWithError(const std::string& e, KVTBackupManager&) override { end("failed: " + e); }
  void operationDidFailWithOverQuota(KVTBackupManager&) override { end("over quota"); }
  void operationDidCancel(KVTBackupManager&) override { end("cancelled"); }
  void operationCanceld(KVTBackupManager&) override {}
  void operationDidFinishSuccessfully(KVTBackupManager&) override { end(""); }
  void restoreRestarted(KVTBackupManager&) override {}

  std::string wait() {
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait(lock, [this] { return done_; });
    return outcome_;
  }

  long files = 0;

 private:
  void end(std::string outcome) {
    std::lock_guard<std::mutex> lock(mu_);
    outcome_ = std::move(outcome);
    done_ = true;
    cv_.notify_all();
  }
  std::mutex mu_;
  std::condition_variable cv_;
  bool done_ = false;
  std::string outcome_;
};

void collect(const std::string& root, const std::string& rel, std::vector<std::string>& out) {
  DIR* d = ::opendir((root + rel).c_str());
  if (d == nullptr) return;
  while (dirent* e = ::readdir(d)) {
    std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    std::string child = rel + "/" + name;
    struct stat st {};
    if (::lstat((root + child).c_str(), &st) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      collect(root, child, out);
    } else if (S_ISREG(st.st_mode)) {
      out.push_back(child);
    }
  }
  ::closedir(d);
}

int makeTree(const std::string& folder, long files, long bytes) {
  std::string block(static_cast<size_t>(bytes), '\0');
  for (long i = 0; i < files; ++i) {
    std::string dir = folder + "/d" + std::to_string(i / 100);
    if (i % 100 == 0 && !ulmora::fileutil::makeDirectories(dir)) return 1;
    for (size_t b = 0; b < block.size(); ++b) block[b] = static_cast<char>((i * 131 + static_cast<long>(b)) & 0xff);
    if (!ulmora::fileutil::writeFileAtomically(dir + "/f" + std::to_string(i) + ".bin", block)) return 1;
  }
  return 0;
}

int upload(const std::string& engine, const std::string& storage, const std::string& source,
           const std::string& work) {
  // The run's trace lines would only clutter the figures.
  ulmora::setTraceSink([](std::string_view) {});
  std::vector<std::string> set;
  collect(source, "", set);
  WaitingDelegate delegate;
  KVTBackupManager manager;
  manager.setDelegate(&delegate);
  manager.setExecutorPath(engine);
  manager.setApplicationSupportFolder(work + "/support");
  manager.setApplicationFileResolver([&](int i) { return work + "/app" + std::to_string(i); });
  manager.setRestore(false);
  manager.setBackupSourceFolder(source);
  manager.setDestinationPath("/");
  manager.editUserInfo([&](ulmora::User& u) {
    u.setUserName("bench");
    u.setPassword("pw");
    u.setKVTServerIP(storage);
  });
  manager.createTempFilePaths();
  manager.setCancel(false);
  manager.setFileFolderSetForOperation(set);
  auto start = std::chrono::steady_clock::now();
  manager.startBackup();
  std::string outcome = delegate.wait();
  double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (!outcome.empty()) {
    std::fprintf(stderr, "upload %s\n", outcome.c_str());
    return 1;
  }
  std::printf("uploaded %ld of %zu files in %.3f s\n", delegate.files, set.size(), secs);
  return delegate.files == static_cast<long>(set.size()) ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> a(argv + 1, argv + argc);
  if (a.size() == 4 && a[0] == "make-tree") return makeTree(a[1], std::atol(a[2].c_str()), std::atol(a[3].c_str()));
  if (a.size() == 5 && a[0] == "upload") return upload(a[1], a[2], a[3], a[4]);
  std::fprintf(stderr,
               "usage: engine_upload_driver make-tree <folder> <files> <bytes>\n"
               "       engine_upload_driver upload <engine> <storage> <source> <work>\n");
  return 2;
}
