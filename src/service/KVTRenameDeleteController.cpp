#include "service/KVTRenameDeleteController.h"

#include <utility>

#include "engine/EngineLineRecord.h"
#include "engine/EngineSetFiles.h"
#include "engine/QLSYNCParser.h"
#include "foundation/JournalStampGenerator.h"
#include "foundation/QLLocalizedString.h"
#include "journal/JournalFolder.h"
#include "journal/JournalFormat.h"
#include "journal/JournalWriter.h"
#include "journal/SyncRootPath.h"
#include "platform/FileUtil.h"
#include "platform/Trace.h"
#include "service/PrivateWorkFolder.h"
#include "service/ServerPath.h"
#include "service/ServiceTexts.h"

namespace ulmora {
namespace {

constexpr std::string_view kNoSuchItem = "No such file or directory";
// A folder left to be uploaded is walked at most this deep and this wide, so
// a pathological tree cannot hold the rename worker.
constexpr int kMaxWalkDepth = 64;
constexpr size_t kMaxWalkItems = 100000;

bool sendable(std::string_view path) {
  return serverpath::isSafeItemPath(path) && engineset::isListablePath(path);
}

std::string stripSlash(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

}  // namespace

struct KVTRenameDeleteController::RenameRun {
  struct Failure {
    RenameEntry rename;
    std::string message;
  };
  std::vector<Failure> failures;
  ServiceEngineRun::Outcome outcome;
  bool wholeFailure() const {
    return !outcome.cancelled && (!outcome.fatal.empty() || outcome.startFailed ||
                                  (outcome.process.exitStatus != 0 && outcome.process.exitStatus != 23));
  }
};

KVTRenameDeleteController::KVTRenameDeleteController()
    : executorPath_(QLLocalizedString("ExecuterPathKVT")) {}

KVTRenameDeleteController::~KVTRenameDeleteController() = default;

void KVTRenameDeleteController::initializeApplicationSupportPaths(const std::string& consoleUser,
                                                                  const std::string& syncUser) {
  paths_.setConsoleUserName(consoleUser);
  paths_.setSyncUserName(syncUser);
}

void KVTRenameDeleteController::setJournalStamps(JournalStampGenerator* stamps, Clock* clock) {
  stamps_ = stamps;
  clock_ = clock;
}

void KVTRenameDeleteController::setCancel(bool) {
  MutexLock lock(mutex_);
  if (!running_.load()) return;
  cancelRequested_ = true;
  if (engine_) engine_->terminate();
}

void KVTRenameDeleteController::addFilesToDelete(const std::vector<std::string>& paths) {
  MutexLock lock(mutex_);
  pendingDeletes_.insert(pendingDeletes_.end(), paths.begin(), paths.end());
}

void KVTRenameDeleteController::useSeenVersions(engineset::SeenVersions seen) {
  MutexLock lock(mutex_);
  givenSeen_ = std::move(seen);
}

engineset::SeenVersions KVTRenameDeleteController::takeGivenSeen() {
  engineset::SeenVersions given;
  MutexLock lock(mutex_);
  given.swap(givenSeen_);
  return given;
}

engineset::SeenVersions KVTRenameDeleteController::seenVersionsOf(const std::vector<std::string>& paths,
                                                                  const engineset::SeenVersions& given) {
  engineset::SeenVersions seen;
  for (const std::string& path : paths) {
    if (path.empty() || path.back() == '/') continue;
    if (auto found = given.find(stripSlash(path)); found != given.end()) {
      seen.emplace(path, found->second);
    } else if (host_ != nullptr) {
      if (auto version = host_->seenVersion(path)) seen.emplace(path, std::move(*version));
    }
  }
  return seen;
}

std::vector<std::string> KVTRenameDeleteController::deleteItems() const {
  MutexLock lock(mutex_);
  return pendingDeletes_;
}

std::vector<std::string> KVTRenameDeleteController::oldPathList() const {
  MutexLock lock(mutex_);
  return oldPaths_;
}

std::vector<std::string> KVTRenameDeleteController::newPathList() const {
  MutexLock lock(mutex_);
  return newPaths_;
}

std::vector<RenameEntry> KVTRenameDeleteController::processDataForRenameOperation(
    const std::vector<RenameEntry>& renames) {
  std::vector<RenameEntry> send;
  for (const RenameEntry& r : renames) {
    if (host_ != nullptr && host_->checkRenamedFileisUnderBackup(r)) {
      traceLine("KVTRenameDeleteController: rename held back for the running upload: " +
                serverpath::forTrace(r.originalPath));
      continue;
    }
    send.push_back(r);
  }
  return send;
}

void KVTRenameDeleteController::startOperation(const PropertyList& entries, std::string_view type) {
  const PropertyList::Array* items = entries.asArray();
  if (items == nullptr) return;
  if (type == kTypeRename) {
    std::vector<RenameEntry> renames;
    for (const PropertyList& item : *items) {
      if (auto r = RenameEntry::fromPropertyList(item)) {
        renames.push_back(std::move(*r));
      } else {
        traceLine("KVTRenameDeleteController: rename entry without both paths skipped");
      }
    }
    startRenameOperation(renames);
  } else if (type == kTypeDelete) {
    std::vector<std::string> paths;
    for (const PropertyList& item : *items) {
      if (const std::string* path = item.asString()) paths.push_back(*path);
    }
    startDeleteOperation(paths);
  } else {
    traceLine("KVTRenameDeleteController: unknown operation type");
  }
}

ServiceEngineRun::Outcome KVTRenameDeleteController::runEngine(
    const std::vector<std::string>& operation, const std::vector<std::string>& setEntries,
    const std::function<void(std::string_view)>& onLine, const std::string& seenLines) {
  ServiceEngineRun::Outcome failed;
  failed.startFailed = true;
  std::unique_ptr<PrivateWorkFolder> work = PrivateWorkFolder::make("ulmora-renamedelete");
  if (!work) {
    failed.fatal = "umkvt error: cannot make a work folder";
    return failed;
  }
  auto sets = engineset::writeSetFiles(work->path(), "set", setEntries, std::nullopt);
  if (!sets) {
    failed.fatal = "umkvt error: cannot write the set file";
    return failed;
  }
  auto engine = std::make_shared<ServiceEngineRun>(executorPath_, user_, proxy_);
  std::vector<std::string> args = operation;
  for (const std::string& set : *sets) args.push_back("--files-from=" + set);
  if (!seenLines.empty()) {
    const std::string seenFile = fileutil::joinPath(work->path(), "seen");
    // Without the file the run would trash whatever the server holds.
    if (!fileutil::writeFileAtomically(seenFile, seenLines, fileutil::kOwnerOnlyFile)) {
      failed.fatal = "umkvt error: cannot write the version file";
      return failed;
    }
    args.push_back("--seen-versions=" + seenFile);
  }
  args.push_back(engine->remote("/"));
  {
    MutexLock lock(mutex_);
    if (cancelRequested_) engine->terminate();
    engine_ = engine;
  }
  ServiceEngineRun::Outcome outcome = engine->run(args, onLine);
  MutexLock lock(mutex_);
  engine_.reset();
  return outcome;
}

bool KVTRenameDeleteController::sendRenames(const std::vector<RenameEntry>& renames, RenameRun& run,
                                            const engineset::SeenVersions& seen) {
  std::vector<std::string> lines;
  std::vector<std::string> olds;
  for (const RenameEntry& r : renames) {
    lines.push_back(r.originalPath);
    lines.push_back(r.renamedPath);
    olds.push_back(r.originalPath);
  }
  run.failures.clear();
  run.outcome = runEngine({"--rename"}, lines, [&](std::string_view raw) {
    EngineLineRecord rec;
    if (QLSYNCParser::ParseLineStr(raw, rec, QLSYNCParser::kFileOperation) != QLSYNCParser::kOk) {
      traceLine("KVTRenameDeleteController: engine line not understood: " + serverpath::forTrace(raw));
      return;
    }
    if (rec.kind() == "RENAMED") {
      std::string oldPath = serverpath::withLeadingSlash(rec.text(QLSYNCParser::kOldPathKey));
      std::string newPath = serverpath::withLeadingSlash(rec.text(QLSYNCParser::kNewPathKey));
      if (servicetexts::hasThumbnailSuffix(stripSlash(oldPath)) ||
          servicetexts::hasThumbnailSuffix(stripSlash(newPath))) {
        return;
      }
      {
        MutexLock lock(mutex_);
        inSync_.push_back(newPath);
      }
      if (delegate_ != nullptr) delegate_->renameDidReceiveData(oldPath, newPath);
    } else if (rec.kind() == "SFERROR" || rec.kind() == "IOERROR") {
      std::string path = serverpath::withLeadingSlash(rec.text(QLSYNCParser::kPathKey));
      for (const RenameEntry& r : renames) {
        if (stripSlash(r.originalPath) == stripSlash(path) || stripSlash(r.renamedPath) == stripSlash(path)) {
          run.failures.push_back({r, rec.text(QLSYNCParser::kMessageKey)});
          return;
        }
      }
      traceLine("KVTRenameDeleteController: rename error for an item not asked for: " +
                serverpath::forTrace(path));
    }
  }, engineset::seenVersionLines(olds, seen));
  return !run.outcome.cancelled && !run.wholeFailure();
}

void KVTRenameDeleteController::startRenameOperation(const std::vector<RenameEntry>& renames) {
  const engineset::SeenVersions given = takeGivenSeen();
  std::vector<RenameEntry> send;
  for (RenameEntry& r : processDataForRenameOperation(renames)) {
    r.originalPath = serverpath::withLeadingSlash(r.originalPath);
    r.renamedPath = serverpath::withLeadingSlash(r.renamedPath);
    if (!sendable(r.originalPath) || !sendable(r.renamedPath)) {
      traceLine("KVTRenameDeleteController: rename dropped, unusable path: " +
                serverpath::forTrace(r.originalPath) + " -> " + serverpath::forTrace(r.renamedPath));
      continue;
    }
    send.push_back(std::move(r));
  }
  if (send.empty()) {
    finishBatch();
    return;
  }
  {
    MutexLock lock(mutex_);
    running_.store(true);
    cancelRequested_ = false;
    oldPaths_.clear();
    newPaths_.clear();
    for (const RenameEntry& r : send) {
      oldPaths_.push_back(r.originalPath);
      newPaths_.push_back(r.renamedPath);
    }
  }
  const std::string type(kTypeRename);
  if (delegate_ != nullptr) delegate_->renameDeleteDidStart(*this, type);

  std::vector<std::string> olds;
  for (const RenameEntry& r : send) olds.push_back(r.originalPath);
  const engineset::SeenVersions seen = seenVersionsOf(olds, given);
  RenameRun run;
  bool ranThrough = sendRenames(send, run, seen);
  if (ranThrough && !run.failures.empty()) {
    std::vector<RenameEntry> retry;
    for (const auto& f : run.failures) retry.push_back(f.rename);
    if (delegate_ != nullptr) delegate_->renameDeleteDidRetry(retry);
    ranThrough = sendRenames(retry, run, seen);
  }
  running_.store(false);

  if (run.outcome.cancelled) {
    if (delegate_ != nullptr) delegate_->renameDeleteDidCancel(*this, type);
  } else if (!ranThrough) {
    if (delegate_ != nullptr) delegate_->renameDeleteDidFailWithError(run.outcome.errorText(), *this, type);
  } else if (!run.failures.empty()) {
    for (const auto& f : run.failures) {
      if (f.message.find(kNoSuchItem) != std::string::npos) keepForUpload(f.rename);
      if (delegate_ != nullptr) delegate_->renameItemRefused(f.rename, f.message);
    }
    std::string error = run.failures.front().message;
    if (run.failures.size() > 1) {
      error += " (" + std::to_string(run.failures.size()) + " renames failed)";
    }
    if (delegate_ != nullptr) delegate_->renameDeleteDidFailWithError(error, *this, type);
  } else {
    if (delegate_ != nullptr) delegate_->renameDeleteDidFinishSuccessfully(*this, type);
  }
  finishBatch();
}

void KVTRenameDeleteController::startDeleteOperation(const std::vector<std::string>& paths) {
  const engineset::SeenVersions given = takeGivenSeen();
  std::vector<std::string> send;
  for (const std::string& p : paths) {
    std::string path = serverpath::withLeadingSlash(p);
    if (!sendable(path)) {
      traceLine("KVTRenameDeleteController: delete dropped, unusable path: " + serverpath::forTrace(p));
      continue;
    }
    send.push_back(std::move(path));
  }
  if (send.empty()) {
    finishBatch();
    return;
  }
  {
    MutexLock lock(mutex_);
    running_.store(true);
    cancelRequested_ = false;
  }
  const std::string type(kTypeDelete);
  if (delegate_ != nullptr) delegate_->renameDeleteDidStart(*this, type);

  const engineset::SeenVersions seen = seenVersionsOf(send, given);
  std::string firstError;
  size_t refused = 0;
  ServiceEngineRun::Outcome outcome = runEngine({"--remove"}, send, [&](std::string_view raw) {
    EngineLineRecord rec;
    if (QLSYNCParser::ParseLineStr(raw, rec, QLSYNCParser::kFileOperation) != QLSYNCParser::kOk) {
      traceLine("KVTRenameDeleteController: engine line not understood: " + serverpath::forTrace(raw));
      return;
    }
    std::string path = serverpath::withLeadingSlash(rec.text(QLSYNCParser::kPathKey));
    if (rec.kind() == "DELETED") {
      if (!servicetexts::hasThumbnailSuffix(stripSlash(path)) && delegate_ != nullptr) {
        delegate_->deleteDidReceiveData(path);
      }
    } else if (rec.kind() == "SFERROR" || rec.kind() == "IOERROR") {
      ++refused;
      if (firstError.empty()) firstError = rec.text(QLSYNCParser::kMessageKey);
      if (!servicetexts::hasThumbnailSuffix(stripSlash(path)) && delegate_ != nullptr) {
        delegate_->renameDeleteDidReceiveErrors(path, type);
        delegate_->deleteItemRefused(path, rec.text(QLSYNCParser::kMessageKey));
      }
    }
  }, engineset::seenVersionLines(send, seen));
  running_.store(false);

  if (outcome.cancelled) {
    if (delegate_ != nullptr) delegate_->deleteDidCancel(*this);
  } else if (!outcome.succeeded()) {
    std::string error = outcome.fatal.empty() && !firstError.empty() ? firstError : outcome.errorText();
    if (refused > 1 && outcome.fatal.empty()) {
      error += " (" + std::to_string(refused) + " deletes failed)";
    }
    if (delegate_ != nullptr) delegate_->renameDeleteDidFailWithError(error, *this, type);
  } else {
    if (delegate_ != nullptr) delegate_->renameDeleteDidFinishSuccessfully(*this, type);
  }
  finishBatch();
}

void KVTRenameDeleteController::keepForUpload(const RenameEntry& rename) {
  if (servicetexts::hasThumbnailSuffix(stripSlash(rename.renamedPath)) || host_ == nullptr) return;
  SyncRootPath root(host_->syncRootPath());
  if (!root.known()) return;
  const std::string relative = stripSlash(rename.renamedPath);
  const std::string full = root.full(relative);
  std::vector<std::string> uploads;
  std::vector<std::string> folders;
  if (!fileutil::isDirectory(full)) {
    // A symlink or special file is not the agent's to upload here either.
    if (fileutil::exists(full) && !fileutil::isSymlink(full)) uploads.push_back(relative);
  } else {
    // Files carry their folders to the server; only empty folders need a
    // folder creation of their own.
    std::vector<std::pair<std::string, int>> stack{{full, 0}};
    size_t seen = 0;
    while (!stack.empty() && seen < kMaxWalkItems) {
      auto [folder, depth] = stack.back();
      stack.pop_back();
      auto names = fileutil::listDirectory(folder);
      if (!names) continue;
      if (names->empty()) folders.push_back(folder);
      for (const std::string& name : *names) {
        ++seen;
        std::string child = fileutil::joinPath(folder, name);
        if (fileutil::isSymlink(child)) continue;
        if (fileutil::isDirectory(child)) {
          if (depth + 1 < kMaxWalkDepth) stack.emplace_back(child, depth + 1);
        } else {
          uploads.push_back(root.relative(child));
        }
      }
    }
  }
  traceLine("KVTRenameDeleteController: the server lacks " + serverpath::forTrace(rename.originalPath) +
            ", its new item is left to be uploaded");
  MutexLock lock(mutex_);
  pendingUploads_.insert(pendingUploads_.end(), uploads.begin(), uploads.end());
  pendingCreateDirs_.insert(pendingCreateDirs_.end(), folders.begin(), folders.end());
}

void KVTRenameDeleteController::finishBatch() {
  if (host_ != nullptr && host_->isRenameCollectionEmpty()) writeFilesForDeleteAndBackupOrQueryMainDB();
}

std::string KVTRenameDeleteController::journalFolder(int index, std::string fromHost) const {
  if (!fromHost.empty()) return fromHost;
  return paths_.pathForApplicationFile(index);
}

void KVTRenameDeleteController::writeFilesForDeleteAndBackupOrQueryMainDB() {
  std::vector<std::string> deletes, uploads, createDirs, inSync;
  {
    MutexLock lock(mutex_);
    deletes.swap(pendingDeletes_);
    uploads.swap(pendingUploads_);
    createDirs.swap(pendingCreateDirs_);
    inSync.swap(inSync_);
  }
  JournalWriter writer(stamps_ != nullptr ? *stamps_ : JournalStampGenerator::shared(),
                       clock_ != nullptr ? *clock_ : Clock::systemClock());
  auto write = [&](std::vector<std::string>& entries, int index, std::string fromHost,
                   std::string_view suffix, std::vector<std::string>& requeue) {
    if (entries.empty()) return;
    JournalFolder folder(journalFolder(index, std::move(fromHost)));
    if (!folder.ensureExists()) {
      requeue.insert(requeue.end(), entries.begin(), entries.end());
      return;
    }
    auto result = writer.writeTextList(folder, entries, suffix);
    requeue.insert(requeue.end(), result.unwritten.begin(), result.unwritten.end());
  };
  std::vector<std::string> unwrittenDeletes, unwrittenUploads, unwrittenCreateDirs;
  write(deletes, journal::kEventFolder, host_ ? host_->getPathForWritingDeleteFiles() : "",
        journal::kDeleteSuffix, unwrittenDeletes);
  write(uploads, journal::kUploadFolder, host_ ? host_->getPathForWritingBackupFiles() : "",
        journal::kUploadSuffix, unwrittenUploads);
  write(createDirs, journal::kCreateFolderFolder, host_ ? host_->getPathForWritingCreateDirFiles() : "",
        journal::kCreateFolderSuffix, unwrittenCreateDirs);
  {
    // What could not be written waits for the next call rather than being lost.
    MutexLock lock(mutex_);
    pendingDeletes_.insert(pendingDeletes_.begin(), unwrittenDeletes.begin(), unwrittenDeletes.end());
    pendingUploads_.insert(pendingUploads_.begin(), unwrittenUploads.begin(), unwrittenUploads.end());
    pendingCreateDirs_.insert(pendingCreateDirs_.begin(), unwrittenCreateDirs.begin(),
                              unwrittenCreateDirs.end());
  }

  if (inSync.empty() || poster_ == nullptr || host_ == nullptr) return;
  SyncRootPath root(host_->syncRootPath());
  if (!root.known()) return;
  PropertyList::Array list;
  for (const std::string& path : inSync) list.emplace_back(root.full(stripSlash(path)));
  PropertyList info;
  info.set(std::string(kInSyncListKey), PropertyList(std::move(list)));
  poster_->post(std::string(kInSyncNotification), info);
}

}  // namespace ulmora
