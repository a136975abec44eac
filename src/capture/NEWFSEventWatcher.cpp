#include "capture/NEWFSEventWatcher.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <exception>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "capture/CaptureDatabase.h"
#include "capture/CaptureJournalSink.h"
#include "capture/CapturePaths.h"
#include "capture/DirectoryWalker.h"
#include "capture/ExcludedFilesCollections.h"
#include "capture/InotifyWatchTree.h"
#include "journal/SyncRecordBuilder.h"
#include "journal/SyncRootPath.h"
#include "platform/FileUtil.h"
#include "platform/Trace.h"

namespace {
std::optional<std::pair<std::uint64_t, std::uint64_t>> folderIdentity(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return std::nullopt;
  return std::pair<std::uint64_t, std::uint64_t>{static_cast<std::uint64_t>(st.st_dev),
                                                 static_cast<std::uint64_t>(st.st_ino)};
}
}  // namespace

namespace ulmora {
namespace {

constexpr size_t kReadBufferSize = 64 * 1024;
// Reads per turn of the loop before timers get their turn again, so a
// flood of events cannot hold back the hand-on.
constexpr int kReadsPerTurn = 64;
// A clock that is not the real one may be advanced at any moment without
// waking poll(): look at it this often.
constexpr int kManualClockPollMs = 10;
// Invalid names traced per hand-on, so a flood of them cannot flood the trace.
constexpr int kNameTracesPerFlush = 5;

constexpr std::string_view kCacheFolderName = ".UMSCache";

// The folder holds something of the user's: anything but the cache folder
// and the names never handed on (keys relative to the root: "/name...").
template <typename Snapshot>
bool holdsUserItems(const Snapshot& seen, const std::set<std::string>& ignored) {
  for (const auto& entry : seen) {
    const std::string& relative = entry.first;
    const std::string top = relative.substr(1, relative.find('/', 1) - 1);
    if (top != kCacheFolderName && !ignored.count(top)) return true;
  }
  return false;
}

// The modification date as the database records it (whole seconds).
std::string recordedDate(int64_t mtimeNs) {
  return syncrecord::dateText(Clock::WallTime(
      std::chrono::duration_cast<Clock::WallTime::duration>(std::chrono::seconds(mtimeNs / 1000000000))));
}

// A real folder: a symlink in its place, even to a folder, is not one.
bool folderExists(const std::string& path) { return fileutil::isDirectory(path); }

}  // namespace

NEWFSEventWatcher::NEWFSEventWatcher(Options options, CaptureJournalSink& sink,
                                     ExcludedFilesCollections& collections)
    : options_(std::move(options)),
      clock_(options_.clock ? *options_.clock : Clock::systemClock()),
      sink_(sink),
      collections_(collections),
      coalescer_(options_.coalescingDelay) {
  options_.syncRoot = std::string(capturepath::withoutTrailingSlash(options_.syncRoot));
}

NEWFSEventWatcher::~NEWFSEventWatcher() {
  stop();
  tree_.reset();
  if (inotifyFd_ >= 0) close(inotifyFd_);
  if (wakeFd_ >= 0) close(wakeFd_);
}

Clock::TimePoint NEWFSEventWatcher::now() const { return clock_.monotonicNow(); }

bool NEWFSEventWatcher::start() {
  if (thread_.joinable()) return true;
  tree_.reset();
  if (inotifyFd_ >= 0) close(inotifyFd_);
  if (wakeFd_ >= 0) close(wakeFd_);
  inotifyFd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (inotifyFd_ < 0) {
    traceLine(std::string("watcher: inotify cannot be used: ") + std::strerror(errno));
    return false;
  }
  wakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (wakeFd_ < 0) {
    traceLine(std::string("watcher: no wake-up descriptor: ") + std::strerror(errno));
    close(inotifyFd_);
    inotifyFd_ = -1;
    return false;
  }
  readBuffer_.resize(kReadBufferSize);
  tree_ = std::make_unique<InotifyWatchTree>(inotifyFd_, options_.maxWatches);
  if (options_.syncRoot.empty() ||
      tree_->watchRoot(options_.syncRoot) != InotifyWatchTree::AddResult::kAdded) {
    traceLine("watcher: the sync folder \"" + options_.syncRoot +
              "\" cannot be watched; it is looked for again every rescan interval");
    rootMissing_ = true;
    nextRescan_ = now() + options_.rescanInterval;
  } else {
    rootIdentity_ = folderIdentity(options_.syncRoot);
    walkAndWatch(options_.syncRoot, WalkMode{});
  }
  updateWatchCount();
  thread_ = std::jthread([this](std::stop_token stop) { threadMain(stop); });
  return true;
}

void NEWFSEventWatcher::stop() {
  if (!thread_.joinable()) return;
  thread_.request_stop();
  wake();
  thread_.join();
}

void NEWFSEventWatcher::wake() {
  if (wakeFd_ < 0) return;
  const uint64_t one = 1;
  // A full counter already means "wake up"; nothing else can go wrong here.
  [[maybe_unused]] ssize_t n = write(wakeFd_, &one, sizeof one);
}

void NEWFSEventWatcher::flushNow() {
  flushRequested_ = true;
  wake();
}

void NEWFSEventWatcher::simulateQueueOverflow() {
  overflowRequested_ = true;
  wake();
}

void NEWFSEventWatcher::loseEventsUntilOverflow() { losingEvents_ = true; }

void NEWFSEventWatcher::compareWithDatabaseAtStart() {
  startComparisonRequested_ = true;
  wake();
}

// --- The watcher thread ---------------------------------------------------------

void NEWFSEventWatcher::threadMain(std::stop_token stop) {
  while (!stop.stop_requested()) {
    try {
      runOnce();
    } catch (const std::exception& e) {
      traceLine(std::string("watcher: ") + e.what());
    }
  }
  // Nothing the user did before the stop is left behind.
  try {
    readAvailableEvents();
    expireMoves(true);
    flush();
  } catch (const std::exception& e) {
    traceLine(std::string("watcher: while stopping: ") + e.what());
  }
}

int NEWFSEventWatcher::pollTimeoutMs() const {
  std::optional<Clock::TimePoint> next = coalescer_.deadline();
  for (const PendingMove& move : moves_) {
    if (!next || move.deadline < *next) next = move.deadline;
  }
  if (nextRescan_ && (!next || *nextRescan_ < *next)) next = nextRescan_;
  const bool realClock = &clock_ == &Clock::systemClock();
  if (!next) return realClock ? -1 : kManualClockPollMs;
  const Clock::Duration remaining = *next - now();
  if (remaining <= Clock::Duration::zero()) return 0;
  auto ms = std::chrono::ceil<std::chrono::milliseconds>(clock_.toRealDuration(remaining)).count();
  if (!realClock) ms = std::min<int64_t>(ms, kManualClockPollMs);
  return static_cast<int>(std::min<int64_t>(ms, INT_MAX));
}

void NEWFSEventWatcher::runOnce() {
  pollfd fds[2] = {{inotifyFd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
  if (poll(fds, 2, pollTimeoutMs()) < 0 && errno != EINTR) {
    traceLine(std::string("watcher: poll failed: ") + std::strerror(errno));
  }
  if (fds[1].revents & POLLIN) {
    uint64_t count;
    [[maybe_unused]] ssize_t n = read(wakeFd_, &count, sizeof count);
  }
  readAvailableEvents();
  if (overflowRequested_.exchange(false)) {
    if (losingEvents_.load()) {
      // Everything queued up to the overflow is lost with it.
      for (int turn = 0; turn < kReadsPerTurn && readAvailableEvents(); ++turn) {
      }
      losingEvents_ = false;
    }
    handleEvent(-1, IN_Q_OVERFLOW, 0, {});
  }
  if (startComparisonRequested_.exchange(false)) {
    traceLine("watcher: comparing the sync folder with the local database for changes made while "
              "it was not watched");
    rescanRoot(RescanKind::kStart);
  }
  expireMoves(false);
  if (nextRescan_ && now() >= *nextRescan_) {
    nextRescan_.reset();
    if (rootMissing_) {
      lookForRoot();
    } else {
      rescanUnwatched();
      if (rootFoundEmpty_) lookForRefill();
    }
  }
  const bool requested = flushRequested_.exchange(false);
  if (requested) {
    // Everything done before the request is in the queue by now; a flood
    // that never ends is cut off after a while rather than starving the flush.
    for (int turn = 0; turn < kReadsPerTurn && readAvailableEvents(); ++turn) {
    }
  }
  const std::optional<Clock::TimePoint> deadline = coalescer_.deadline();
  if (requested || (deadline && now() >= *deadline)) flush();
  ++loopTurns_;
}

bool NEWFSEventWatcher::readAvailableEvents() {
  if (inotifyFd_ < 0) return false;
  for (int turn = 0; turn < kReadsPerTurn; ++turn) {
    const ssize_t n = read(inotifyFd_, readBuffer_.data(), readBuffer_.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno != EAGAIN) traceLine(std::string("watcher: read failed: ") + std::strerror(errno));
      return false;
    }
    if (n == 0) return false;
    if (losingEvents_.load()) continue;
    const char* p = readBuffer_.data();
    const char* end = p + n;
    while (p + sizeof(inotify_event) <= end) {
      inotify_event header;
      std::memcpy(&header, p, sizeof header);
      const char* namePtr = p + sizeof(inotify_event);
      if (namePtr + header.len > end) break;
      const std::string_view name(namePtr, strnlen(namePtr, header.len));
      handleEvent(header.wd, header.mask, header.cookie, name);
      p = namePtr + header.len;
    }
  }
  return true;  // there may be more
}

void NEWFSEventWatcher::handleEvent(int wd, uint32_t mask, uint32_t cookie,
                                    std::string_view name) {
  if (mask & IN_Q_OVERFLOW) {
    traceLine("watcher: the kernel's event queue overflowed; reading the sync folder again");
    // The moves still waiting for their second half end with the rescan,
    // which can tell a folder's new name from a move out.
    rescanRoot(RescanKind::kOverflow);
    return;
  }
  if (rootMissing_) return;
  if (mask & IN_IGNORED) {
    if (tree_->forget(wd)) rootLost("is no longer watched");
    updateWatchCount();
    return;
  }
  if (tree_->isRoot(wd)) {
    if (mask & IN_UNMOUNT) return rootLost("was unmounted");
    if (mask & IN_DELETE_SELF) return rootLost("was removed");
    if (mask & IN_MOVE_SELF) return rootLost("was moved away");
  }
  if (name.empty()) return;  // the folder's own events: its parent reports them
  const std::optional<std::string> folder = tree_->pathOf(wd);
  if (!folder) return;
  const std::string path = fileutil::joinPath(*folder, name);
  const bool isFolder = (mask & IN_ISDIR) != 0;

  if (mask & (IN_MOVED_TO | IN_CREATE)) settleMovesAt(path);
  if (mask & IN_MOVED_FROM) {
    moves_.push_back(PendingMove{cookie, path, isFolder, now() + options_.moveWindow});
  } else if (mask & IN_MOVED_TO) {
    handleMovedTo(path, cookie, isFolder);
  } else if (mask & IN_CREATE) {
    if (isFolder) {
      WalkMode mode;
      mode.report = true;
      walkAndWatch(path, mode);
    } else {
      emitCreated(path, false);
    }
  } else if (mask & IN_DELETE) {
    if (isFolder) {
      tree_->unlink(path);
      dropRegionsUnder(path);
    }
    emitRemoved(path, isFolder);
  } else if (isFolder) {
    // A folder's own times and attributes are not content; but a folder
    // that could not be watched or read (mode 000) may have just become
    // readable, and nothing else would ever bring its files in.
    if ((mask & IN_ATTRIB) && !tree_->isWatched(path)) takeUpReadableFolder(path);
  } else if (mask & (IN_MODIFY | IN_CLOSE_WRITE)) {
    emitWritten(path);
  } else if (mask & IN_ATTRIB) {
    if (!collections_.isFileInfoChangedManualy(path)) emitModified(path);
  }
}

void NEWFSEventWatcher::handleMovedTo(const std::string& path, uint32_t cookie, bool isFolder) {
  auto half = std::find_if(moves_.begin(), moves_.end(),
                           [&](const PendingMove& move) { return move.cookie == cookie; });
  if (half == moves_.end()) {
    // Moved in from outside the root: new to us, with all it holds.
    if (isFolder) {
      WalkMode mode;
      mode.report = true;
      walkAndWatch(path, mode);
    } else {
      emitCreated(path, false);
    }
    return;
  }
  const std::string from = std::move(half->path);
  moves_.erase(half);
  if (!isFolder) return emitRenamed(from, path, false);
  const bool limited = regionFor(from) != unwatched_.end();
  const bool known = tree_->move(from, path);
  renameRegions(from, path);
  emitRenamed(from, path, true);
  if (!known) {
    // Renamed before its creation was handled (the walk then found nothing
    // at the old name): what it holds was never handed on. A folder beyond
    // the watch limit was compared with its snapshot instead.
    WalkMode mode;
    mode.report = !limited;
    walkAndWatch(path, mode);
  }
  updateWatchCount();
}

void NEWFSEventWatcher::expireMoves(bool all) {
  const Clock::TimePoint t = now();
  endMoves([&](const PendingMove& move) { return all || t >= move.deadline; });
}

// The kernel reports both halves of a move while it holds the folders
// locked: nothing can be made at a move's former name in between. So an item
// that appears there (moved in, renamed to it, created) came after a move
// out, which goes in first; left waiting, its removal would come after the
// item's creation and cancel it.
void NEWFSEventWatcher::settleMovesAt(const std::string& path) {
  if (moves_.empty()) return;
  endMoves([&](const PendingMove& move) { return move.path == path; });
}

void NEWFSEventWatcher::endMoves(const std::function<bool(const PendingMove&)>& ends) {
  std::vector<PendingMove> expired;
  std::vector<PendingMove> waiting;
  for (PendingMove& move : moves_) {
    (ends(move) ? expired : waiting).push_back(std::move(move));
  }
  moves_ = std::move(waiting);
  for (const PendingMove& move : expired) {
    // Moved out of the root: gone as far as the sync is concerned.
    if (move.isFolder) {
      tree_->unwatch(move.path);
      dropRegionsUnder(move.path);
      updateWatchCount();
    }
    emitRemoved(move.path, move.isFolder);
  }
}

void NEWFSEventWatcher::rootLost(const std::string& why) {
  // Deleting the server's copy of everything because the local folder
  // vanished (an unmount, a mistaken removal) is never what the user wants:
  // what is pending is dropped, and the folder is compared again, without
  // deletes, when it is back.
  // Renames are kept, though: a rename loses nothing on the server, and the
  // comparison without deletes could not find it again (the new name would
  // be uploaded and the old one would live on everywhere else).
  const EventCoalescer::Batch dropped = coalescer_.take();
  std::size_t deletes = 0;
  for (const EventCoalescer::Operation& op : dropped.operations) {
    if (op.kind == EventCoalescer::Operation::Kind::kRename) {
      heldRenames_.push_back(op);
    } else {
      ++deletes;
    }
  }
  traceLine("watcher: the sync folder \"" + options_.syncRoot + "\" " + why + "; " + std::to_string(deletes) +
            " pending deletes were dropped, " + std::to_string(heldRenames_.size()) +
            " renames are kept; watching resumes when it is back");
  moves_.clear();
  tree_->clear();
  unwatched_.clear();
  setWatchLimitReached(false);
  rootMissing_ = true;
  nextRescan_ = now() + options_.rescanInterval;
  updateWatchCount();
}

void NEWFSEventWatcher::lookForRoot() {
  if (!folderExists(options_.syncRoot) ||
      tree_->watchRoot(options_.syncRoot) != InotifyWatchTree::AddResult::kAdded) {
    nextRescan_ = now() + options_.rescanInterval;
    return;
  }
  rootMissing_ = false;
  const auto identity = folderIdentity(options_.syncRoot);
  rootBackSameFolder_ = identity && identity == rootIdentity_;
  rootIdentity_ = identity;
  traceLine("watcher: the sync folder \"" + options_.syncRoot + "\" is back" +
            (rootBackSameFolder_ ? " (the same folder)" : "") + "; reading it again");
  handOnHeldRenames();
  rescanRoot(RescanKind::kRootBack);
  rootBackSameFolder_ = false;
  renamedOnRootBack_.clear();
}

// A kept rename still stands when the folder that came back agrees with it:
// its old name is gone, and its new name (or the last name of a chain of
// renames) is there.
void NEWFSEventWatcher::handOnHeldRenames() {
  std::vector<EventCoalescer::Operation> held = std::exchange(heldRenames_, {});
  for (std::size_t i = 0; i < held.size(); ++i) {
    const EventCoalescer::Operation& op = held[i];
    // Where the item ended up: the new name, or the end of its chain.
    std::string last = op.newPath;
    for (std::size_t k = i + 1; k < held.size(); ++k) {
      if (held[k].path == last) last = held[k].newPath;
    }
    struct stat st {};
    if (fileutil::exists(op.path) || ::lstat(last.c_str(), &st) != 0) {
      traceLine("watcher: the rename of \"" + op.path + "\" made before the sync folder went no longer holds");
      continue;
    }
    coalescer_.renamed(op.path, op.newPath, S_ISDIR(st.st_mode), now());
    renamedOnRootBack_.push_back(SyncRootPath(options_.syncRoot).relative(op.path));
  }
}

// --- Filters --------------------------------------------------------------------

bool NEWFSEventWatcher::dropped(const std::string& path) const {
  if (!options_.ignoredNames.empty() &&
      options_.ignoredNames.count(fileutil::lastComponent(path)) != 0) {
    return true;
  }
  return collections_.shouldExcludeFile(path);
}

void NEWFSEventWatcher::emitCreated(const std::string& path, bool isFolder) {
  if (dropped(path) || collections_.isExcludedByApplication(path)) return;
  if (isFolder && collections_.isFolderCreationAvoided(path)) return;
  coalescer_.created(path, isFolder, now());
}

void NEWFSEventWatcher::emitModified(const std::string& path) {
  if (dropped(path) || collections_.isExcludedByApplication(path)) return;
  coalescer_.modified(path, now());
}

// The paths of the sync's own moves stay in the exclusion set for a while
// after the move, but a move never writes a file's content: a write there
// is the user's (or a download's, which its upload mark tells), and
// dropping it would lose the edit.
void NEWFSEventWatcher::emitWritten(const std::string& path) {
  if (dropped(path)) return;
  coalescer_.modified(path, now());
}

void NEWFSEventWatcher::emitRemoved(const std::string& path, bool isFolder) {
  if (dropped(path) || collections_.isExcludedByApplication(path)) return;
  if (collections_.consumeAutoDelete(path)) return;
  coalescer_.removed(path, isFolder, now());
}

void NEWFSEventWatcher::emitRenamed(const std::string& from, const std::string& to,
                                    bool isFolder) {
  if (collections_.isExcludedByApplication(from) || collections_.isExcludedByApplication(to)) {
    return;
  }
  if (collections_.consumeAvoidedRename(RenameEntry{from, to})) return;
  const bool fromOut = dropped(from);
  const bool toOut = dropped(to);
  if (fromOut && toOut) return;
  if (fromOut) {
    // Out of an excluded name (a temporary file of an atomic save): new.
    emitCreated(to, isFolder);
    if (isFolder) reportContents(to);
    return;
  }
  if (toOut) {
    emitRemoved(from, isFolder);
    return;
  }
  coalescer_.renamed(from, to, isFolder, now());
}

void NEWFSEventWatcher::flush() {
  EventCoalescer::Batch batch = coalescer_.take();
  if (batch.empty()) return;
  int traced = 0;
  auto check = [&](const std::string& path) {
    if (traced >= kNameTracesPerFlush) return;
    if (!capturepath::isValidUtf8(path)) {
      traceLine("watcher: \"" + path + "\" is not valid UTF-8; handed on as its bytes");
      ++traced;
    } else if (path.find('\n') != std::string::npos) {
      traceLine("watcher: \"" + path + "\" holds a line break; a one-path-per-line list cannot carry it");
      ++traced;
    }
  };
  // The upload filter never sees such a name (no list carries it there):
  // the user is told here.
  auto refuse = [&](const std::string& path) {
    if (path.find('\n') != std::string::npos)
      collections_.noteRefusedUpload(SyncRootPath(options_.syncRoot).relative(path),
                                     "its name holds a line break");
  };
  const SyncRootPath root(options_.syncRoot);
  size_t i = 0;
  const auto& ops = batch.operations;
  while (i < ops.size()) {
    if (ops[i].kind == EventCoalescer::Operation::Kind::kDelete) {
      std::vector<std::string> deletes;
      for (; i < ops.size() && ops[i].kind == EventCoalescer::Operation::Kind::kDelete; ++i) {
        check(ops[i].path);
        deletes.push_back(ops[i].path);
      }
      sink_.addDeleteFiles(deletes);
    } else {
      std::vector<RenameEntry> renames;
      for (; i < ops.size() && ops[i].kind == EventCoalescer::Operation::Kind::kRename; ++i) {
        RenameEntry entry{root.relative(ops[i].path), root.relative(ops[i].newPath)};
        if (entry.originalPath.empty() || entry.renamedPath.empty()) {
          traceLine("watcher: a rename of the sync folder itself is not handed on");
          continue;
        }
        check(ops[i].newPath);
        renames.push_back(std::move(entry));
      }
      if (!renames.empty()) sink_.addRenamedFiles(renames);
    }
  }
  for (const std::string& path : batch.folders) check(path);
  // A download's own write, its report come already: on a first sync of
  // many files these were most of what the journal carried to the upload
  // filter, only to be found the download's and dropped there. A change
  // after the report is another file (its facts differ) and is kept; one
  // after this hand-on is an event of its own.
  std::erase_if(batch.files, [&](const std::string& path) { return collections_.isUntouchedDownload(path); });
  for (const std::string& path : batch.files) {
    check(path);
    refuse(path);
  }
  if (!batch.folders.empty()) sink_.addDirectory(batch.folders);
  if (!batch.files.empty()) sink_.addBackupFiles(batch.files);
}

// --- Trees ----------------------------------------------------------------------

std::optional<NEWFSEventWatcher::Stamp> NEWFSEventWatcher::stampOf(const std::string& path,
                                                                   bool isFolder,
                                                                   bool isSymlink) {
  Stamp stamp;
  stamp.isFolder = isFolder;
  if (isFolder) return stamp;
  struct stat st;
  // The database records a symlink with the facts of what it points to.
  if ((isSymlink ? stat(path.c_str(), &st) : -1) != 0 && lstat(path.c_str(), &st) != 0) {
    return std::nullopt;
  }
  stamp.size = st.st_size;
  stamp.mtimeNs = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  return stamp;
}

std::map<std::string, NEWFSEventWatcher::Snapshot>::iterator NEWFSEventWatcher::regionFor(
    const std::string& path) {
  for (auto it = unwatched_.begin(); it != unwatched_.end(); ++it) {
    if (capturepath::isSameOrBelow(path, it->first)) return it;
  }
  return unwatched_.end();
}

DirectoryWalker::Result NEWFSEventWatcher::walkAndWatch(const std::string& top, const WalkMode& mode) {
  if (mode.report) emitCreated(top, true);
  DirectoryWalker::Callbacks callbacks;
  callbacks.enterFolder = [&](const std::string& folder) {
    if (!unwatched_.empty() && regionFor(folder) != unwatched_.end()) return true;
    switch (tree_->watch(folder)) {
      case InotifyWatchTree::AddResult::kGone:
        return false;
      case InotifyWatchTree::AddResult::kLimit:
        noteUnwatched(folder);
        return true;
      case InotifyWatchTree::AddResult::kAdded:
        // Unknown until now: after lost events, a folder made meanwhile.
        if (mode.reportNewFolders && folder != top) {
          if (mode.newFolders)
            mode.newFolders->push_back(folder);
          else
            emitCreated(folder, true);
        }
        return true;
      default:
        return true;
    }
  };
  const size_t topLength = top == "/" ? 0 : top.size();
  callbacks.entry = [&](const DirectoryWalker::Entry& entry) {
    const bool isFolder = entry.type == DirectoryWalker::EntryType::kDirectory;
    if (entry.type == DirectoryWalker::EntryType::kOther) return false;
    if (mode.report) emitCreated(entry.path, isFolder);
    auto region = unwatched_.empty() ? unwatched_.end() : regionFor(entry.path);
    if (region != unwatched_.end() || mode.seen) {
      const std::optional<Stamp> stamp =
          stampOf(entry.path, isFolder, entry.type == DirectoryWalker::EntryType::kSymlink);
      if (stamp) {
        if (region != unwatched_.end()) {
          region->second[entry.path.substr(region->first.size())] = *stamp;
        }
        if (mode.seen) (*mode.seen)[entry.path.substr(topLength)] = *stamp;
      }
    }
    return isFolder;
  };
  callbacks.folderSkipped = [&](const std::string& folder, int) {
    if (mode.unread) mode.unread->push_back(folder);
  };
  DirectoryWalker::Result result = DirectoryWalker::walk(top, callbacks);
  updateWatchCount();
  return result;
}

void NEWFSEventWatcher::reportContents(const std::string& folder) {
  DirectoryWalker::Callbacks callbacks;
  callbacks.entry = [&](const DirectoryWalker::Entry& entry) {
    if (entry.type == DirectoryWalker::EntryType::kOther) return false;
    const bool isFolder = entry.type == DirectoryWalker::EntryType::kDirectory;
    emitCreated(entry.path, isFolder);
    return isFolder;
  };
  DirectoryWalker::walk(folder, callbacks);
}

void NEWFSEventWatcher::insertRecordToDBWithDirectoryContent(const std::string& folder) {
  std::vector<std::string> folders;
  std::vector<std::string> files;
  DirectoryWalker::Callbacks callbacks;
  callbacks.entry = [&](const DirectoryWalker::Entry& entry) {
    if (entry.type == DirectoryWalker::EntryType::kOther || dropped(entry.path)) return false;
    if (entry.type == DirectoryWalker::EntryType::kDirectory) {
      folders.push_back(entry.path);
      return true;
    }
    files.push_back(entry.path);
    return false;
  };
  DirectoryWalker::walk(std::string(capturepath::withoutTrailingSlash(folder)), callbacks);
  std::sort(folders.begin(), folders.end());  // parents before what they hold
  if (!folders.empty()) sink_.addDirectory(folders);
  if (!files.empty()) sink_.addBackupFiles(files);
}

// --- Watch limit and rescans ------------------------------------------------------

void NEWFSEventWatcher::noteUnwatched(const std::string& folder) {
  unwatched_.try_emplace(folder);
  setWatchLimitReached(true);
  if (!nextRescan_) nextRescan_ = now() + options_.rescanInterval;
}

void NEWFSEventWatcher::setWatchLimitReached(bool limited) {
  if (watchLimitReached_.exchange(limited) == limited) return;
  if (limited) {
    traceLine("watcher: the inotify watch limit is reached at " + std::to_string(tree_->size()) +
              " folders; the folders beyond it are compared with their last state every " +
              std::to_string(std::chrono::duration_cast<std::chrono::seconds>(options_.rescanInterval).count()) +
              " s (raise fs.inotify.max_user_watches to watch them all)");
  } else {
    traceLine("watcher: every folder of the sync folder is watched again");
  }
  if (options_.watchLimitChanged) options_.watchLimitChanged(limited);
}

void NEWFSEventWatcher::renameRegions(const std::string& from, const std::string& to) {
  std::vector<std::pair<std::string, Snapshot>> moved;
  for (auto it = unwatched_.begin(); it != unwatched_.end();) {
    if (capturepath::isSameOrBelow(it->first, from)) {
      moved.emplace_back(to + it->first.substr(from.size()), std::move(it->second));
      it = unwatched_.erase(it);
    } else {
      ++it;
    }
  }
  for (auto& [key, snapshot] : moved) unwatched_[key] = std::move(snapshot);
}

void NEWFSEventWatcher::dropRegionsUnder(const std::string& path) {
  if (unwatched_.empty()) return;
  std::erase_if(unwatched_, [&](const auto& region) {
    return capturepath::isSameOrBelow(region.first, path);
  });
  if (unwatched_.empty()) setWatchLimitReached(false);
}

void NEWFSEventWatcher::rescanUnwatched() {
  std::map<std::string, Snapshot> regions = std::move(unwatched_);
  unwatched_.clear();
  // A file set aside for the server's copy is missing until its download
  // writes it; that is not the user's delete.
  const std::function<bool(const std::string&)> downloadAwaited = downloadAwaitedCheck();
  const SyncRootPath root(options_.syncRoot);
  auto removedHere = [&](const std::string& path, bool isFolder) {
    if (!isFolder && downloadAwaited(root.relative(path))) return;
    emitRemoved(path, isFolder);
  };
  for (auto& [top, before] : regions) {
    if (!folderExists(top)) {
      // Its own delete came from its watched parent; what it held did not.
      for (auto it = before.rbegin(); it != before.rend(); ++it) {
        removedHere(top + it->first, it->second.isFolder);
      }
      continue;
    }
    Snapshot seen;
    WalkMode mode;
    mode.seen = &seen;
    walkAndWatch(top, mode);
    for (const auto& [relative, stamp] : seen) {
      auto old = before.find(relative);
      if (old == before.end()) {
        emitCreated(top + relative, stamp.isFolder);
      } else if (!stamp.isFolder && !(old->second == stamp)) {
        emitModified(top + relative);
      }
    }
    for (auto it = before.rbegin(); it != before.rend(); ++it) {
      if (!seen.count(it->first)) removedHere(top + it->first, it->second.isFolder);
    }
  }
  setWatchLimitReached(!unwatched_.empty());
  if (!unwatched_.empty()) nextRescan_ = now() + options_.rescanInterval;
}

NEWFSEventWatcher::WalkMode NEWFSEventWatcher::comparisonWalk(Snapshot& seen,
                                                             std::vector<std::string>& unread) {
  WalkMode mode;
  mode.reportNewFolders = true;
  mode.seen = &seen;
  mode.unread = &unread;
  return mode;
}

void NEWFSEventWatcher::rescanRoot(RescanKind kind) {
  const bool eventsLost = kind == RescanKind::kOverflow;
  if (rootMissing_ || !tree_->hasRoot()) {
    if (eventsLost) expireMoves(true);
    return;
  }
  // Every folder is tried again; the limit may have moved.
  unwatched_.clear();
  Snapshot seen;
  std::vector<std::string> unread;
  WalkMode mode = comparisonWalk(seen, unread);
  // A folder that came back is watched afresh, every folder in it for the
  // first time: that makes none of them new. Taken for new, each would hide
  // the deletes of what it held (the server has nothing below a new
  // folder); the comparison with the database tells what is new.
  if (kind == RescanKind::kRootBack) mode.reportNewFolders = false;
  // A folder new at a renamed folder's former name comes after the rename.
  std::vector<std::string> newFolders;
  if (eventsLost) mode.newFolders = &newFolders;
  tree_->takeRelinks();  // only what this walk finds
  tree_->beginSweep();
  const DirectoryWalker::Result walk = walkAndWatch(options_.syncRoot, mode);
  tree_->sweep();
  std::vector<std::pair<std::string, std::string>> renamed;  // relative
  if (eventsLost) {
    // A watched folder found under another name was renamed while events
    // were lost (its watch follows its inode). Handed on as removed and new,
    // it would have the server delete the folder with what other computers
    // put in it meanwhile; and what it holds would go up again.
    const SyncRootPath root(options_.syncRoot);
    for (InotifyWatchTree::Relink& relink : tree_->takeRelinks()) {
      traceLine("watcher: \"" + relink.from + "\" is found at \"" + relink.to + "\": handed on as renamed");
      std::erase_if(moves_, [&](const PendingMove& move) { return move.isFolder && move.path == relink.from; });
      emitRenamed(relink.from, relink.to, true);
      renamed.emplace_back(root.relative(relink.from), root.relative(relink.to));
    }
    // A folder whose move had no second half and that is where it was
    // (moved out and back) is judged by its contents.
    std::erase_if(moves_, [&](const PendingMove& move) { return move.isFolder && tree_->isWatched(move.path); });
    expireMoves(true);
    for (const std::string& folder : newFolders) emitCreated(folder, true);
  }
  // Lost events may have undone a removal still pending (the item put,
  // moved or copied back): only what is gone now is handed on as removed.
  coalescer_.withdrawRemovals(
      [](const std::string& path, bool isFolder) {
        struct stat st {};
        return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) == isFolder;
      },
      now());
  updateWatchCount();
  setWatchLimitReached(!unwatched_.empty());
  if (!unwatched_.empty() && !nextRescan_) nextRescan_ = now() + options_.rescanInterval;
  if (!walk.topReadable) {
    traceLine("watcher: the sync folder cannot be read; nothing is compared");
    return;
  }
  compareWithDatabase(seen, unread, kind, renamed);
}

void NEWFSEventWatcher::takeUpReadableFolder(const std::string& folder) {
  if (!folderExists(folder) || (!unwatched_.empty() && regionFor(folder) != unwatched_.end())) return;
  Snapshot seen;
  std::vector<std::string> unread;
  const WalkMode mode = comparisonWalk(seen, unread);
  const DirectoryWalker::Result walk = walkAndWatch(folder, mode);
  if (!walk.topReadable) return;  // still closed to us
  traceLine("watcher: \"" + folder + "\" can be read now; comparing it with the local database");
  // The comparison takes paths relative to the root, the walk gave them
  // relative to the folder.
  const std::string prefix = SyncRootPath(options_.syncRoot).relative(folder);
  Snapshot rooted;
  rooted[prefix] = Stamp{0, 0, true};
  for (auto& [relative, stamp] : seen) rooted[prefix + relative] = stamp;
  compareWithDatabase(rooted, unread, RescanKind::kFolderReadable);
}

void NEWFSEventWatcher::compareWithDatabase(const Snapshot& seen,
                                            const std::vector<std::string>& unread,
                                            RescanKind kind,
                                            const std::vector<std::pair<std::string, std::string>>& renamed) {
  const SyncRootPath root(options_.syncRoot);
  // Only a whole folder shows what is gone: a root that came back may be a
  // volume half mounted, a folder that became readable is not the root.
  const bool reportDeletes = kind == RescanKind::kRootBack ? rootBackSameFolder_ : kind != RescanKind::kFolderReadable;
  std::optional<std::vector<LocalFileRow>> rows;
  if (kind == RescanKind::kStart && options_.settleDatabase) options_.settleDatabase();
  if (options_.database) rows = options_.database->fileRows();
  // The rows of a folder renamed meanwhile are read at its new name, which
  // the rename handed on gives them.
  if (rows && !renamed.empty()) {
    for (LocalFileRow& row : *rows) {
      for (const auto& [from, to] : renamed) {
        if (capturepath::isSameOrBelow(row.path, from)) row.path = to + row.path.substr(from.size());
      }
    }
  }
  if (!rows && kind == RescanKind::kStart) {
    // Handing on the whole folder is the first scan's work, not a start's.
    traceLine("watcher: the local database cannot be read; the folder is not compared with it");
    return;
  }
  // A folder made meanwhile shows through its files; an empty one only
  // through itself.
  auto holdsNothing = [&seen](const std::string& folder) {
    auto below = seen.lower_bound(folder + "/");
    return below == seen.end() || !capturepath::isSameOrBelow(below->first, folder);
  };
  if (!rows) {
    // A new account's first sync has no database yet; an empty folder made
    // while its root was away (or just before, its event lost with the
    // watches) would otherwise stay on this computer only.
    traceLine("watcher: no local database to compare with; every file and empty folder found is handed on");
    for (const auto& [relative, stamp] : seen) {
      if (!stamp.isFolder)
        emitModified(root.full(relative));
      else if (!relative.empty() && holdsNothing(relative))
        emitCreated(root.full(relative), true);
    }
    return;
  }
  std::unordered_map<std::string_view, const LocalFileRow*> byPath;
  byPath.reserve(rows->size());
  for (const LocalFileRow& row : *rows) byPath.emplace(row.path, &row);
  // Files the database does not know, in a root that came back: some may be
  // files renamed while it was away or before it was watched again.
  std::vector<std::pair<std::string, Stamp>> unknown;

  for (const auto& [relative, stamp] : seen) {
    if (stamp.isFolder) {
      if (holdsNothing(relative) && !byPath.count(relative)) emitCreated(root.full(relative), true);
      continue;
    }
    auto it = byPath.find(relative);
    if (it == byPath.end() || it->second->isFolder) {
      if (kind == RescanKind::kRootBack)
        unknown.emplace_back(relative, stamp);
      else
        emitCreated(root.full(relative), false);
      continue;
    }
    const LocalFileRow& row = *it->second;
    const std::string date = recordedDate(stamp.mtimeNs);
    const bool sizeDiffers = row.size != std::to_string(stamp.size);
    const bool dateDiffers = row.modificationDate != "NA" && row.modificationDate != date;
    if (sizeDiffers || dateDiffers) emitModified(root.full(relative));
  }
  if (!unknown.empty()) handOnRenamedOrNew(unknown, *rows, seen, unread);
  // Whether the folder is empty is a question about the whole of it.
  const bool wholeRoot = kind != RescanKind::kFolderReadable;
  const bool holdsItems = holdsUserItems(seen, options_.ignoredNames);
  if (wholeRoot && rootFoundEmpty_ && holdsItems) {
    // The volume is back (or the user filled the folder again): what it
    // still lacks was never deleted by the user, so it is fetched again.
    rootFoundEmpty_ = false;
    std::vector<LocalFileRow> missing;
    // Rows still to download count too: nothing else fetches them now.
    for (const LocalFileRow* row : rowsGone(*rows, seen, unread, true))
      if (!row->isFolder) missing.push_back(*row);
    traceLine("watcher: the sync folder that was found empty holds items again; " + std::to_string(missing.size()) +
              " files it lacks are fetched again, none is deleted on the server");
    if (!missing.empty() && options_.fetchMissing) options_.fetchMissing(missing);
    // The rows are marked to download by now; their uploads wait for that.
    collections_.setRootFoundEmpty(false);
    return;
  }
  if (wholeRoot && !holdsItems && std::any_of(rows->begin(), rows->end(),
                                 [](const LocalFileRow& row) { return !row.pendingDownload; })) {
    // An empty folder where the database knows items is far more often a
    // volume not mounted, or a folder replaced, than a user who removed
    // everything: the server's copy is kept, and once the folder holds
    // items again what it lacks is fetched (lookForRefill).
    traceLine("watcher: the sync folder is empty but the local database lists items; nothing is "
              "deleted on the server");
    rootFoundEmpty_ = true;
    collections_.setRootFoundEmpty(true);
    if (!nextRescan_) nextRescan_ = now() + options_.rescanInterval;
    return;
  }
  if (!reportDeletes) {
    if (kind == RescanKind::kRootBack)
      traceLine("watcher: the sync folder came back; items missing from it are not deleted on the server");
    return;
  }
  std::vector<const LocalFileRow*> gone = rowsGone(*rows, seen, unread, false);
  // Deepest first, as a removal of a tree reports it.
  std::sort(gone.begin(), gone.end(),
            [](const LocalFileRow* a, const LocalFileRow* b) { return a->path > b->path; });
  for (const LocalFileRow* row : gone) {
    const bool renamed = std::any_of(renamedOnRootBack_.begin(), renamedOnRootBack_.end(), [&](const std::string& from) {
      return capturepath::isSameOrBelow(row->path, from);
    });
    if (!renamed) emitRemoved(root.full(row->path), row->isFolder);
  }
}

void NEWFSEventWatcher::handOnRenamedOrNew(const std::vector<std::pair<std::string, Stamp>>& unknown,
                                           const std::vector<LocalFileRow>& rows, const Snapshot& seen,
                                           const std::vector<std::string>& unread) {
  // What is gone is not deleted on the server here, but a file gone and a
  // file unknown to the database with its size and modification time are one
  // file renamed: handed on as new, it would leave the former name on the
  // server and on every other computer. Only a pair that nothing else could
  // match is taken for a rename.
  using Facts = std::pair<std::string, std::string>;  // size, date as recorded
  std::map<Facts, std::vector<const LocalFileRow*>> gone;
  for (const LocalFileRow* row : rowsGone(rows, seen, unread, false))
    if (!row->isFolder && row->modificationDate != "NA") gone[{row->size, row->modificationDate}].push_back(row);
  std::map<Facts, int> unknownCount;
  for (const auto& [relative, stamp] : unknown) ++unknownCount[{std::to_string(stamp.size), recordedDate(stamp.mtimeNs)}];
  const SyncRootPath root(options_.syncRoot);
  // The renamed file's former name, for each unknown name paired with one.
  std::map<std::string, std::string> formerOf;
  for (const auto& [relative, stamp] : unknown) {
    const Facts facts{std::to_string(stamp.size), recordedDate(stamp.mtimeNs)};
    auto match = gone.find(facts);
    if (match != gone.end() && match->second.size() == 1 && unknownCount[facts] == 1)
      formerOf[relative] = match->second.front()->path;
  }
  // Files handed on with the folder move they belong to.
  std::set<std::string> movedWithFolder;
  for (const auto& [folder, to] : folderMovesAmong(rows, seen, unread, formerOf)) {
    traceLine("watcher: the folder \"" + folder + "\" is gone and \"" + to +
              "\" holds all its files (same names, sizes and times): handed on as renamed");
    emitRenamed(root.full(folder), root.full(to), true);
    renamedOnRootBack_.push_back(folder);
    for (const auto& [relative, former] : formerOf)
      if (capturepath::isSameOrBelow(former, folder)) movedWithFolder.insert(relative);
  }
  for (const auto& [relative, stamp] : unknown) {
    if (movedWithFolder.count(relative)) continue;
    const Facts facts{std::to_string(stamp.size), recordedDate(stamp.mtimeNs)};
    auto match = gone.find(facts);
    if (match != gone.end() && match->second.size() == 1 && unknownCount[facts] == 1) {
      traceLine("watcher: \"" + match->second.front()->path + "\" is gone and \"" + relative +
                "\" holds it (same size and time): handed on as renamed");
      emitRenamed(root.full(match->second.front()->path), root.full(relative), false);
      renamedOnRootBack_.push_back(match->second.front()->path);
    } else {
      emitCreated(root.full(relative), false);
    }
  }
}

std::function<bool(const std::string& relativePath)> NEWFSEventWatcher::downloadAwaitedCheck() const {
  // The queued downloads are asked for once, and only when some item is missing.
  auto queued = std::make_shared<std::optional<std::unordered_set<std::string>>>();
  return [this, queued](const std::string& path) {
    if (collections_.isBeingRestored(path)) return true;
    if (!options_.downloadsQueued) return false;
    if (!*queued) {
      const SyncRootPath root(options_.syncRoot);
      queued->emplace();
      for (const std::string& p : options_.downloadsQueued()) {
        // Lists may name a path with or without its leading "/".
        std::string key(capturepath::withoutTrailingSlash(root.relative(p)));
        if (key.empty() || key.front() != '/') key.insert(key.begin(), '/');
        (*queued)->insert(std::move(key));
      }
    }
    return (*queued)->count(path) != 0;
  };
}

std::vector<std::pair<std::string, std::string>> NEWFSEventWatcher::folderMovesAmong(
    const std::vector<LocalFileRow>& rows, const Snapshot& seen, const std::vector<std::string>& unread,
    const std::map<std::string, std::string>& formerOf) const {
  // A folder moved while the sync folder was away shows as its files gone
  // and found again under another folder. Handed on file by file, the move
  // would leave the folder on the server with whatever another computer had
  // put in it meanwhile; as the folder's rename it takes that along. Only a
  // folder the database knows, gone, whose every known file is found under
  // one folder the database does not know, at the same place below it, is
  // taken for moved: a file removed meanwhile would otherwise come back
  // with the folder's move.
  const SyncRootPath root(options_.syncRoot);
  std::map<std::string, std::string> newOf;  // former name -> unknown name
  // Files the sync itself set aside (a conflict copy in the cache) left the
  // folder before it moved; they neither count for nor against its move.
  std::set<std::string> setAside;
  for (const auto& [relative, former] : formerOf) {
    if (capturepath::isSameOrBelow(relative, "/" + std::string(kCacheFolderName)) || dropped(root.full(relative)))
      setAside.insert(former);
    else
      newOf[former] = relative;
  }
  const auto bare = [](std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
  };
  std::set<std::string> known;
  for (const LocalFileRow& row : rows) known.insert(bare(row.path));
  std::vector<std::pair<std::string, std::string>> moves;
  std::vector<const LocalFileRow*> gone = rowsGone(rows, seen, unread, false);
  // Shallowest first: a folder moved whole carries the folders below it.
  std::sort(gone.begin(), gone.end(),
            [](const LocalFileRow* a, const LocalFileRow* b) { return a->path < b->path; });
  for (const LocalFileRow* folder : gone) {
    if (!folder->isFolder) continue;
    const std::string from = bare(folder->path);
    if (std::any_of(moves.begin(), moves.end(),
                    [&](const auto& move) { return capturepath::isSameOrBelow(from, move.first); }))
      continue;
    std::optional<std::string> to;
    bool whole = true;
    int files = 0;
    for (const LocalFileRow& row : rows) {
      if (row.isFolder || row.pendingDownload || !capturepath::isSameOrBelow(row.path, from) || row.path == from ||
          setAside.count(row.path))
        continue;
      auto found = newOf.find(row.path);
      const std::string tail = row.path.substr(from.size());
      if (found == newOf.end() || found->second.size() <= tail.size() ||
          found->second.compare(found->second.size() - tail.size(), tail.size(), tail) != 0) {
        whole = false;
        break;
      }
      const std::string place = found->second.substr(0, found->second.size() - tail.size());
      if ((to && *to != place) || place.empty()) {
        whole = false;
        break;
      }
      to = place;
      ++files;
    }
    if (!whole || files == 0 || !to || known.count(*to) || capturepath::isSameOrBelow(*to, from) ||
        capturepath::isSameOrBelow(from, *to))
      continue;
    moves.emplace_back(from, *to);
  }
  return moves;
}

std::vector<const LocalFileRow*> NEWFSEventWatcher::rowsGone(const std::vector<LocalFileRow>& rows,
                                                             const Snapshot& seen,
                                                             const std::vector<std::string>& unread,
                                                             bool withPendingDownloads) const {
  const SyncRootPath root(options_.syncRoot);
  std::vector<const LocalFileRow*> gone;
  const std::function<bool(const std::string&)> downloadAwaited = downloadAwaitedCheck();
  for (const LocalFileRow& row : rows) {
    if (seen.count(row.path) || (row.pendingDownload && !withPendingDownloads)) continue;
    if (!capturepath::staysInsideRoot(row.path)) {
      traceLine("watcher: a database row names \"" + row.path + "\", outside the sync folder; ignored");
      continue;
    }
    if (options_.isDeselected && options_.isDeselected(row.path)) continue;
    const std::string full = root.full(row.path);
    const bool underUnread = std::any_of(unread.begin(), unread.end(), [&](const std::string& f) {
      return capturepath::isSameOrBelow(full, f);
    });
    if (underUnread || fileutil::exists(full) || downloadAwaited(row.path)) continue;
    gone.push_back(&row);
  }
  return gone;
}

void NEWFSEventWatcher::lookForRefill() {
  std::optional<std::vector<std::string>> names = fileutil::listDirectory(options_.syncRoot);
  bool holds = false;
  for (const std::string& name : names.value_or(std::vector<std::string>{}))
    holds = holds || (name != kCacheFolderName && !options_.ignoredNames.count(name));
  if (!holds) {
    if (!nextRescan_) nextRescan_ = now() + options_.rescanInterval;
    return;
  }
  // A volume mounted over the folder is another folder than the one watched:
  // it is watched afresh, then compared.
  if (tree_->watchRoot(options_.syncRoot) != InotifyWatchTree::AddResult::kAdded) {
    rootLost("cannot be watched again");
    return;
  }
  rootIdentity_ = folderIdentity(options_.syncRoot);
  rescanRoot(RescanKind::kRootBack);
}

void NEWFSEventWatcher::updateWatchCount() { watchCount_ = tree_ ? tree_->size() : 0; }

}  // namespace ulmora
