#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <grp.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "capture/CaptureDatabase.h"
#include "capture/CaptureInputQueue.h"
#include "capture/CaptureJournalSink.h"
#include "platform/FileUtil.h"

namespace ulmora::testing {

// Permissions bind only an unprivileged user, and the tests run as root in
// CI: `body` runs in a forked child that gave up root (its files under
// `folder` handed to that user first). The child's exit status: `body`'s
// result, 100 when it could not give up root.
inline int exitStatusAsUnprivileged(const std::string& folder, const std::function<int()>& body) {
  constexpr uid_t kNobody = 65534;
  if (::geteuid() == 0 && !fileutil::setOwner(folder, kNobody, kNobody, true)) return 101;
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (::geteuid() == 0 &&
        (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0))
      _exit(100);
    _exit(body());
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Plain create-and-write, as a program saving a file does it.
inline void put(const std::string& path, const std::string& text = "data") {
  FILE* f = std::fopen(path.c_str(), "w");
  ASSERT_NE(f, nullptr) << path;
  std::fputs(text.c_str(), f);
  std::fclose(f);
}

inline void move(const std::string& from, const std::string& to) {
  ASSERT_EQ(std::rename(from.c_str(), to.c_str()), 0) << from << " -> " << to;
}

// Records what the capture hands the journal writer, in call order.
class FakeJournalSink final : public CaptureJournalSink {
 public:
  struct Call {
    std::string method;
    std::vector<std::string> paths;
    std::vector<RenameEntry> renames;
  };

  void addBackupFiles(const std::vector<std::string>& paths) override { record("addBackupFiles", paths); }
  void addDirectory(const std::vector<std::string>& paths) override { record("addDirectory", paths); }
  void addDeleteFiles(const std::vector<std::string>& paths) override { record("addDeleteFiles", paths); }
  void addRenamedFiles(const std::vector<RenameEntry>& renames) override {
    std::lock_guard<std::mutex> hold(mutex_);
    calls_.push_back(Call{"addRenamedFiles", {}, renames});
    ++generation_;
    changed_.notify_all();
  }
  void addRestoreFiles(const std::vector<std::string>& paths) override { record("addRestoreFiles", paths); }
  void addOBBackupFiles(const std::vector<std::string>& paths) override { record("addOBBackupFiles", paths); }
  void addOBRestoreFiles(const std::vector<std::string>& paths) override { record("addOBRestoreFiles", paths); }
  void mainDBQueryFinished(const std::vector<std::string>& paths) override {
    record("mainDBQueryFinished", paths);
  }
  void RDDBQueryFinished(const std::optional<RDDataBaseRows>& rows) override {
    record("RDDBQueryFinished", rows ? std::vector<std::string>{"rows"} : std::vector<std::string>{});
  }

  std::vector<Call> calls() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return calls_;
  }
  // Every path handed to `method`, in order.
  std::vector<std::string> paths(const std::string& method) const {
    std::lock_guard<std::mutex> hold(mutex_);
    std::vector<std::string> out;
    for (const Call& call : calls_) {
      if (call.method == method) out.insert(out.end(), call.paths.begin(), call.paths.end());
    }
    return out;
  }
  std::set<std::string> pathSet(const std::string& method) const {
    auto list = paths(method);
    return {list.begin(), list.end()};
  }
  std::vector<RenameEntry> renames() const {
    std::lock_guard<std::mutex> hold(mutex_);
    std::vector<RenameEntry> out;
    for (const Call& call : calls_) out.insert(out.end(), call.renames.begin(), call.renames.end());
    return out;
  }
  bool contains(const std::string& method, const std::string& path) const {
    auto list = paths(method);
    return std::find(list.begin(), list.end(), path) != list.end();
  }
  // Waits (real time, bounded) until `pred` holds for what was recorded.
  bool waitFor(const std::function<bool()>& pred,
               std::chrono::milliseconds timeout = std::chrono::seconds(20)) const {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
      uint64_t seen;
      {
        std::lock_guard<std::mutex> hold(mutex_);
        seen = generation_;
      }
      if (pred()) return true;
      std::unique_lock<std::mutex> lock(mutex_);
      if (!changed_.wait_until(lock, deadline, [&] { return generation_ != seen; })) {
        lock.unlock();
        return pred();
      }
    }
  }
  void clear() {
    std::lock_guard<std::mutex> hold(mutex_);
    calls_.clear();
  }

 private:
  void record(const char* method, const std::vector<std::string>& paths) {
    std::lock_guard<std::mutex> hold(mutex_);
    calls_.push_back(Call{method, paths, {}});
    ++generation_;
    changed_.notify_all();
  }

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<Call> calls_;
  uint64_t generation_ = 0;
};

class FakeInputQueue final : public CaptureInputQueue {
 public:
  void addFileToUpdate(const std::map<std::string, std::string>& entries) override {
    std::lock_guard<std::mutex> hold(mutex_);
    updates.push_back(entries);
  }
  void addFileToDelete(const std::string& relativePath) override {
    std::lock_guard<std::mutex> hold(mutex_);
    deletes.push_back(relativePath);
  }
  std::vector<std::map<std::string, std::string>> updates;
  std::vector<std::string> deletes;

 private:
  std::mutex mutex_;
};

class FakeCaptureDatabase final : public CaptureDatabase {
 public:
  std::optional<std::vector<std::string>> upload, download, obUpload, obDownload;
  std::optional<std::vector<LocalFileRow>> rows;
  std::optional<RDDataBaseRows> rd;

  std::optional<std::vector<std::string>> pathsToUpload() override { return get(upload); }
  std::optional<std::vector<std::string>> pathsToDownload() override { return get(download); }
  std::optional<std::vector<std::string>> outOfBoxPathsToUpload() override { return get(obUpload); }
  std::optional<std::vector<std::string>> outOfBoxPathsToDownload() override { return get(obDownload); }
  std::optional<std::vector<LocalFileRow>> fileRows() override {
    std::lock_guard<std::mutex> hold(mutex_);
    return rows;
  }
  std::optional<RDDataBaseRows> renameDeleteRows() override {
    std::lock_guard<std::mutex> hold(mutex_);
    return rd;
  }
  void setRows(std::vector<LocalFileRow> r) {
    std::lock_guard<std::mutex> hold(mutex_);
    rows = std::move(r);
  }

 private:
  std::optional<std::vector<std::string>> get(const std::optional<std::vector<std::string>>& v) {
    std::lock_guard<std::mutex> hold(mutex_);
    return v;
  }
  std::mutex mutex_;
};

}  // namespace ulmora::testing
