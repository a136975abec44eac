// Database write-behind: the record queues are written once per pass, one
// database batch per queue.
#include <algorithm>

#include "database/DataBaseWrapper.h"
#include "database/RDDataBase.h"
#include "foundation/QLBackupProgressLogger.h"
#include "journal/JournalFormat.h"
#include "journal/NotificationPoster.h"
#include "journal/SyncInputHost.h"
#include "journal/SyncRecordBuilder.h"
#include "journal/UMSDBSyncInputManger.h"

namespace ulmora {
namespace {

constexpr std::string_view kUploadedValue = "Backup";
constexpr const char* kInSyncNotification = "FilesInsyncListGot";
constexpr const char* kInSyncListKey = "InsyncList";



bool failBatch(const char* what, const char* step) {
  daemonTrace(std::string("UMSDBSyncInputManger: ") + what + " batch could not " + step +
              "; its entries stay queued for the next pass");
  return false;
}

}  // namespace

std::string UMSDBSyncInputManger::pathToUpdate() const {
  {
    MutexLock lock(settingsMutex_);
    if (!pathToUpdate_.empty()) return pathToUpdate_;
  }
  return applicationFile(journal::kDatabaseFolder);
}

template <typename Queue, typename Batch, typename Note>
bool UMSDBSyncInputManger::drain(Guarded<Queue>& queue, Batch batch, PassResult& pass, Note note,
                                 const std::function<bool(const typename Queue::Entry&)>& holdBack) {
  UniqueMutexLock inFlight(inFlightMutex_);
  auto items = queue.with([&holdBack](Queue& q) {
    auto taken = q.take();
    if (!holdBack) return taken;
    decltype(taken) now, later;
    for (auto& item : taken) (holdBack(item) ? later : now).push_back(std::move(item));
    q.putBack(std::move(later));
    return now;
  });
  if (items.empty()) return false;
  note(inFlight_, &items);
  inFlight.unlock();
  bool ok = false;
  try {
    ok = batch(items);
  } catch (const std::exception& e) {
    daemonTrace(std::string("UMSDBSyncInputManger: database batch threw: ") + e.what());
  }
  inFlight.lock();
  note(inFlight_, static_cast<const decltype(items)*>(nullptr));
  if (!ok) {
    pass.failed = true;
    queue.with([&items](Queue& q) { q.putBack(std::move(items)); });
  }
  return true;
}

UMSDBSyncInputManger::PassResult UMSDBSyncInputManger::writeDatabaseBatches() {
  PassResult pass;
  using Paths = std::vector<std::string>;
  using Renames = std::vector<RenameEntry>;
  const auto updates = [](InFlight& f, const Entries* e) { f.updates = e; };
  const auto refIds = [](InFlight& f, const Entries* e) { f.refIds = e; };
  const auto structural = [](InFlight& f, const auto* items) { f.structural = items != nullptr; };
  const auto inserts = [](InFlight& f, const Paths* p) { f.inserts = p; };
  const auto outOfBox = [](InFlight&, const auto*) {};
  // A row update queued after a delete of its path waits for that delete:
  // written before it, the row would go with it (a download's in-sync row
  // after the listing removed the row of the file deleted there).
  const std::set<std::string> afterDelete =
      updatesAfterDelete_.with([](std::set<std::string>& s) { return std::exchange(s, {}); });
  const std::function<bool(const OrderedDict::Entry&)> waitsForDelete =
      [&afterDelete](const OrderedDict::Entry& e) { return afterDelete.count(e.first) > 0; };
  const auto updateBatch = [this](const Entries& e) { return threadToUpDateBackedUpFiles(e); };
  const auto refIdBatch = [this](const Entries& e) { return threadToUpDateRefID(e); };
  pass.busy |= drain(mFilesToUpdate_, updateBatch, pass, updates, afterDelete.empty() ? nullptr : waitsForDelete);
  pass.busy |= drain(mFilesToUpdateRefID_, refIdBatch, pass, refIds, afterDelete.empty() ? nullptr : waitsForDelete);
  // A folder emptied by a move and then removed queues its rename before its
  // delete; those deletes are written after the renames.
  std::vector<std::string> afterRenames = takeDeletesAheadOfRenames();
  pass.busy |= drain(mFilesToDelete_, [this](const Paths& p) { return threadToUpDateDeleteFiles(p); }, pass, structural);
  pass.busy |= drain(mFilesToRename_, [this](const Renames& r) { return threadToUpDateRenameFiles(r); }, pass, structural);
  if (!afterRenames.empty()) {
    {
      MutexLock inFlight(inFlightMutex_);
      mFilesToDelete_.with([&afterRenames](OrderedSet<std::string>& q) { q.putBack(std::move(afterRenames)); });
      inFlight_.heldDeletes = false;
    }
    pass.busy |= drain(mFilesToDelete_, [this](const Paths& p) { return threadToUpDateDeleteFiles(p); }, pass, structural);
  }
  if (!afterDelete.empty()) {
    pass.busy |= drain(mFilesToUpdate_, updateBatch, pass, updates);
    pass.busy |= drain(mFilesToUpdateRefID_, refIdBatch, pass, refIds);
  }
  pass.busy |= drain(mFilesToBackup_, [this](const Paths& p) { return threadToUpDateBackupFiles(p); }, pass, inserts);
  drain(mOBFilesToUpdateBackup_, [this](const Paths& p) { return threadToUpDateOBBackupFiles(p); }, pass, outOfBox);
  drain(mOBFilesToUpdate_, [this](const Entries& e) { return threadToUpDateOBBackedUpFiles(e); }, pass, outOfBox);
  drain(mOBFilesToDelete_, [this](const Paths& p) { return threadToUpDateOBDeleteFiles(p); }, pass, outOfBox);
  return pass;
}

UMSDBSyncInputManger::PassResult UMSDBSyncInputManger::flushDatabaseBatches() {
  MutexLock lock(passMutex_);
  return writeDatabaseBatches();
}

UMSDBSyncInputManger::PendingRows UMSDBSyncInputManger::pendingRows() {
  PendingRows out;
  const SyncRootPath root = syncRoot();
  if (!root.known()) {
    out.exact = false;
    return out;
  }
  // The rows in the order they will be written: the running batch's, then
  // the queues' in the order of a pass, each path keyed once by what its
  // last row does (a first sync queues 100,000s of rows: a list of them
  // beside the result was the largest block of the receiving computer's
  // peak). A new file's row records nothing when its file is gone or a
  // folder, so the row before it is kept beside it. The files are looked at
  // after the locks.
  enum class Op : uint8_t { kNone, kUploaded, kToDownload, kRefId, kInsert };
  struct Ops {
    Op last = Op::kNone;
    Op beforeInsert = Op::kNone;  // while `last` is kInsert
  };
  std::unordered_map<std::string, Ops> ops;
  const auto add = [&](const std::string& key, Op op) {
    std::string relative = root.relative(key);
    if (relative.empty()) return;
    Ops& o = ops[std::move(relative)];
    if (op == Op::kInsert && o.last != Op::kInsert) o.beforeInsert = o.last;
    o.last = op;
  };
  const auto addEntries = [&add](const Entries& entries, bool refId) {
    for (const auto& [key, value] : entries)
      add(key, refId ? Op::kRefId : value == kUploadedValue ? Op::kUploaded : Op::kToDownload);
  };
  const auto addInserts = [&add](const std::vector<std::string>& paths) {
    for (const auto& path : paths) add(path, Op::kInsert);
  };
  {
    MutexLock inFlight(inFlightMutex_);
    out.exact = !inFlight_.structural && !inFlight_.heldDeletes &&
                mFilesToDelete_.with([](OrderedSet<std::string>& q) { return q.empty(); }) &&
                mFilesToRename_.with([](OrderedSet<RenameEntry>& q) { return q.empty(); });
    std::size_t count = 0;
    if (inFlight_.updates) count += inFlight_.updates->size();
    if (inFlight_.refIds) count += inFlight_.refIds->size();
    if (inFlight_.inserts) count += inFlight_.inserts->size();
    count += mFilesToUpdate_.with([](OrderedDict& q) { return q.size(); });
    count += mFilesToUpdateRefID_.with([](OrderedDict& q) { return q.size(); });
    count += mFilesToBackup_.with([](OrderedSet<std::string>& q) { return q.size(); });
    ops.reserve(count);
    if (inFlight_.updates) addEntries(*inFlight_.updates, false);
    if (inFlight_.refIds) addEntries(*inFlight_.refIds, true);
    if (inFlight_.inserts) addInserts(*inFlight_.inserts);
    mFilesToUpdate_.with([&](OrderedDict& q) { addEntries(q.items(), false); });
    mFilesToUpdateRefID_.with([&](OrderedDict& q) { addEntries(q.items(), true); });
    mFilesToBackup_.with([&](OrderedSet<std::string>& q) { addInserts(q.items()); });
  }
  out.rows.reserve(ops.size());
  while (!ops.empty()) {
    auto node = ops.extract(ops.begin());
    const std::string& relative = node.key();
    const auto rowOf = [&](Op op) -> std::optional<PendingRow> {
      switch (op) {
        case Op::kUploaded:
          // Written only while the file is there to describe; one that left
          // is no download to offer either.
          return PendingRow::kInSync;
        case Op::kToDownload:
          return PendingRow::kToDownload;
        case Op::kRefId:
          return syncrecord::readFileFacts(root.full(relative)) ? PendingRow::kInSync : PendingRow::kToDownload;
        case Op::kInsert:
          if (auto facts = syncrecord::readFileFacts(root.full(relative)); facts && !facts->isFolder)
            return PendingRow::kToUpload;
          return std::nullopt;
        case Op::kNone:
          break;
      }
      return std::nullopt;
    };
    std::optional<PendingRow> row = rowOf(node.mapped().last);
    if (!row && node.mapped().last == Op::kInsert) row = rowOf(node.mapped().beforeInsert);
    if (row) out.rows.emplace(std::move(node.key()), *row);
  }
  return out;
}

std::vector<std::string> UMSDBSyncInputManger::takeDeletesAheadOfRenames() {
  const SyncRootPath root = syncRoot();
  if (!root.known()) return {};
  std::vector<std::string> origins;
  mFilesToRename_.with([&](OrderedSet<RenameEntry>& q) {
    for (const RenameEntry& r : q.items()) origins.push_back(root.relative(r.originalPath));
  });
  if (origins.empty()) return {};
  std::vector<std::string> held;
  MutexLock inFlight(inFlightMutex_);
  mFilesToDelete_.with([&](OrderedSet<std::string>& q) {
    std::vector<std::string> rest;
    for (std::string& path : q.take()) {
      const std::string d = root.relative(path);
      const bool covers = !d.empty() && d != "/" && std::any_of(origins.begin(), origins.end(), [&d](const std::string& o) {
        return o == d || (o.size() > d.size() && o.compare(0, d.size(), d) == 0 && o[d.size()] == '/');
      });
      (covers ? held : rest).push_back(std::move(path));
    }
    q.putBack(std::move(rest));
  });
  inFlight_.heldDeletes = !held.empty();
  return held;
}

bool UMSDBSyncInputManger::runBatch(
    const char* what, bool outOfBox,
    const std::function<void(WriteBehindDatabase&, const std::function<void()>&)>& fill) {
  const std::string folder = pathToUpdate();
  const std::string user = syncUserName();
  if (folder.empty() || user.empty()) return failBatch(what, "find its database");
  std::unique_ptr<WriteBehindDatabase> db = databaseBatches_();
  if (!db) return failBatch(what, "be made");
  bool opened = outOfBox ? db->initializeOBDatabase(folder, user)
                         : db->initializewithDatabase(folder, user);
  if (!opened) return failBatch(what, "open");
  if (!db->beginTransaction()) {
    db->abandonBatch();
    return failBatch(what, "begin");
  }
  std::size_t count = 0;
  // Long batches leave the disk to others now and then.
  const std::function<void()> pace = [this, &count] {
    if (count > 0 && count % kBatchPauseEvery == 0) {
      publishDownloadsDuringBatch();
      clock_.sleepFor(kBatchPause);
    }
    ++count;
  };
  fill(*db, pace);
  if (!db->commitTransaction() || !db->unInitializeDatabase()) {
    // The entries stay queued for the next pass, so this batch must not be
    // merged as well.
    db->abandonBatch();
    return failBatch(what, "commit or be published");
  }
  std::function<void()> published;
  {
    MutexLock lock(settingsMutex_);
    published = batchPublished_;
  }
  if (published) published();
  return true;
}

bool UMSDBSyncInputManger::threadToUpDateBackedUpFiles(const Entries& entries) {
  if (reinitialiseState_) {
    interactiveTrace(
        "UMSDBSyncInputManger threadToUpDateBackedUpFiles reinitialize flag set YES so setting "
        "threadToUpdateBackupFile YES");
    threadToUpdateBackupFile_ = true;
  }
  const SyncRootPath root = syncRoot();
  bool downloadRecorded = false;
  bool ok = root.known() || failBatch("update", "resolve paths without a sync root");
  if (ok) {
    // Every key of the batch, downloads included, before it is recorded.
    daemonTrace(
        "All files are  in sync list of non sync sent to finder  writing in downloads folder "
        "commented1-Insync1");
    NotificationPoster* p = poster();
    if (p && p->wantsPosts()) {
      PropertyList::Array list;
      list.reserve(entries.size());
      for (const auto& entry : entries) list.emplace_back(entry.first);
      PropertyList::Dict info;
      info.emplace(kInSyncListKey, PropertyList(std::move(list)));
      p->post(kInSyncNotification, PropertyList(std::move(info)));
    }
    ok = runBatch("update", false, [&](WriteBehindDatabase& db, const std::function<void()>& pace) {
      for (const auto& [key, value] : entries) {
        pace();
        std::string relative = root.relative(key);
        if (relative.empty()) continue;
        if (value == kUploadedValue) {
          auto facts = syncrecord::readFileFacts(root.full(key));
          if (facts) db.update(syncrecord::uploaded(std::move(relative), std::move(*facts)));
        } else {
          db.update(syncrecord::toDownload(std::move(relative), value));
          downloadRecorded = true;
        }
      }
    });
  }
  if (threadToUpdateBackupFile_) {
    interactiveTrace("threadToUpdateBackupFile resting to NO");
    threadToUpdateBackupFile_ = false;
  }
  if (!ok) return false;
  SyncInputHost* h = host();
  if (downloadRecorded && h && h->isRestoreGoingOn()) {
    h->SetQueryMainDBforCountRestore(true);
    h->GetTotalCountAndTotalSizeOfRestoreFiles();
  }
  return true;
}

bool UMSDBSyncInputManger::threadToUpDateRefID(const Entries& entries) {
  if (reinitialiseState_) {
    interactiveTrace(
        "UMSDBSyncInputManger threadToUpDateRefID reinitialize flag set YES so setting "
        "ThreadTOupdateRefIDFile YES");
    ThreadTOupdateRefIDFile_ = true;
  }
  const SyncRootPath root = syncRoot();
  bool downloadRecorded = false;
  bool ok = root.known() || failBatch("reference id", "resolve paths without a sync root");
  if (ok) {
    ok = runBatch("reference id", false,
                  [&](WriteBehindDatabase& db, const std::function<void()>& pace) {
                    for (const auto& [key, refId] : entries) {
                      pace();
                      std::string relative = root.relative(key);
                      if (relative.empty()) continue;
                      if (auto facts = syncrecord::readFileFacts(root.full(key))) {
                        db.update(
                            syncrecord::withRefId(std::move(relative), std::move(*facts), refId));
                      } else {
                        db.update(syncrecord::toDownload(std::move(relative), refId));
                        downloadRecorded = true;
                      }
                    }
                  });
  }
  if (ThreadTOupdateRefIDFile_) {
    interactiveTrace("ThreadTOupdateRefIDFile resting to NO");
    ThreadTOupdateRefIDFile_ = false;
  }
  if (!ok) return false;
  SyncInputHost* h = host();
  if (downloadRecorded && h && h->isRestoreGoingOn()) {
    h->SetQueryMainDBforCountRestore(true);
    h->GetTotalCountAndTotalSizeOfRestoreFiles();
  }
  return true;
}

bool UMSDBSyncInputManger::threadToUpDateDeleteFiles(const std::vector<std::string>& paths) {
  const SyncRootPath root = syncRoot();
  if (!root.known()) return failBatch("delete", "resolve paths without a sync root");
  bool ok = runBatch("delete", false, [&](WriteBehindDatabase& db, const std::function<void()>& pace) {
    for (const auto& path : paths) {
      pace();
      std::string relative = root.relative(path);
      if (!relative.empty()) db.deleteRecord(relative);
    }
  });
  if (!ok) return false;
  if (SyncInputHost* h = host()) {
    if (h->isBackupGoingOn()) {
      h->SetQueryMainDBforCountBackup(true);
      h->GetTotalCountAndTotalSizeOfBackupFiles();
    }
    if (h->isRestoreGoingOn()) {
      h->SetQueryMainDBforCountRestore(true);
      h->GetTotalCountAndTotalSizeOfRestoreFiles();
    }
  }
  return true;
}

bool UMSDBSyncInputManger::threadToUpDateRenameFiles(const std::vector<RenameEntry>& entries) {
  const SyncRootPath root = syncRoot();
  if (!root.known()) return failBatch("rename", "resolve paths without a sync root");
  return runBatch("rename", false, [&](WriteBehindDatabase& db, const std::function<void()>& pace) {
    for (const auto& entry : entries) {
      pace();
      std::string from = root.relative(entry.originalPath);
      std::string to = root.relative(entry.renamedPath);
      if (from.empty() || to.empty()) continue;
      // The item has already moved: its new place says whether it is a folder.
      auto facts = syncrecord::readFileFacts(root.full(entry.renamedPath));
      db.rename(syncrecord::renamed(std::move(from), std::move(to), facts && facts->isFolder));
    }
  });
}

bool UMSDBSyncInputManger::threadToUpDateBackupFiles(const std::vector<std::string>& paths) {
  const SyncRootPath root = syncRoot();
  if (!root.known()) return failBatch("insert", "resolve paths without a sync root");
  return runBatch("insert", false, [&](WriteBehindDatabase& db, const std::function<void()>& pace) {
    for (const auto& path : paths) {
      pace();
      auto facts = syncrecord::readFileFacts(root.full(path));
      if (!facts || facts->isFolder) continue;
      std::string relative = root.relative(path);
      if (!relative.empty())
        db.insert(syncrecord::newLocalFile(std::move(relative), std::move(*facts)));
    }
  });
}

bool UMSDBSyncInputManger::threadToUpDateOBBackupFiles(const std::vector<std::string>& paths) {
  return runBatch("Out-of-Box insert", true,
                  [&](WriteBehindDatabase& db, const std::function<void()>& pace) {
                    for (const auto& path : paths) {
                      pace();
                      auto facts = syncrecord::readFileFacts(path);
                      if (facts && !facts->isFolder)
                        db.insertOBRecord(syncrecord::outOfBoxNew(path, std::move(*facts)));
                    }
                  });
}

bool UMSDBSyncInputManger::threadToUpDateOBBackedUpFiles(const Entries& entries) {
  const SyncRootPath root = syncRoot();
  if (!root.known()) return failBatch("Out-of-Box update", "resolve paths without a sync root");
  return runBatch("Out-of-Box update", true,
                  [&](WriteBehindDatabase& db, const std::function<void()>& pace) {
                    for (const auto& [key, status] : entries) {
                      pace();
                      std::string relative = root.relative(key);
                      if (relative.empty()) continue;
                      if (status == "0") {
                        db.updateOBRecord(syncrecord::outOfBoxPending(std::move(relative)));
                      } else if (auto facts = syncrecord::readFileFacts(root.full(key))) {
                        db.updateOBRecord(
                            syncrecord::outOfBoxUploaded(std::move(relative), std::move(*facts)));
                      }
                    }
                  });
}

bool UMSDBSyncInputManger::threadToUpDateOBDeleteFiles(const std::vector<std::string>& paths) {
  return runBatch("Out-of-Box delete", true,
                  [&](WriteBehindDatabase& db, const std::function<void()>& pace) {
                    for (const auto& path : paths) {
                      pace();
                      db.deleteOBRecord(path);
                    }
                  });
}

// ---------------------------------------------------------------- queries

std::optional<std::string> UMSDBSyncInputManger::getFilePathforRefID(const std::string& refId) {
  return queries_->queryFilePathforRefID(refId, pathToUpdate(), syncUserName());
}

std::vector<std::string> UMSDBSyncInputManger::getSyncedFilesFromDatabase() {
  return queries_->SelectAllFilesbackedupAndRestoredFrom(applicationFile(journal::kDatabaseFolder),
                                                         syncUserName());
}

void UMSDBSyncInputManger::queryRDDB() {
  postToWriter([this] { performRDDBQuery(); });
}

void UMSDBSyncInputManger::performRDDBQuery() {
  DataBaseWrapper db(stamps_);
  auto rows = db.queryRDDBAtPath(pathToUpdate(), std::string(rddatabase::kName));
  if (SyncInputHost* h = host()) h->setOfflineDeleteRenamedFileInfo(rows);
}

void UMSDBSyncInputManger::deleteRcordFromRDDBFor(const std::string& value) {
  postToWriter([this, value] { performRDDBDeleteOperation(value); });
}

void UMSDBSyncInputManger::performRDDBDeleteOperation(const std::string& value) {
  DataBaseWrapper db(stamps_);
  db.deleteEntryFromRDDataBaseAtPath(pathToUpdate(), std::string(rddatabase::kName), value);
}

}  // namespace ulmora
