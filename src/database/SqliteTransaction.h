#pragma once

namespace ulmora {

class SqliteConnection;

// One transaction, rolled back when the guard goes away uncommitted, so an
// early return can never leave half a batch applied.
//
// Thread-safety: none; used by the owner of the connection.
class SqliteTransaction {
 public:
  // IMMEDIATE takes the write lock at once, so a writer waits (busy timeout)
  // at the start rather than failing half-way through.
  explicit SqliteTransaction(SqliteConnection& connection);
  ~SqliteTransaction();
  SqliteTransaction(const SqliteTransaction&) = delete;
  SqliteTransaction& operator=(const SqliteTransaction&) = delete;

  // False when BEGIN failed; commit() then fails too.
  bool active() const { return active_; }
  bool commit();
  void rollback();

 private:
  SqliteConnection& connection_;
  bool active_;
};

}  // namespace ulmora
