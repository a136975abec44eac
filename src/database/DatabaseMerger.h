#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "platform/ThreadAnnotations.h"
#include "database/DatabaseTrace.h"
#include "database/PendingBatchFormat.h"
#include "platform/Clock.h"

namespace ulmora {

class SqliteConnection;

struct MergeReport {
  int merged = 0;     // batches applied (or found already applied) and removed
  int setAside = 0;   // unreadable batches renamed "<name>.unreadable"
  int remaining = 0;  // published batches left for a later pass
};

// The database update thread of one account: applies the published
// pending-operation batches of "<dbFolder>/<user>.pending/" to the main
// database "<dbFolder>/<user>.ql" (created when missing), in publish order,
// each batch in one transaction, and removes a batch only after its merge
// committed. A batch is recorded by its id in the same transaction, so
// merging it again after a crash changes nothing. A batch that cannot be
// read is renamed aside with a trace line, and the next one still merges.
// When the main database itself cannot be used (damaged, not a database,
// busy) the pass stops, the file is left untouched and every batch waits.
//
// The thread runs a pass at start and then whenever requestMerge() asks
// (the writer of the batches asks after each one it publishes), so an idle
// account never wakes it. Only a pass that left batches waiting for the main
// database is tried again by itself, kRetryInterval of the clock's monotonic
// time later.
//
// Thread-safety: all methods may be called from any thread. Lock order:
// passMutex_ before mutex_.
class DatabaseMerger {
 public:
  static constexpr std::chrono::seconds kRetryInterval{3};
  // Ids of merged batches kept to recognise a batch merged again.
  static constexpr int64_t kRememberedBatches = 1000;

  DatabaseMerger(std::string dbFolder, std::string user, Clock& clock);
  // Stops and joins the thread.
  ~DatabaseMerger();
  DatabaseMerger(const DatabaseMerger&) = delete;
  DatabaseMerger& operator=(const DatabaseMerger&) = delete;

  // One pass, on the calling thread (passes never overlap).
  MergeReport mergePending();

  // Called on the merging thread after each pass that merged a batch, e.g.
  // to send the new in-sync list. Set it before start(); it must not call
  // back into this merger's mergePending().
  void setMergeObserver(std::function<void(const MergeReport&)> observer);

  void start();
  void stop();
  bool isRunning() const { return running_.load(); }
  // Makes the thread run a pass now (another one, when a pass is running).
  void requestMerge();

  // Waits (clock time, at most `timeout`) until no published batch is left,
  // asking the thread to merge now. True when none is left. Batches that
  // cannot be merged (a damaged main database) make this time out.
  bool waitUntilMerged(Clock::Duration timeout);

  // True while published (finished, unmerged) batches exist for the user.
  static bool hasPublishedBatches(const std::string& dbFolder, const std::string& user);

 private:
  enum class Outcome { kMerged, kSetAside, kMainFailed };
  // How one attempt at a batch ended.
  struct Applied {
    enum Kind {
      kMerged,      // committed, or found merged before
      kUnreadable,  // the batch cannot be read: set it aside
      kMainFailed,  // the main database refused (already traced)
      kRunFailed,   // a run of rows failed: try again row by row
    } kind;
    std::string reason = {};
  };

  MergeReport runPass();
  Outcome mergeBatch(SqliteConnection& main, const std::string& name);
  // One transaction; `inRuns` needs the batch attached to `main`.
  Applied applyBatch(SqliteConnection& main, SqliteConnection& batch, const std::string& name,
                     pendingbatch::Target target, const std::string& batchId, bool inRuns);
  Outcome setAside(const std::string& name, const std::string& reason);
  bool recordMerged(SqliteConnection& main, const std::string& batchId);
  void removeMerged(const std::string& name);
  void signalPass();
  void threadMain();

  const std::string batchFolder_;  // empty when the user name cannot name a file
  const std::string mainPath_;
  Clock& clock_;
  std::function<void(const MergeReport&)> observer_;
  RepeatedFailureTrace mainFailure_;

  Mutex passMutex_;
  Mutex mutex_;
  std::condition_variable cv_;
  bool stopRequested_ ULMORA_GUARDED_BY(mutex_) = false;
  bool wakeRequested_ ULMORA_GUARDED_BY(mutex_) = false;
  std::atomic<bool> running_{false};
  std::thread thread_;
};

}  // namespace ulmora
