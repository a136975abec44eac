#include "AccountStore.h"
#include "StorageFile.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "EnginePath.h"
#include "platform/Clock.h"

namespace ulmora::kvt {
namespace {

constexpr int64_t kVersionsKept = 10;

constexpr const char* kSchema = R"sql(
CREATE TABLE IF NOT EXISTS meta(key TEXT PRIMARY KEY, value INTEGER NOT NULL);
INSERT OR IGNORE INTO meta VALUES ('change_index', 0), ('used_bytes', 0), ('file_count', 0);
CREATE TABLE IF NOT EXISTS entries(
  ref_id INTEGER PRIMARY KEY AUTOINCREMENT,
  path BLOB NOT NULL,
  is_dir INTEGER NOT NULL,
  size INTEGER NOT NULL,
  mtime_ns INTEGER NOT NULL,
  mode INTEGER NOT NULL,
  version INTEGER NOT NULL,
  in_trash INTEGER NOT NULL,
  change_index INTEGER NOT NULL);
CREATE UNIQUE INDEX IF NOT EXISTS entries_live_path ON entries(path) WHERE in_trash = 0;
CREATE INDEX IF NOT EXISTS entries_by_change ON entries(change_index);
CREATE TABLE IF NOT EXISTS changes(idx INTEGER PRIMARY KEY, ref_id INTEGER NOT NULL,
                                   path BLOB NOT NULL);
CREATE INDEX IF NOT EXISTS changes_by_ref ON changes(ref_id, idx);
CREATE TABLE IF NOT EXISTS versions(ref_id INTEGER NOT NULL, version INTEGER NOT NULL,
  size INTEGER NOT NULL, mtime_ns INTEGER NOT NULL, mode INTEGER NOT NULL,
  PRIMARY KEY(ref_id, version)) WITHOUT ROWID;
)sql";

#define ENTRY_COLUMNS "ref_id, path, is_dir, size, mtime_ns, mode, version, in_trash, change_index"

// Resets a cached statement on every way out, so that no read stays open
// and holds back another engine's checkpoint.
class Use {
 public:
  explicit Use(SqliteStatement& s) : s_(s) { s_.reset(); }
  ~Use() { s_.reset(); }
  SqliteStatement* operator->() { return &s_; }

 private:
  SqliteStatement& s_;
};

void makeFolder(const std::string& path) {
  if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST)
    throw StoreError("mkdir " + path + ": " + std::strerror(errno));
  if (!isRealFolder(path)) throw StoreError(path + ": " + std::strerror(errno));
}

int64_t nowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             Clock::systemClock().wallNow().time_since_epoch())
      .count();
}

std::string withoutSlash(const std::string& path) {
  return path.size() > 1 && path.back() == '/' ? path.substr(0, path.size() - 1) : path;
}

}  // namespace

AccountStore::AccountStore(const std::string& accountDir)
    : dir_(accountDir), pid_(std::to_string(::getpid())) {
  makeFolder(dir_);
  makeFolder(dir_ + "/blobs");
  makeFolder(dir_ + "/tmp");
  db_ = std::make_unique<SqliteDb>(dir_ + "/meta.db");
  ::chmod((dir_ + "/meta.db").c_str(), 0600);
  // Switching to WAL needs a moment alone with the file; another engine
  // opening the account at the same time may hold it past the busy time-out.
  for (int attempt = 0;; ++attempt) {
    try {
      db_->exec("PRAGMA journal_mode=WAL");
      break;
    } catch (const StoreError&) {
      if (attempt == 50) throw;
      Clock::systemClock().sleepFor(std::chrono::milliseconds(100));
    }
  }
  db_->exec("PRAGMA synchronous=NORMAL");
  WriteTransaction transaction(*db_);
  db_->exec(kSchema);
  transaction.commit();
}

AccountStore::~AccountStore() {
  if (!batch_) return;
  batch_.reset();  // rolls back: an unfinished batch was never reported done
  for (const std::string& blob : batchAdded_) ::unlink(blob.c_str());
}

