#include "database/DatabaseMerger.h"

#include <exception>

#include "database/BatchApplier.h"
#include "database/FileStateSchema.h"
#include "database/PendingBatchFormat.h"
#include "database/SqliteConnection.h"
#include "database/SqliteTransaction.h"
#include "foundation/JournalStampGenerator.h"
#include "platform/FileUtil.h"

namespace ulmora {
namespace {

using pendingbatch::Operation;
using pendingbatch::Target;

// The record in its fixed order after the operation, whatever the column
// order on disk, then the rowid that runs of rows are addressed by.
constexpr const char* kSelectRows =
    "SELECT OPERATION, FILEPATH, FILE_LMD, FILE_SIZE, ENC_METHOD, ENC_PSWD, FILE_OR_FOLDER,"
    " BKSET_LMD, SYNC_DATE, BACKUP_STATUS, CDP, RESTORE_STATUS, REF_ID, rowid"
    " FROM PENDING_OPERATIONS ORDER BY rowid";
constexpr int kRowidColumn = 13;

// The name the batch being merged has on the main connection.
constexpr std::string_view kAttachedBatch = "merging_batch";

std::string batchFolderFor(const std::string& dbFolder, const std::string& user) {
  return pendingbatch::folderFor(dbFolder, user).value_or("");
}

std::string mainPathFor(const std::string& dbFolder, const std::string& user) {
  return filestate::databasePath(dbFolder, user).value_or("");
}

// The batch attached to the main connection while it merges, so runs of
// rows go from one file to the other in one statement. ATTACH and DETACH are
// refused inside a transaction: this outlives the merge's transaction.
class BatchAttachment {
 public:
  BatchAttachment(SqliteConnection& main, const std::string& path)
      : main_(main), attached_(main.attachReadOnly(path, kAttachedBatch)) {}
  ~BatchAttachment() { detach(); }
  BatchAttachment(const BatchAttachment&) = delete;
  BatchAttachment& operator=(const BatchAttachment&) = delete;

  bool attached() const { return attached_; }
  void detach() {
    if (attached_) main_.detach(kAttachedBatch);
    attached_ = false;
  }

