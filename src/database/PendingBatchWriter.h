#pragma once

#include <memory>
#include <span>
#include <string>

#include "database/PendingBatchFormat.h"

namespace ulmora {

class JournalStampGenerator;
class SqliteConnection;
class SqliteStatement;
class SqliteTransaction;

// Writes one pending-operation database under its in-progress name and
// publishes it under its final name (PendingBatchFormat.h).
//
// Thread-safety: none; one batch has one writer (DataBaseWrapper locks).
class PendingBatchWriter {
 public:
  // Creates "<stamp>.db.progress" (0600) in the user's batch folder (made
  // 0700 when missing). nullptr, with a trace line, on failure.
  static std::unique_ptr<PendingBatchWriter> create(const std::string& dbFolder,
                                                    const std::string& user,
                                                    pendingbatch::Target target,
                                                    JournalStampGenerator& stamps);
  // Removes the file when publish() was never called (an abandoned batch).
  ~PendingBatchWriter();
  PendingBatchWriter(const PendingBatchWriter&) = delete;
  PendingBatchWriter& operator=(const PendingBatchWriter&) = delete;

  pendingbatch::Target target() const { return target_; }
  const std::string& inProgressPath() const { return inProgressPath_; }
  bool published() const { return published_; }

  bool beginTransaction();
  bool commitTransaction();

  // Appends one row. Insert, update and rename take the target's full record
  // (12 values, 11 for the Out-of-Box table); delete takes just the path.
  // False, and no row, for any other count, an empty path (or new path), and
  // renames into the Out-of-Box table.
  bool append(pendingbatch::Operation op, std::span<const std::string> values);

  // Commits an open transaction, closes the file, syncs it to disk and
  // renames it to "<new stamp>.db" without replacing anything. A batch
  // without rows is removed instead. True when nothing is left to do.
  bool publish();

 private:
  PendingBatchWriter(pendingbatch::Target target, std::string folder, std::string inProgressPath,
                     JournalStampGenerator& stamps, std::unique_ptr<SqliteConnection> db);
  bool validRow(pendingbatch::Operation op, std::span<const std::string> values) const;
  bool moveToFinalName();

  pendingbatch::Target target_;
  std::string folder_;
  std::string inProgressPath_;
  JournalStampGenerator& stamps_;
  std::unique_ptr<SqliteConnection> db_;
  std::unique_ptr<SqliteTransaction> transaction_;
  SqliteStatement* insertRow_ = nullptr;  // owned by db_
  int64_t rows_ = 0;
  bool published_ = false;
  bool publishAttempted_ = false;
};

}  // namespace ulmora
