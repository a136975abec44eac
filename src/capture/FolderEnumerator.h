#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <set>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

namespace ulmora {

class CaptureJournalSink;
class ExcludedFilesCollections;
class ExclusionRules;

// The first full scan of a new account's folder: every file below the root
// that is neither excluded by the rules nor in a deselected (selective-sync)
// folder goes to the journal writer with addBackupFiles (addOBBackupFiles
// for the Out-of-Box variant), in batches; so does every folder that holds
// nothing to hand on, with addDirectory (not in the Out-of-Box variant),
// after the files. Excluded and deselected folders
// are not entered at all. Symlinks are handed on as items and never
// followed.
//
// Thread-safety: run() belongs to one thread at a time; start() runs it on a
// thread of this object, which stop() and the destructor end and join.
// didFoundFile may be called from any thread.
class FolderEnumerator {
 public:
  struct Options {
    std::string root;  // the folder to scan (the sync root)
    // Relative folder paths ("/a/b") the user has deselected.
    std::set<std::string> deselectedFolders;
    bool outOfBox = false;
    std::size_t batchSize = 2048;
  };

  struct Result {
    bool completed = false;  // the root was read and the walk was not stopped
    int64_t filesHandedOn = 0;
    int64_t emptyFoldersHandedOn = 0;
    int64_t itemsExcluded = 0;
  };

  FolderEnumerator(Options options, CaptureJournalSink& sink,
                   const ExcludedFilesCollections& collections);
  ~FolderEnumerator();
  FolderEnumerator(const FolderEnumerator&) = delete;
  FolderEnumerator& operator=(const FolderEnumerator&) = delete;

  // The scan, on the calling thread.
  Result run(std::stop_token stop = {});
  void start();
  void stop();
  bool isRunning() const { return running_.load(); }

  // One found file (full path): handed on unless excluded or deselected.
  void didFoundFile(const std::string& path);

 private:
  bool isDeselected(std::string_view relativePath) const;
  void send(const std::vector<std::string>& batch);

  const Options options_;
  CaptureJournalSink& sink_;
  const ExcludedFilesCollections& collections_;
  std::atomic<bool> running_{false};
  std::jthread thread_;
};

}  // namespace ulmora