 private:
  SqliteConnection& main_;
  bool attached_;
};

}  // namespace

DatabaseMerger::DatabaseMerger(std::string dbFolder, std::string user, Clock& clock)
    : batchFolder_(batchFolderFor(dbFolder, user)),
      mainPath_(mainPathFor(dbFolder, user)),
      clock_(clock) {
  if (batchFolder_.empty())
    databaseTrace("DatabaseMerger: user name \"" + user + "\" cannot name a database; no merge");
}

DatabaseMerger::~DatabaseMerger() { stop(); }

void DatabaseMerger::setMergeObserver(std::function<void(const MergeReport&)> observer) {
  MutexLock pass(passMutex_);
  observer_ = std::move(observer);
}

bool DatabaseMerger::hasPublishedBatches(const std::string& dbFolder, const std::string& user) {
  std::string folder = batchFolderFor(dbFolder, user);
  return !folder.empty() && !pendingbatch::publishedBatches(folder).empty();
}

MergeReport DatabaseMerger::mergePending() {
  MergeReport report;
  std::function<void(const MergeReport&)> observer;
  {
    MutexLock pass(passMutex_);
    report = runPass();
    observer = observer_;
  }
  signalPass();
  if (report.merged > 0 && observer) observer(report);
  return report;
}

MergeReport DatabaseMerger::runPass() {
  MergeReport report;
  if (batchFolder_.empty()) return report;
  std::vector<std::string> names = pendingbatch::publishedBatches(batchFolder_);
  if (names.empty()) return report;

  std::string error;
  std::unique_ptr<SqliteConnection> main = filestate::openForMerge(mainPath_, &error);
  if (!main) {
    mainFailure_.report("DatabaseMerger: cannot use " + mainPath_ + " (" + error + "); " +
                        std::to_string(names.size()) + " batches wait");
    report.remaining = static_cast<int>(names.size());
    return report;
  }
  for (size_t i = 0; i < names.size(); ++i) {
    Outcome outcome = mergeBatch(*main, names[i]);
    if (outcome == Outcome::kMainFailed) {
      report.remaining = static_cast<int>(names.size() - i);
      return report;
    }
    ++(outcome == Outcome::kMerged ? report.merged : report.setAside);
  }
  mainFailure_.clear();
  return report;
}

DatabaseMerger::Outcome DatabaseMerger::mergeBatch(SqliteConnection& main,
                                                   const std::string& name) {
  std::string path = fileutil::joinPath(batchFolder_, name);
  std::string error;
  auto batch = SqliteConnection::open(path, SqliteConnection::OpenMode::kReadOnly, &error);
  if (!batch) return setAside(name, error);

  std::optional<std::string> targetName, batchId;
  if (auto info = batch->prepare("SELECT TARGET, BATCH_ID FROM BATCH_INFO");
      info && info->step() == SqliteStatement::Step::kRow) {
    targetName = info->columnText(0);
    batchId = info->columnText(1);
  }
  std::optional<Target> target =
      targetName ? pendingbatch::targetFromText(*targetName) : std::nullopt;
  if (!target || !batchId || batchId->empty())
    return setAside(name, "no batch description: " + batch->lastError());

  BatchAttachment attachment(main, path);
  Applied applied = applyBatch(main, *batch, name, *target, *batchId, attachment.attached());
  if (applied.kind == Applied::kRunFailed) {
    // Row by row, a damaged batch is told apart from a main database that
    // refuses: the one is set aside, the other waits.
    databaseTrace("DatabaseMerger: " + name + " cannot be applied in runs (" + applied.reason +
                  "); applying it row by row");
    attachment.detach();
    applied = applyBatch(main, *batch, name, *target, *batchId, false);
  }
  attachment.detach();
  batch.reset();
  switch (applied.kind) {
    case Applied::kMerged:
      removeMerged(name);
      return Outcome::kMerged;
    case Applied::kUnreadable:
      return setAside(name, applied.reason);
    case Applied::kMainFailed:
    case Applied::kRunFailed:
      break;
  }
  return Outcome::kMainFailed;
}

DatabaseMerger::Applied DatabaseMerger::applyBatch(SqliteConnection& main, SqliteConnection& batch,
                                                   const std::string& name, Target target,
                                                   const std::string& batchId, bool inRuns) {
  auto rows = batch.prepare(kSelectRows);
  if (!rows) return {Applied::kUnreadable, batch.lastError()};

  SqliteTransaction transaction(main);
  if (!transaction.active()) {
    mainFailure_.report("DatabaseMerger: cannot start a transaction on " + mainPath_ + ": " +
                        main.lastError());
    return {Applied::kMainFailed};
  }
  SqliteStatement* seen = main.cached("SELECT 1 FROM MERGED_BATCHES WHERE BATCH_ID = ?1");
  if (!seen) {
    mainFailure_.report("DatabaseMerger: " + mainPath_ + " has no usable MERGED_BATCHES: " +
                        main.lastError());
    return {Applied::kMainFailed};
  }
  seen->reset().bindText(1, batchId);
  bool alreadyMerged = seen->step() == SqliteStatement::Step::kRow;
  seen->reset();
  if (alreadyMerged) return {Applied::kMerged};

  BatchApplier applier(main, target, inRuns ? kAttachedBatch : std::string_view());
  size_t valueCount = target == Target::kFileTable ? filestate::kFileRecordValues
                                                   : filestate::kOutOfBoxRecordValues;
  BatchApplier::Values values(valueCount);
  // Consecutive inserts (or updates) wait here and go in one statement when
  // a row of another kind, or the end, comes.
  struct Run {
    Operation op;
    int64_t first, last;
  };
  std::optional<Run> run;
  auto flushRun = [&]() {
    bool ok = !run || applier.applyRun(run->op, run->first, run->last) ==
                          BatchApplier::Result::kApplied;
    run.reset();
    return ok;
  };
  auto skipped = [&](int64_t rowNumber, Operation op, std::string_view path) {
    databaseTrace("DatabaseMerger: skipped row " + std::to_string(rowNumber) + " of " + name +
                  " (" + std::string(pendingbatch::operationText(op)) + " \"" +
                  std::string(path) + "\")");
  };

  for (int64_t rowNumber = 1;; ++rowNumber) {
    SqliteStatement::Step step = rows->step();
    if (step == SqliteStatement::Step::kDone) break;
    if (step == SqliteStatement::Step::kError) return {Applied::kUnreadable, batch.lastError()};
    std::optional<Operation> op = pendingbatch::operationFromText(rows->columnView(0).value_or(""));
    if (!op) return {Applied::kUnreadable, "unknown operation in row " + std::to_string(rowNumber)};

    if (inRuns && (*op == Operation::kInsert || *op == Operation::kUpdate)) {
      int64_t rowid = rows->columnInt64(kRowidColumn);
      if (run && run->op == *op) {
        run->last = rowid;
      } else {
        if (!flushRun()) return {Applied::kRunFailed, main.lastError()};
        run = Run{*op, rowid, rowid};
      }
      // The run leaves out rows without a path, as apply() skips them.
      std::optional<std::string_view> path = rows->columnView(1);
      if (!path || path->empty()) skipped(rowNumber, *op, path.value_or(""));
      continue;
    }
    if (!flushRun()) return {Applied::kRunFailed, main.lastError()};

    // Views into the row: valid until the next step, which is after apply().
    for (size_t i = 0; i < valueCount; ++i) values[i] = rows->columnView(static_cast<int>(i) + 1);
    switch (applier.apply(*op, values)) {
      case BatchApplier::Result::kApplied:
        break;
      case BatchApplier::Result::kSkipped:
        skipped(rowNumber, *op, values[0].value_or(""));
        break;
      case BatchApplier::Result::kFailed:
        mainFailure_.report("DatabaseMerger: " + mainPath_ + " refused row " +
                            std::to_string(rowNumber) + " of " + name + ": " + main.lastError());
        return {Applied::kMainFailed};
    }
  }
  if (!flushRun()) return {Applied::kRunFailed, main.lastError()};

  if (!recordMerged(main, batchId) || !transaction.commit()) {
    mainFailure_.report("DatabaseMerger: cannot commit " + name + " to " + mainPath_ + ": " +
                        main.lastError());
    return {Applied::kMainFailed};
  }
  return {Applied::kMerged};
}

bool DatabaseMerger::recordMerged(SqliteConnection& main, const std::string& batchId) {
  SqliteStatement* record = main.cached("INSERT INTO MERGED_BATCHES (BATCH_ID) VALUES (?1)");
  if (!record || !record->reset().bindText(1, batchId) || !record->run()) return false;
  // A batch left behind by a crash is met again within the next few passes;
  // the ids of long-gone batches need not be kept.
  SqliteStatement* prune = main.cached(
      "DELETE FROM MERGED_BATCHES WHERE rowid <= (SELECT MAX(rowid) FROM MERGED_BATCHES) - ?1");
  return prune && prune->reset().bindInt64(1, kRememberedBatches) && prune->run();
}

void DatabaseMerger::removeMerged(const std::string& name) {
  // The id stays in MERGED_BATCHES, so a failed removal only costs a retry.
  if (!fileutil::removeAll(fileutil::joinPath(batchFolder_, name)))
    databaseTrace("DatabaseMerger: cannot remove merged batch " + name);
}

DatabaseMerger::Outcome DatabaseMerger::setAside(const std::string& name,
                                                 const std::string& reason) {
  std::string from = fileutil::joinPath(batchFolder_, name);
  std::string to = from + std::string(pendingbatch::kSetAsideExtension);
  fileutil::RenameResult result = fileutil::renameNoReplace(from, to);
  if (result == fileutil::RenameResult::kTargetExists) {
    to = from + "." + JournalStampGenerator::shared().next() +
         std::string(pendingbatch::kSetAsideExtension);
    result = fileutil::renameNoReplace(from, to);
  }
  if (result == fileutil::RenameResult::kOk) {
    databaseTrace("DatabaseMerger: batch " + name + " cannot be read (" + reason +
                  "); kept as " + fileutil::lastComponent(to));
  } else {
    mainFailure_.report("DatabaseMerger: batch " + name + " cannot be read (" + reason +
                        ") nor set aside");
  }
  return Outcome::kSetAside;
}

void DatabaseMerger::signalPass() {
  MutexLock lock(mutex_);
  cv_.notify_all();
}

void DatabaseMerger::start() {
  if (running_.exchange(true)) return;
  {
    MutexLock lock(mutex_);
    stopRequested_ = false;
  }
  thread_ = std::thread(&DatabaseMerger::threadMain, this);
}

void DatabaseMerger::stop() {
  {
    MutexLock lock(mutex_);
    stopRequested_ = true;
    cv_.notify_all();
  }
  if (thread_.joinable()) thread_.join();
}

void DatabaseMerger::requestMerge() {
  MutexLock lock(mutex_);
  wakeRequested_ = true;
  cv_.notify_all();
}

bool DatabaseMerger::waitUntilMerged(Clock::Duration timeout) {
  Clock::TimePoint deadline = clock_.monotonicNow() + timeout;
  UniqueMutexLock lock(mutex_);
  wakeRequested_ = true;
  cv_.notify_all();
  return clock_.waitUntil(lock.native(), cv_, deadline, [this] {
    return batchFolder_.empty() || pendingbatch::publishedBatches(batchFolder_).empty();
  });
}

void DatabaseMerger::threadMain() {
  UniqueMutexLock lock(mutex_);
  while (!stopRequested_) {
    wakeRequested_ = false;
    lock.unlock();
    bool batchesWait = false;
    try {
      batchesWait = mergePending().remaining > 0;
    } catch (const std::exception& e) {
      databaseTrace(std::string("DatabaseMerger: merge pass failed: ") + e.what());
      batchesWait = true;
    } catch (...) {
      databaseTrace("DatabaseMerger: merge pass failed");
      batchesWait = true;
    }
    lock.lock();
    if (stopRequested_) break;
    clock_.waitUntil(lock.native(), cv_,
                     batchesWait ? clock_.monotonicNow() + kRetryInterval : Clock::TimePoint::max(),
                     [this]() ULMORA_REQUIRES(mutex_) { return stopRequested_ || wakeRequested_; });
  }
  running_ = false;
}

}  // namespace ulmora
