#include "database/SqliteTransaction.h"

#include "database/SqliteConnection.h"

namespace ulmora {

SqliteTransaction::SqliteTransaction(SqliteConnection& connection)
    : connection_(connection), active_(connection.exec("BEGIN IMMEDIATE")) {}

SqliteTransaction::~SqliteTransaction() { rollback(); }

bool SqliteTransaction::commit() {
  if (!active_) return false;
  if (!connection_.exec("COMMIT")) {
    rollback();
    return false;
  }
  active_ = false;
  return true;
}

void SqliteTransaction::rollback() {
  if (!active_) return;
  connection_.exec("ROLLBACK");
  active_ = false;
}

}  // namespace ulmora
