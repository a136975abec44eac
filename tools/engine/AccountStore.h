#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "SeenVersions.h"
#include "SqliteDb.h"

namespace ulmora::kvt {

// One server entry (a file or a folder) in its current state.
struct Entry {
  int64_t refId = 0;
  std::string path;  // canonical; folders end with "/"
  bool isDir = false;
  int64_t size = 0;
  int64_t mtimeNs = 0;
  int mode = 0644;
  int64_t version = 0;
  bool inTrash = false;
  int64_t changeIndex = 0;
};

struct ListRecord {
  Entry entry;
  std::string oldPath;  // the path at the listing's index when it moved since; else ""
};

struct VersionRow {
  int64_t version = 0;
  int64_t size = 0;
  int64_t mtimeNs = 0;
};

// What a changing call did: `error` is 0 or an errno value whose text
// becomes the item's "Reason:".
struct Change {
  int error = 0;
  std::vector<std::pair<std::string, std::string>> moved;  // rename: old, new
  std::vector<std::string> paths;                          // created folders, trashed items
  Entry entry;                                             // the file after an upload or restore
};

// Everything the service keeps for one account, in
// STORAGE/accounts/<user>/: meta.db and the immutable version contents
// blobs/<ref_id>.<version>. Every change runs in one write transaction, so
// engines of several agents can work on one account at once; renames, deletes
// and the trash touch only the database.
//
// Thread-safety: one object per thread (each engine process has one).
class AccountStore {
 public:
  // Opens (creating on first use) the account folder. Throws StoreError.
  explicit AccountStore(const std::string& accountDir);
  ~AccountStore();

  std::optional<Entry> liveEntry(std::string_view path);
  // Live entries strictly below folder `prefix` ("/" for all), by path; with
  // `includeTrash` the trashed ones too.
  std::vector<Entry> entriesUnder(std::string_view prefix, bool includeTrash);

  std::string blobPath(int64_t refId, int64_t version) const;
  // A fresh name in the account's tmp/ folder for content on its way in.
  std::string newTempPath();

  // Makes the content at `tempPath` the next version of file `path`
  // (creating the entry and its parent folders when missing). EDQUOT when the
  // account's total would be passed, EISDIR / ENOTDIR for a folder in the way.
  // With `seen`, ESTALE when the live file is another version than that one:
  // checked in the same transaction as the commit, so no other engine's
  // upload can come between.
  Change commitUpload(const std::string& path, const std::string& tempPath, int64_t size,
                      int64_t mtimeNs, int mode, int64_t quotaTotal,
                      const SeenVersion* seen = nullptr);
  Change makeFolders(const std::string& folder);
  // With `seen` (a file only), ESTALE when the live file is another version:
  // the version moved would be one the renaming computer never saw.
  Change rename(const std::string& from, const std::string& to,
                const SeenVersion* seen = nullptr);
  // With `seen` (a file only), ESTALE when the live file is another version.
  Change moveToTrash(const std::string& path, const SeenVersion* seen = nullptr);
  Change restoreVersion(const std::string& path, int64_t version);

  // Uploads of many small files share one transaction: between beginBatch()
  // and endBatch() each commitUpload() is a savepoint, and nothing of the
  // batch is visible (or durable) before endBatch() returns. Blobs of a batch
  // that never commits are removed again.
  void beginBatch();
  void endBatch();
  bool inBatch() const { return batch_ != nullptr; }

  std::vector<ListRecord> changesAfter(int64_t index);
  std::vector<VersionRow> versionsOf(int64_t refId);
  bool hasThumbnail(const std::string& path);

  struct Quota {
    int64_t used = 0;
    int64_t files = 0;
  };
  Quota recountQuota();
  Quota storedQuota();

 private:
  SqliteStatement& statement(const char* sql);
  static Entry readEntry(const SqliteStatement& row);
  int64_t nextChangeIndex();
  void recordChange(int64_t refId, const std::string& path);
  int64_t insertEntry(const std::string& path, bool isDir, int64_t size, int64_t mtimeNs, int mode,
                      int64_t version);
  void addToMeta(const char* key, int64_t delta);
  int64_t meta(const char* key);
  int ensureFolders(const std::vector<std::string>& folders, std::vector<std::string>& created);
  void pruneVersions(int64_t refId, int64_t current, std::vector<std::string>& dropped);

  std::unique_ptr<WriteTransaction> openWrite();
  void afterCommit(std::vector<std::string> dropped, const std::string& added);

  std::string dir_;
  std::string pid_;
  std::unique_ptr<SqliteDb> db_;
  std::unique_ptr<WriteTransaction> batch_;
  std::vector<std::string> batchDropped_;  // old version blobs to remove after the commit
  std::vector<std::string> batchAdded_;    // new blobs to remove if the batch fails
  std::unordered_map<const char*, std::unique_ptr<SqliteStatement>> statements_;
  int64_t tempCounter_ = 0;
};

}  // namespace ulmora::kvt