void AccountStore::beginBatch() {
  if (!batch_) batch_ = std::make_unique<WriteTransaction>(*db_);
}

void AccountStore::endBatch() {
  if (!batch_) return;
  std::unique_ptr<WriteTransaction> batch = std::move(batch_);
  try {
    batch->commit();
  } catch (const StoreError&) {
    batch.reset();
    for (const std::string& blob : batchAdded_) ::unlink(blob.c_str());
    batchAdded_.clear();
    batchDropped_.clear();
    throw;
  }
  for (const std::string& blob : batchDropped_) ::unlink(blob.c_str());
  batchAdded_.clear();
  batchDropped_.clear();
}

std::unique_ptr<WriteTransaction> AccountStore::openWrite() {
  return std::make_unique<WriteTransaction>(*db_, batch_ != nullptr);
}

// Old version blobs go only once no reader can still be shown them; a new
// blob is owned by the batch until the batch commits.
void AccountStore::afterCommit(std::vector<std::string> dropped, const std::string& added) {
  if (batch_) {
    batchDropped_.insert(batchDropped_.end(), dropped.begin(), dropped.end());
    if (!added.empty()) batchAdded_.push_back(added);
    return;
  }
  for (const std::string& blob : dropped) ::unlink(blob.c_str());
}

SqliteStatement& AccountStore::statement(const char* sql) {
  auto& slot = statements_[sql];
  if (!slot) slot = db_->prepare(sql);
  return *slot;
}

Entry AccountStore::readEntry(const SqliteStatement& row) {
  Entry e;
  e.refId = row.int64(0);
  e.path = row.blob(1);
  e.isDir = row.int64(2) != 0;
  e.size = row.int64(3);
  e.mtimeNs = row.int64(4);
  e.mode = int(row.int64(5));
  e.version = row.int64(6);
  e.inTrash = row.int64(7) != 0;
  e.changeIndex = row.int64(8);
  return e;
}

std::optional<Entry> AccountStore::liveEntry(std::string_view path) {
  Use s(statement("SELECT " ENTRY_COLUMNS " FROM entries WHERE path = ?1 AND in_trash = 0"));
  s->bindBlob(1, path);
  if (!s->step()) return std::nullopt;
  return readEntry(*s.operator->());
}

std::vector<Entry> AccountStore::entriesUnder(std::string_view prefix, bool includeTrash) {
  const char* live = "SELECT " ENTRY_COLUMNS " FROM entries WHERE in_trash = 0 AND path > ?1 "
                     "AND path < ?2 ORDER BY path";
  const char* all = "SELECT " ENTRY_COLUMNS " FROM entries WHERE path > ?1 AND path < ?2 "
                    "ORDER BY path, ref_id";
  Use s(statement(includeTrash ? all : live));
  std::string upper = prefixUpperBound(prefix);
  s->bindBlob(1, prefix).bindBlob(2, upper.empty() ? std::string(4096, '\xff') : upper);
  std::vector<Entry> entries;
  while (s->step()) entries.push_back(readEntry(*s.operator->()));
  return entries;
}

std::string AccountStore::blobPath(int64_t refId, int64_t version) const {
  return dir_ + "/blobs/" + std::to_string(refId) + "." + std::to_string(version);
}

std::string AccountStore::newTempPath() {
  return dir_ + "/tmp/" + pid_ + "." + std::to_string(++tempCounter_);
}

int64_t AccountStore::meta(const char* key) {
  Use s(statement("SELECT value FROM meta WHERE key = ?1"));
  s->bindText(1, key);
  return s->step() ? s->int64(0) : 0;
}

void AccountStore::addToMeta(const char* key, int64_t delta) {
  Use s(statement("UPDATE meta SET value = value + ?2 WHERE key = ?1"));
  s->bindText(1, key).bind(2, delta);
  s->run();
}

int64_t AccountStore::nextChangeIndex() {
  addToMeta("change_index", 1);
  return meta("change_index");
}

