#include "TransferRun.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>

#include "platform/Clock.h"

namespace ulmora::kvt {
namespace {

constexpr const char* kFullBackup = "[Full Backup]";
constexpr const char* kIncrementalBackup = "[Incremental Backup]";
constexpr const char* kFullRestore = "[Full Restore]";
constexpr const char* kIncrementalRestore = "[Incremental Restore]";
constexpr const char* kSyncFile = "[Sync File]";

int64_t mtimeNsOf(const struct stat& st) {
  return int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
}

// Removes a temporary file unless it was handed on.
class TempGuard {
 public:
  TempGuard(int dirFd, std::string name) : dirFd_(dirFd), name_(std::move(name)) {}
  ~TempGuard() {
    if (!name_.empty()) ::unlinkat(dirFd_, name_.c_str(), 0);
  }
  TempGuard(const TempGuard&) = delete;
  TempGuard& operator=(const TempGuard&) = delete;
  void release() { name_.clear(); }

 private:
  int dirFd_;
  std::string name_;
};

}  // namespace

TransferRun::TransferRun(RunContext& context, LocalTree& local, std::string serverBase,
                         std::string opName)
    : ctx_(context),
      local_(local),
      serverBase_(std::move(serverBase)),
      opName_(std::move(opName)),
      start_(Clock::systemClock().monotonicNow()),
      buffer_(256 * 1024) {}

std::string TransferRun::serverPathOf(const EnginePath& path) const {
  return joinServerPath(serverBase_, path.path);
}

std::vector<TransferRun::Item> TransferRun::expandUpload(const std::vector<SetEntry>& entries) {
  std::vector<Item> items;
  for (const SetEntry& entry : entries) {
    if (!entry.path) {
      items.push_back({entry.raw, std::nullopt, 0, EINVAL, std::nullopt});
      continue;
    }
    if (!entry.path->isFolder) {
      Item item{entry.path->path, entry.path, 0, 0, std::nullopt};
      struct stat st {};
      if (local_.statNoFollow(*entry.path, &st) && S_ISREG(st.st_mode)) item.size = st.st_size;
      items.push_back(std::move(item));
      continue;
    }
    std::vector<LocalFile> files;
    std::vector<std::string> folders{entry.path->path};
    if (!local_.walk(*entry.path, files, folders)) {
      items.push_back({entry.path->path, entry.path, 0, errno, std::nullopt});
      continue;
    }
    // Folders carry no bytes: they exist on the server once the run saw them.
    for (const std::string& folder : folders) ctx_.store.makeFolders(joinServerPath(serverBase_, folder));
    for (const LocalFile& file : files)
      items.push_back({file.path, normalizePath(file.path), file.size, 0, std::nullopt});
  }
  return items;
}

std::vector<TransferRun::Item> TransferRun::expandDownload(const std::vector<SetEntry>& entries) {
  std::vector<Item> items;
  std::string base = serverBase_ == "/" ? "/" : serverBase_ + (serverBase_.back() == '/' ? "" : "/");
  auto shownOf = [&](const std::string& serverPath) {
    std::string shown = "/";
    shown.append(serverPath, base.size());
    return shown;
  };
  for (const SetEntry& entry : entries) {
    if (!entry.path) {
      items.push_back({entry.raw, std::nullopt, 0, EINVAL, std::nullopt});
      continue;
    }
    std::string serverPath = serverPathOf(*entry.path);
    std::optional<Entry> found;
    if (!entry.path->isFolder) found = ctx_.store.liveEntry(serverPath);
    if (!found) {
      std::string folder = serverPath.back() == '/' ? serverPath : serverPath + "/";
      found = ctx_.store.liveEntry(folder);
    }
    if (!found || ctx_.faults.missing.count(entry.path->path)) {
      items.push_back({entry.path->path, entry.path, 0, ENOENT, std::nullopt});
      continue;
    }
    if (!found->isDir) {
      items.push_back({entry.path->path, entry.path, found->size, 0, found});
      continue;
    }
    local_.makeFolder(*normalizePath(shownOf(found->path)));
    for (Entry& child : ctx_.store.entriesUnder(found->path, false)) {
      auto path = normalizePath(shownOf(child.path));
      if (child.isDir) {
        local_.makeFolder(*path);
        continue;
      }
      int error = ctx_.faults.missing.count(path->path) ? ENOENT : 0;
      items.push_back({path->path, path, child.size, error, std::move(child)});
    }
  }
  return items;
}

void TransferRun::progress(const char* mode, const Item& item, int64_t size) {
  double seconds =
      std::chrono::duration<double>(Clock::systemClock().monotonicNow() - start_).count();
  int64_t speed = int64_t(double(bytesMoved_) / std::max(seconds, 0.001));
  itemLine({"PROGRESS", mode, "Done", std::to_string(size), std::to_string(filesEnded_ + 1),
            std::to_string(filesTotal_), std::to_string(bytesMoved_), std::to_string(bytesTotal_),
            std::to_string(std::max<int64_t>(0, bytesTotal_ - bytesHandled_ - item.size)),
            std::to_string(speed), escapeField(item.shown)});
}

void TransferRun::itemFailed(const char* keyword, const Item& item, const char* what, int error) {
  ++failed_;
  std::string message = std::string(keyword) + ": " + what + " failed. Reason: " +
                        std::strerror(error);
  itemLine({keyword, escapeField(item.shown), message});
}

void TransferRun::itemLine(std::vector<std::string> fields) {
  if (ctx_.store.inBatch()) {
    pending_.push_back(std::move(fields));
  } else {
    ctx_.out.line(fields);
  }
}

void TransferRun::flushBatch() {
  ctx_.store.endBatch();
  for (const auto& fields : pending_) ctx_.out.line(fields);
  pending_.clear();
  batchCount_ = 0;
}

// A batch holds the account's write lock: it stays short (128 files or
// 200 ms), and never spans a hold, a paced or a large copy.
void TransferRun::maybeFlushBatch(bool force) {
  if (!ctx_.store.inBatch()) return;
  if (force || batchCount_ >= 128 ||
      Clock::systemClock().monotonicNow() - batchStart_ >= std::chrono::milliseconds(200))
    flushBatch();
}

TransferRun::Step TransferRun::itemEnded(int64_t sizeHandled) {
  ++filesEnded_;
  bytesHandled_ += sizeHandled;
  const FaultPlan& faults = ctx_.faults;
  bool crash = faults.crashAfter && filesEnded_ >= *faults.crashAfter;
  bool reset = faults.resetAfter && filesEnded_ >= *faults.resetAfter;
  bool stall = faults.stallAfter && filesEnded_ >= *faults.stallAfter;
  maybeFlushBatch(crash || reset || stall);
  if (crash) std::raise(SIGKILL);
  if (reset) {
    fatal_ = Fatal{kExitConnectionLost, kTextResetByPeer};
    return Step::kStop;
  }
  if (stall) {
    ctx_.control.idleUntilCancelled();
    cancelled_ = true;
    return Step::kStop;
  }
  return Step::kGoOn;
}

TransferRun::CopyResult TransferRun::copy(int from, int to, const Item& item) {
  int64_t done = 0;
  for (;;) {
    size_t want = std::min(buffer_.size(), ctx_.control.chunkSize());
    ssize_t n = ::read(from, buffer_.data(), want);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return {errno, true, false};
    if (n == 0) return {};
    for (ssize_t written = 0; written < n;) {
      ssize_t w = ::write(to, buffer_.data() + written, size_t(n - written));
      if (w < 0 && errno == EINTR) continue;
      if (w < 0) return {errno, false, false};
      written += w;
    }
    done += n;
    bytesMoved_ += n;
    if (!ctx_.control.pace(n)) return {0, false, true};
    auto now = Clock::systemClock().monotonicNow();
    if (now - ctx_.out.lastLineTime() >= std::chrono::seconds(1))
      ctx_.out.line("ALIVE", {std::to_string(done), std::to_string(item.size),
                              escapeField(item.shown)});
  }
}

TransferRun::Step TransferRun::uploadOne(const Item& item) {
  if (!item.path || item.error) {
    itemFailed(item.path ? "IOERROR" : "SFERROR", item, item.path ? "read" : "path check",
               item.error);
    return itemEnded(item.size);
  }
  if (ctx_.faults.missing.count(item.path->path)) {
    itemFailed("IOERROR", item, "read", ENOENT);
    return itemEnded(item.size);
  }
  struct stat st {};
  UniqueFd source = local_.openForRead(*item.path, &st);
  if (!source.valid()) {
    itemFailed("IOERROR", item, "read", errno);
    return itemEnded(item.size);
  }
  std::string serverPath = serverPathOf(*item.path);
  std::optional<Entry> live = ctx_.store.liveEntry(serverPath);
  if (live && !live->isDir && live->size == st.st_size && live->mtimeNs == mtimeNsOf(st)) {
    progress(kSyncFile, item, st.st_size);
    ++inSync_;
    return itemEnded(item.size);
  }
  if (ctx_.faults.overQuota) {
    fatal_ = Fatal{kExitOverQuota, kTextOverQuota};
    return Step::kStop;
  }
  maybeFlushBatch(st.st_size > 1024 * 1024 || ctx_.control.rateLimited());

  std::string temp = ctx_.store.newTempPath();
  UniqueFd sink(::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  if (!sink.valid()) {
    itemFailed("SFERROR", item, "store", errno);
    return itemEnded(item.size);
  }
  TempGuard guard(AT_FDCWD, temp);
  int64_t before = bytesMoved_;
  CopyResult copied = copy(source.get(), sink.get(), item);
  if (copied.cancelled) {
    cancelled_ = true;
    return Step::kStop;
  }
  if (copied.error) {
    itemFailed(copied.readSide ? "IOERROR" : "SFERROR", item, copied.readSide ? "read" : "store",
               copied.error);
    return itemEnded(item.size);
  }
  sink = UniqueFd();
  int64_t size = bytesMoved_ - before;
  if (!ctx_.store.inBatch()) {
    ctx_.store.beginBatch();
    batchStart_ = Clock::systemClock().monotonicNow();
  }
  ++batchCount_;
  const SeenVersion* seen = nullptr;
  if (ctx_.seen) {
    auto found = ctx_.seen->find(item.path->path);
    if (found != ctx_.seen->end()) seen = &found->second;
  }
  Change change = ctx_.store.commitUpload(serverPath, temp, size, mtimeNsOf(st),
                                          int(st.st_mode & 0777), ctx_.quotaTotal, seen);
  if (change.error == EDQUOT) {
    fatal_ = Fatal{kExitOverQuota, kTextOverQuota};
    return Step::kStop;
  }
  if (change.error == ESTALE) {
    itemFailed("SFERROR", item, "version check", ESTALE);
    return itemEnded(item.size);
  }
  if (change.error) {
    itemFailed("SFERROR", item, "store", change.error);
    return itemEnded(item.size);
  }
  guard.release();
  ++transferred_;
  if (live) ++incremental_;
  progress(live ? kIncrementalBackup : kFullBackup, item, size);
  return itemEnded(item.size);
}

TransferRun::Step TransferRun::downloadOne(const Item& item) {
  if (!item.path || item.error) {
    itemFailed("SFERROR", item, item.path ? "download" : "path check", item.error);
    return itemEnded(item.size);
  }
  const Entry& entry = *item.server;
  if (ctx_.faults.noSpace.count(item.path->path)) {
    itemFailed("IOERROR", item, "write", ENOSPC);
    return itemEnded(item.size);
  }
  int parent = local_.parentFd(*item.path, true);
  if (parent < 0) {
    itemFailed("IOERROR", item, "write", errno);
    return itemEnded(item.size);
  }
  std::string name = item.path->components().back();
  struct stat st {};
  bool exists = ::fstatat(parent, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
  if (exists && S_ISDIR(st.st_mode)) {
    itemFailed("IOERROR", item, "write", EISDIR);
    return itemEnded(item.size);
  }
  bool regular = exists && S_ISREG(st.st_mode);
  if (regular && st.st_size == entry.size && mtimeNsOf(st) == entry.mtimeNs) {
    progress(kSyncFile, item, entry.size);
    ++inSync_;
    return itemEnded(item.size);
  }
  ctx_.out.line("RECV", {escapeField(item.shown)});

  // A blob is a regular file of the storage: a link put in its place is
  // never served.
  UniqueFd source(::open(ctx_.store.blobPath(entry.refId, entry.version).c_str(),
                         O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  struct stat blob {};
  if (source.valid() && (::fstat(source.get(), &blob) != 0 || !S_ISREG(blob.st_mode))) {
    source = UniqueFd();
    errno = ELOOP;
  }
  if (!source.valid()) {
    itemFailed("SFERROR", item, "download", errno);
    return itemEnded(item.size);
  }
  std::string temp = "." + name + ".kvt-part." + std::to_string(::getpid());
  if (temp.size() > 255)
    temp = ".kvt-part." + std::to_string(::getpid()) + "." + std::to_string(++tempCounter_);
  ::unlinkat(parent, temp.c_str(), 0);
  UniqueFd sink(::openat(parent, temp.c_str(),
                         O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!sink.valid()) {
    itemFailed("IOERROR", item, "write", errno);
    return itemEnded(item.size);
  }
  TempGuard guard(parent, temp);
  int64_t before = bytesMoved_;
  CopyResult copied = copy(source.get(), sink.get(), item);
  if (copied.cancelled) {
    cancelled_ = true;
    return Step::kStop;
  }
  if (copied.error) {
    itemFailed(copied.readSide ? "SFERROR" : "IOERROR", item,
               copied.readSide ? "download" : "write", copied.error);
    return itemEnded(item.size);
  }
  struct timespec times[2] = {{0, UTIME_OMIT},
                              {time_t(entry.mtimeNs / 1000000000), long(entry.mtimeNs % 1000000000)}};
  if (::fchmod(sink.get(), mode_t(entry.mode & 0777)) != 0 || ::futimens(sink.get(), times) != 0 ||
      ::renameat(parent, temp.c_str(), parent, name.c_str()) != 0) {
    itemFailed("IOERROR", item, "write", errno);
    return itemEnded(item.size);
  }
  guard.release();
  ++transferred_;
  if (regular) ++incremental_;
  progress(regular ? kIncrementalRestore : kFullRestore, item, bytesMoved_ - before);
  return itemEnded(item.size);
}

int TransferRun::upload(const std::vector<SetEntry>& entries) {
  std::vector<Item> items = expandUpload(entries);
  filesTotal_ = int64_t(items.size());
  for (const Item& item : items) bytesTotal_ += item.size;
  ctx_.out.line("START", {opName_, std::to_string(filesTotal_), std::to_string(bytesTotal_)});
  for (const Item& item : items) {
    if (ctx_.control.holding()) maybeFlushBatch(true);
    if (!ctx_.control.pace(0)) {
      cancelled_ = true;
      break;
    }
    if (uploadOne(item) == Step::kStop) break;
  }
  return finish();
}

int TransferRun::download(const std::vector<SetEntry>& entries) {
  std::vector<Item> items = expandDownload(entries);
  filesTotal_ = int64_t(items.size());
  for (const Item& item : items) bytesTotal_ += item.size;
  ctx_.out.line("START", {opName_, std::to_string(filesTotal_), std::to_string(bytesTotal_)});
  for (const Item& item : items) {
    if (!ctx_.control.pace(0)) {
      cancelled_ = true;
      break;
    }
    if (downloadOne(item) == Step::kStop) break;
  }
  return finish();
}

int TransferRun::finish() {
  maybeFlushBatch(true);
  int status = kExitOk;
  if (fatal_) {
    ctx_.out.fatal(*fatal_);
    status = fatal_->status;
  } else if (cancelled_) {
    status = kExitCancelled;
  } else if (failed_ > 0) {
    status = kExitPartial;
  }
  ctx_.out.line("SUMMARY", {opName_, std::to_string(status), std::to_string(filesTotal_),
                            std::to_string(transferred_), std::to_string(incremental_),
                            std::to_string(inSync_), std::to_string(failed_),
                            std::to_string(bytesMoved_)});
  return status;
}

}  // namespace ulmora::kvt
