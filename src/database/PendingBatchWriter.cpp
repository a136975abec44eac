#include "database/PendingBatchWriter.h"

#include <fcntl.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <random>

#include "database/DatabaseTrace.h"
#include "database/FileStateSchema.h"
#include "database/SqliteConnection.h"
#include "database/SqliteTransaction.h"
#include "foundation/JournalStampGenerator.h"
#include "platform/FileUtil.h"

namespace ulmora {
namespace {

using pendingbatch::Operation;
using pendingbatch::Target;

constexpr const char* kInsertRow =
    "INSERT INTO PENDING_OPERATIONS (OPERATION, FILEPATH, FILE_LMD, FILE_SIZE, ENC_METHOD,"
    " ENC_PSWD, FILE_OR_FOLDER, BKSET_LMD, SYNC_DATE, BACKUP_STATUS, CDP, RESTORE_STATUS, REF_ID)"
    " VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13)";

// Names differ per batch, but the id is what the merge remembers: it stays
// unique even if a clock step ever made two runs of the agent produce the
// same name.
std::string newBatchId() {
  std::random_device random;
  std::uniform_int_distribution<uint64_t> dist;
  char text[40];
  std::snprintf(text, sizeof text, "%016" PRIx64 "%016" PRIx64, dist(random), dist(random));
  return text;
}

bool syncToDisk(const std::string& path, int flags) {
  int fd = ::open(path.c_str(), flags | O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = ::fsync(fd) == 0;
  ::close(fd);
  return ok;
}

// "" or "/" would stand for the whole sync root, which no row operation may
// delete or move.
bool namesWholeTree(std::string_view path) {
  return path.find_first_not_of('/') == std::string_view::npos;
}

}  // namespace

std::unique_ptr<PendingBatchWriter> PendingBatchWriter::create(const std::string& dbFolder,
                                                               const std::string& user,
                                                               Target target,
                                                               JournalStampGenerator& stamps) {
  std::optional<std::string> folder = pendingbatch::folderFor(dbFolder, user);
  if (!folder) {
    databaseTrace("DataBaseWrapper: refusing batch for unusable user name \"" + user + "\"");
    return nullptr;
  }
  if (!fileutil::makeDirectories(*folder)) return nullptr;
  std::string path = fileutil::joinPath(
      *folder, stamps.next() + std::string(pendingbatch::kPublishedExtension) +
                   std::string(pendingbatch::kInProgressExtension));
  std::string error;
  auto db = SqliteConnection::open(path, SqliteConnection::OpenMode::kCreate, &error);
  // Private until published: a crash leaves only an in-progress file the
  // merge never reads, so no rollback journal on disk and no syncs until
  // publish().
  bool ok = db && db->exec("PRAGMA journal_mode=MEMORY") && db->exec("PRAGMA synchronous=OFF") &&
            db->exec(pendingbatch::kSchema);
  if (ok) {
    auto info = db->prepare("INSERT INTO BATCH_INFO (TARGET, BATCH_ID) VALUES (?1, ?2)");
    ok = info && info->bindText(1, pendingbatch::targetText(target)) &&
         info->bindText(2, newBatchId()) && info->run();
  }
  if (!ok) {
    databaseTrace("DataBaseWrapper: cannot create batch database " + path + ": " +
                  (db ? db->lastError() : error));
    db.reset();
    fileutil::removeAll(path);
    return nullptr;
  }
  return std::unique_ptr<PendingBatchWriter>(
      new PendingBatchWriter(target, *folder, std::move(path), stamps, std::move(db)));
}

PendingBatchWriter::PendingBatchWriter(Target target, std::string folder,
                                       std::string inProgressPath, JournalStampGenerator& stamps,
                                       std::unique_ptr<SqliteConnection> db)
    : target_(target),
      folder_(std::move(folder)),
      inProgressPath_(std::move(inProgressPath)),
      stamps_(stamps),
      db_(std::move(db)) {}

PendingBatchWriter::~PendingBatchWriter() {
  transaction_.reset();
  db_.reset();
  // A batch whose publishing failed stays on disk for inspection.
  if (!publishAttempted_) fileutil::removeAll(inProgressPath_);
}

bool PendingBatchWriter::beginTransaction() {
  if (!db_ || transaction_) return false;
  transaction_ = std::make_unique<SqliteTransaction>(*db_);
  if (transaction_->active()) return true;
  transaction_.reset();
  return false;
}

bool PendingBatchWriter::commitTransaction() {
  if (!transaction_) return false;
  bool ok = transaction_->commit();
  transaction_.reset();
  return ok;
}

bool PendingBatchWriter::validRow(Operation op, std::span<const std::string> values) const {
  if (op == Operation::kDelete) return values.size() == 1 && !namesWholeTree(values[0]);
  bool outOfBox = target_ == Target::kOutOfBoxTable;
  if (outOfBox && op == Operation::kRename) return false;
  size_t expected = outOfBox ? filestate::kOutOfBoxRecordValues : filestate::kFileRecordValues;
  if (values.size() != expected || values[filestate::kFilePath].empty()) return false;
  // The new path of a rename travels in the FILE_LMD slot.
  return op != Operation::kRename || (!namesWholeTree(values[filestate::kFilePath]) &&
                                      !namesWholeTree(values[filestate::kFileLmd]));
}

bool PendingBatchWriter::append(Operation op, std::span<const std::string> values) {
  if (!db_ || !validRow(op, values)) return false;
  if (!insertRow_) insertRow_ = db_->cached(kInsertRow);
  SqliteStatement* stmt = insertRow_;
  if (!stmt) return false;
  stmt->reset();
  // The values outlive run(), so SQLite need not copy them; every use of
  // the statement starts with reset(), so none is read after this call.
  stmt->bindBorrowedText(1, pendingbatch::operationText(op));
  for (size_t i = 0; i < values.size(); ++i)
    stmt->bindBorrowedText(static_cast<int>(i) + 2, values[i]);
  if (!stmt->run()) {
    databaseTrace("DataBaseWrapper: cannot add row to " + inProgressPath_ + ": " + db_->lastError());
    return false;
  }
  ++rows_;
  return true;
}

bool PendingBatchWriter::publish() {
  if (published_) return true;
  if (!db_) return false;
  publishAttempted_ = true;
  // Rows handed in belong to the batch even if the caller forgot to commit.
  if (transaction_) commitTransaction();
  insertRow_ = nullptr;
  db_.reset();
  if (rows_ == 0) {
    fileutil::removeAll(inProgressPath_);
    published_ = true;
    return true;
  }
  if (!syncToDisk(inProgressPath_, O_RDONLY)) {
    databaseTrace("DataBaseWrapper: cannot sync batch database " + inProgressPath_);
    return false;
  }
  return moveToFinalName();
}

bool PendingBatchWriter::moveToFinalName() {
  // A name already taken (only another process could take it) gets the
  // next stamp rather than being replaced.
  for (int attempt = 0; attempt < 5; ++attempt) {
    std::string finalPath =
        fileutil::joinPath(folder_, stamps_.next() + std::string(pendingbatch::kPublishedExtension));
    switch (fileutil::renameNoReplace(inProgressPath_, finalPath)) {
      case fileutil::RenameResult::kOk:
        published_ = true;
        syncToDisk(folder_, O_RDONLY | O_DIRECTORY);
        return true;
      case fileutil::RenameResult::kTargetExists:
        continue;
      case fileutil::RenameResult::kFailed:
        break;
    }
    break;
  }
  databaseTrace("DataBaseWrapper: cannot publish batch database " + inProgressPath_);
  return false;
}

}  // namespace ulmora