void AccountStore::recordChange(int64_t refId, const std::string& path) {
  int64_t index = nextChangeIndex();
  {
    Use s(statement("UPDATE entries SET change_index = ?2 WHERE ref_id = ?1"));
    s->bind(1, refId).bind(2, index);
    s->run();
  }
  Use s(statement("INSERT INTO changes(idx, ref_id, path) VALUES (?1, ?2, ?3)"));
  s->bind(1, index).bind(2, refId).bindBlob(3, path);
  s->run();
}

int64_t AccountStore::insertEntry(const std::string& path, bool isDir, int64_t size,
                                  int64_t mtimeNs, int mode, int64_t version) {
  Use s(statement("INSERT INTO entries(path, is_dir, size, mtime_ns, mode, version, in_trash, "
                  "change_index) VALUES (?1, ?2, ?3, ?4, ?5, ?6, 0, 0)"));
  s->bindBlob(1, path).bind(2, isDir).bind(3, size).bind(4, mtimeNs).bind(5, mode).bind(6, version);
  s->run();
  int64_t refId = sqlite3_last_insert_rowid(db_->handle());
  recordChange(refId, path);
  return refId;
}

int AccountStore::ensureFolders(const std::vector<std::string>& folders,
                                std::vector<std::string>& created) {
  for (const std::string& folder : folders) {
    if (liveEntry(folder)) continue;
    if (liveEntry(withoutSlash(folder))) return ENOTDIR;
    insertEntry(folder, true, 0, nowNs(), 0755, 0);
    created.push_back(folder);
  }
  return 0;
}

void AccountStore::pruneVersions(int64_t refId, int64_t current,
                                 std::vector<std::string>& dropped) {
  // Until a file has more versions than are kept there is nothing to drop;
  // most uploads are of new files, so this saves a statement per file.
  if (current <= kVersionsKept) return;
  Use s(statement("DELETE FROM versions WHERE ref_id = ?1 AND version <= ?2 RETURNING version"));
  s->bind(1, refId).bind(2, current - kVersionsKept);
  while (s->step()) dropped.push_back(blobPath(refId, s->int64(0)));
}

Change AccountStore::commitUpload(const std::string& path, const std::string& tempPath,
                                  int64_t size, int64_t mtimeNs, int mode, int64_t quotaTotal,
                                  const SeenVersion* seen) {
  Change change;
  std::vector<std::string> dropped;
  std::string blob;
  {
    auto transaction = openWrite();
    if (liveEntry(path + "/")) return Change{EISDIR, {}, {}, {}};
    if ((change.error = ensureFolders(parentFolders(path), change.paths))) return change;
    std::optional<Entry> live = liveEntry(path);
    if (seen && live && isUnseenVersion(live->size, live->mtimeNs, live->refId, *seen))
      return Change{ESTALE, {}, {}, {}};
    int64_t oldSize = live ? live->size : 0;
    if (meta("used_bytes") + size - oldSize > quotaTotal) return Change{EDQUOT, {}, {}, {}};

    Entry entry = live.value_or(Entry{});
    entry.path = path;
    entry.size = size;
    entry.mtimeNs = mtimeNs;
    entry.mode = mode;
    entry.version = live ? live->version + 1 : 1;
    if (live) {
      Use s(statement("UPDATE entries SET size = ?2, mtime_ns = ?3, mode = ?4, version = ?5 "
                      "WHERE ref_id = ?1"));
      s->bind(1, entry.refId).bind(2, size).bind(3, mtimeNs).bind(4, mode).bind(5, entry.version);
      s->run();
      recordChange(entry.refId, path);
    } else {
      entry.refId = insertEntry(path, false, size, mtimeNs, mode, 1);
      addToMeta("file_count", 1);
    }
    {
      Use s(statement("INSERT OR REPLACE INTO versions VALUES (?1, ?2, ?3, ?4, ?5)"));
      s->bind(1, entry.refId).bind(2, entry.version).bind(3, size).bind(4, mtimeNs).bind(5, mode);
      s->run();
    }
    addToMeta("used_bytes", size - oldSize);
    pruneVersions(entry.refId, entry.version, dropped);
    blob = blobPath(entry.refId, entry.version);
    if (::rename(tempPath.c_str(), blob.c_str()) != 0)
      throw StoreError("store " + blob + ": " + std::strerror(errno));
    try {
      transaction->commit();
    } catch (const StoreError&) {
      ::unlink(blob.c_str());
      throw;
    }
    change.entry = entry;
  }
  afterCommit(std::move(dropped), blob);
  return change;
}

