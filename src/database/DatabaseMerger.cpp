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
// order on disk.
constexpr const char* kSelectRows =
    "SELECT OPERATION, FILEPATH, FILE_LMD, FILE_SIZE, ENC_METHOD, ENC_PSWD, FILE_OR_FOLDER,"
    " BKSET_LMD, SYNC_DATE, BACKUP_STATUS, CDP, RESTORE_STATUS, REF_ID"
    " FROM PENDING_OPERATIONS ORDER BY rowid";

std::string batchFolderFor(const std::string& dbFolder, const std::string& user) {
  return pendingbatch::folderFor(dbFolder, user).value_or("");
}

std::string mainPathFor(const std::string& dbFolder, const std::string& user) {
  return filestate::databasePath(dbFolder, user).value_or("");
}

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
  std::lock_guard<std::mutex> pass(passMutex_);
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
    std::lock_guard<std::mutex> pass(passMutex_);
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
  std::optional<Target> target = targetName ? pendingbatch::targetFromText(*targetName) : std::nullopt;
  if (!target || !batchId || batchId->empty())
    return setAside(name, "no batch description: " + batch->lastError());
  auto rows = batch->prepare(kSelectRows);
  if (!rows) return setAside(name, batch->lastError());

  SqliteTransaction transaction(main);
  if (!transaction.active()) {
    mainFailure_.report("DatabaseMerger: cannot start a transaction on " + mainPath_ + ": " +
                        main.lastError());
    return Outcome::kMainFailed;
  }
  SqliteStatement* seen = main.cached("SELECT 1 FROM MERGED_BATCHES WHERE BATCH_ID = ?1");
  if (!seen) {
    mainFailure_.report("DatabaseMerger: " + mainPath_ + " has no usable MERGED_BATCHES: " +
                        main.lastError());
    return Outcome::kMainFailed;
  }
  seen->reset().bindText(1, *batchId);
  bool alreadyMerged = seen->step() == SqliteStatement::Step::kRow;
  seen->reset();
  if (alreadyMerged) {
    transaction.rollback();
    rows.reset();
    batch.reset();
    removeMerged(name);
    return Outcome::kMerged;
  }

  BatchApplier applier(main, *target);
  size_t valueCount = *target == Target::kFileTable ? filestate::kFileRecordValues
                                                    : filestate::kOutOfBoxRecordValues;
  BatchApplier::Values values(valueCount);
  for (int64_t rowNumber = 1;; ++rowNumber) {
    SqliteStatement::Step step = rows->step();
    if (step == SqliteStatement::Step::kDone) break;
    if (step == SqliteStatement::Step::kError) return setAside(name, batch->lastError());
    std::optional<Operation> op = pendingbatch::operationFromText(rows->columnText(0).value_or(""));
    if (!op) return setAside(name, "unknown operation in row " + std::to_string(rowNumber));
    for (size_t i = 0; i < valueCount; ++i) values[i] = rows->columnText(static_cast<int>(i) + 1);

    switch (applier.apply(*op, values)) {
      case BatchApplier::Result::kApplied:
        break;
      case BatchApplier::Result::kSkipped:
        databaseTrace("DatabaseMerger: skipped row " + std::to_string(rowNumber) + " of " + name +
                      " (" + std::string(pendingbatch::operationText(*op)) + " \"" +
                      values[0].value_or("") + "\")");
        break;
      case BatchApplier::Result::kFailed:
        mainFailure_.report("DatabaseMerger: " + mainPath_ + " refused row " +
                            std::to_string(rowNumber) + " of " + name + ": " + main.lastError());
        return Outcome::kMainFailed;
    }
  }

  if (!recordMerged(main, *batchId) || !transaction.commit()) {
    mainFailure_.report("DatabaseMerger: cannot commit " + name + " to " + mainPath_ + ": " +
                        main.lastError());
    return Outcome::kMainFailed;
  }
  rows.reset();
  batch.reset();
  removeMerged(name);
  return Outcome::kMerged;
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
  std::lock_guard<std::mutex> lock(mutex_);
  cv_.notify_all();
}

void DatabaseMerger::start() {
  if (running_.exchange(true)) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopRequested_ = false;
  }
  thread_ = std::thread(&DatabaseMerger::threadMain, this);
}

void DatabaseMerger::stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopRequested_ = true;
    cv_.notify_all();
  }
  if (thread_.joinable()) thread_.join();
}

void DatabaseMerger::requestMerge() {
  std::lock_guard<std::mutex> lock(mutex_);
  wakeRequested_ = true;
  cv_.notify_all();
}

bool DatabaseMerger::waitUntilMerged(Clock::Duration timeout) {
  Clock::TimePoint deadline = clock_.monotonicNow() + timeout;
  std::unique_lock<std::mutex> lock(mutex_);
  wakeRequested_ = true;
  cv_.notify_all();
  return clock_.waitUntil(lock, cv_, deadline, [this] {
    return batchFolder_.empty() || pendingbatch::publishedBatches(batchFolder_).empty();
  });
}

void DatabaseMerger::threadMain() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stopRequested_) {
    wakeRequested_ = false;
    lock.unlock();
    try {
      mergePending();
    } catch (const std::exception& e) {
      databaseTrace(std::string("DatabaseMerger: merge pass failed: ") + e.what());
    } catch (...) {
      databaseTrace("DatabaseMerger: merge pass failed");
    }
    lock.lock();
    if (stopRequested_) break;
    clock_.waitUntil(lock, cv_, clock_.monotonicNow() + kInterval,
                     [this] { return stopRequested_ || wakeRequested_; });
  }
  running_ = false;
}

}  // namespace ulmora