Change AccountStore::makeFolders(const std::string& folder) {
  Change change;
  auto transaction = openWrite();
  if (liveEntry(withoutSlash(folder))) return Change{EEXIST, {}, {}, {}};
  std::vector<std::string> chain = parentFolders(folder);
  chain.push_back(folder);
  if ((change.error = ensureFolders(chain, change.paths))) return change;
  transaction->commit();
  return change;
}

Change AccountStore::rename(const std::string& fromRaw, const std::string& toRaw,
                            const SeenVersion* seen) {
  Change change;
  auto transaction = openWrite();
  std::string from = fromRaw;
  std::string to = toRaw;
  std::optional<Entry> source = liveEntry(from);
  if (!source && from.back() != '/') {
    // The agent may name a folder without its trailing "/".
    from += "/";
    source = liveEntry(from);
  }
  if (!source) return Change{ENOENT, {}, {}, {}};
  if (seen && !source->isDir && isUnseenVersion(source->size, source->mtimeNs, source->refId, *seen))
    return Change{ESTALE, {}, {}, {}};
  to = source->isDir ? withoutSlash(to) + "/" : withoutSlash(to);
  if (to == from) return change;
  if (source->isDir && to.compare(0, from.size(), from) == 0) return Change{EINVAL, {}, {}, {}};
  if (liveEntry(withoutSlash(to)) || liveEntry(withoutSlash(to) + "/"))
    return Change{EEXIST, {}, {}, {}};
  if (source->isDir && !entriesUnder(to, false).empty()) return Change{EEXIST, {}, {}, {}};
  std::vector<std::string> created;
  if ((change.error = ensureFolders(parentFolders(to), created))) return change;

  std::vector<Entry> moving{*source};
  if (source->isDir) {
    for (Entry& e : entriesUnder(from, false)) moving.push_back(std::move(e));
  }
  for (const Entry& e : moving) {
    std::string target = to + e.path.substr(from.size());
    Use s(statement("UPDATE entries SET path = ?2 WHERE ref_id = ?1"));
    s->bind(1, e.refId).bindBlob(2, target);
    s->run();
    recordChange(e.refId, target);
    change.moved.emplace_back(e.path, target);
  }
  transaction->commit();
  return change;
}

Change AccountStore::moveToTrash(const std::string& pathRaw, const SeenVersion* seen) {
  Change change;
  auto transaction = openWrite();
  std::string path = pathRaw;
  std::optional<Entry> target = liveEntry(path);
  if (!target && path.back() != '/') {
    path += "/";
    target = liveEntry(path);
  }
  if (!target) return Change{ENOENT, {}, {}, {}};
  if (seen && !target->isDir && isUnseenVersion(target->size, target->mtimeNs, target->refId, *seen))
    return Change{ESTALE, {}, {}, {}};
  std::vector<Entry> trashing{*target};
  if (target->isDir) {
    for (Entry& e : entriesUnder(path, false)) trashing.push_back(std::move(e));
  }
  for (const Entry& e : trashing) {
    Use s(statement("UPDATE entries SET in_trash = 1 WHERE ref_id = ?1"));
    s->bind(1, e.refId);
    s->run();
    recordChange(e.refId, e.path);
    if (!e.isDir) addToMeta("file_count", -1);
    change.paths.push_back(e.path);
  }
  transaction->commit();
  return change;
}

Change AccountStore::restoreVersion(const std::string& path, int64_t version) {
  Change change;
  auto transaction = openWrite();
  std::optional<Entry> live = liveEntry(path);
  if (!live || live->isDir) return Change{live ? EISDIR : ENOENT, {}, {}, {}};
  std::optional<VersionRow> wanted;
  for (const VersionRow& row : versionsOf(live->refId))
    if (row.version == version) wanted = row;
  if (!wanted) return Change{ENOENT, {}, {}, {}};

  Entry entry = *live;
  entry.version = live->version + 1;
  entry.size = wanted->size;
  entry.mtimeNs = wanted->mtimeNs;
  {
    Use s(statement("UPDATE entries SET size = ?2, mtime_ns = ?3, version = ?4 WHERE ref_id = ?1"));
    s->bind(1, entry.refId).bind(2, entry.size).bind(3, entry.mtimeNs).bind(4, entry.version);
    s->run();
  }
  {
    Use s(statement("INSERT OR REPLACE INTO versions VALUES (?1, ?2, ?3, ?4, ?5)"));
    s->bind(1, entry.refId).bind(2, entry.version).bind(3, entry.size).bind(4, entry.mtimeNs);
    s->bind(5, entry.mode);
    s->run();
  }
  recordChange(entry.refId, path);
  addToMeta("used_bytes", entry.size - live->size);
  std::vector<std::string> dropped;
  pruneVersions(entry.refId, entry.version, dropped);
  std::string blob = blobPath(entry.refId, entry.version);
  ::unlink(blob.c_str());
  if (::link(blobPath(entry.refId, version).c_str(), blob.c_str()) != 0)
    throw StoreError("store " + blob + ": " + std::strerror(errno));
  transaction->commit();
  for (const std::string& old : dropped) ::unlink(old.c_str());
  change.entry = entry;
  return change;
}

std::vector<ListRecord> AccountStore::changesAfter(int64_t index) {
  std::vector<ListRecord> records;
  {
    Use s(statement("SELECT " ENTRY_COLUMNS
                    " FROM entries WHERE change_index > ?1 ORDER BY change_index"));
    s->bind(1, index);
    while (s->step()) records.push_back({readEntry(*s.operator->()), ""});
  }
  if (index <= 0) return records;
  for (ListRecord& record : records) {
    Use s(statement("SELECT path FROM changes WHERE ref_id = ?1 AND idx <= ?2 "
                    "ORDER BY idx DESC LIMIT 1"));
    s->bind(1, record.entry.refId).bind(2, index);
    if (s->step() && s->blob(0) != record.entry.path) record.oldPath = s->blob(0);
  }
  return records;
}

std::vector<VersionRow> AccountStore::versionsOf(int64_t refId) {
  Use s(statement("SELECT version, size, mtime_ns FROM versions WHERE ref_id = ?1 "
                  "ORDER BY version DESC"));
  s->bind(1, refId);
  std::vector<VersionRow> rows;
  while (s->step()) rows.push_back({s->int64(0), s->int64(1), s->int64(2)});
  return rows;
}

bool AccountStore::hasThumbnail(const std::string& path) {
  Use s(statement("SELECT 1 FROM entries WHERE in_trash = 0 AND path >= ?1 AND path < ?2 "
                  "AND is_dir = 0 LIMIT 1"));
  std::string prefix = path + "_TH";
  s->bindBlob(1, prefix).bindBlob(2, prefixUpperBound(prefix));
  return s->step();
}

AccountStore::Quota AccountStore::recountQuota() {
  auto transaction = openWrite();
  Quota quota;
  {
    Use s(statement("SELECT COALESCE(SUM(size), 0), COALESCE(SUM(in_trash = 0), 0) FROM entries "
                    "WHERE is_dir = 0"));
    if (s->step()) quota = {s->int64(0), s->int64(1)};
  }
  {
    Use s(statement("UPDATE meta SET value = ?2 WHERE key = ?1"));
    s->bindText(1, "used_bytes").bind(2, quota.used);
    s->run();
    s->bindText(1, "file_count").bind(2, quota.files);
    s->run();
  }
  transaction->commit();
  return quota;
}

AccountStore::Quota AccountStore::storedQuota() {
  return Quota{meta("used_bytes"), meta("file_count")};
}

}  // namespace ulmora::kvt
