// The writer thread: start, stop, restart, and the tick that drains the
// queues into journal files.
#include "foundation/QLBackupProgressLogger.h"
#include "journal/JournalFormat.h"
#include "journal/JournalReader.h"
#include "journal/RenameFollower.h"
#include "journal/SyncFilesController.h"
#include "journal/SyncFilesHost.h"

namespace ulmora {
namespace {


// Gives the writer thread its loop for as long as it runs, also when the
// body throws.
class CurrentLoopScope {
 public:
  explicit CurrentLoopScope(RunLoop& loop) { RunLoop::setCurrent(&loop); }
  ~CurrentLoopScope() { RunLoop::setCurrent(nullptr); }
  CurrentLoopScope(const CurrentLoopScope&) = delete;
  CurrentLoopScope& operator=(const CurrentLoopScope&) = delete;
};

}  // namespace

// ---------------------------------------------------------------- start and stop

void SyncFilesController::stopSyncFilesOperationWithReset(bool reset) {
  {
    // From a tick of the writer itself: the writer restarts (or ends) once
    // the tick returns; waiting for it here would wait for ourselves.
    MutexLock lock(threadMutex_);
    if (writerRunning_ && thread_.get_id() == std::this_thread::get_id()) {
      shouldReset_ = reset;
      cancelRequested_ = true;
      if (loopHandle_) loopHandle_->stop();
      return;
    }
  }
  MutexLock serial(startStopMutex_);
  std::thread ended;
  {
    MutexLock lock(threadMutex_);
    shouldReset_ = reset;
    if (writerRunning_) {
      cancelRequested_ = true;
      if (loopHandle_) loopHandle_->stop();
      return;
    }
    if (!reset) return;
    ended = std::move(thread_);
  }
  if (ended.joinable()) ended.join();
  prepareForStart();
  startWriter();
}

void SyncFilesController::setSyncFiles() { stopSyncFilesOperationWithReset(true); }

bool SyncFilesController::syncFCThread() const {
  MutexLock lock(threadMutex_);
  return writerRunning_;
}

void SyncFilesController::prepareForStart() {
  backupFilesCollection_.with([](auto& q) { q.clear(); });
  restoreFilesCollection_.with([](auto& q) { q.clear(); });
  notificationRequested_.with([](bool& r) { r = false; });
  clearSyncFiles();
  createSyncFilesDir();
}

void SyncFilesController::startWriter() {
  MutexLock lock(threadMutex_);
  if (writerRunning_) return;
  writerRunning_ = true;
  cancelRequested_ = false;
  thread_ = std::thread([this] { writerMain(); });
}

void SyncFilesController::writerMain() {
  try {
    RunLoop loop(clock_);
    CurrentLoopScope current(loop);
    {
      MutexLock lock(threadMutex_);
      loopHandle_ = loop.handle();
      // A stop that came before the loop existed still ends the first slice.
      if (cancelRequested_) loop.stop();
    }
    for (;;) {
      daemonTrace("SyncInput thraed created for Console : " + consoleUser_);
      auto timer = loop.scheduleTimer(kTickInterval, true, [this](RunLoopTimer&) { timerFireMethod(); });
      while (!cancelRequested_) loop.runFor(kRunLoopSlice);
      timer->invalidate();
      daemonTrace("SyncInput thraed terminated for Console : " + consoleUser_);
      {
        MutexLock lock(threadMutex_);
        if (!shouldReset_) {
          writerRunning_ = false;
          loopHandle_.reset();
          return;
        }
        cancelRequested_ = false;
      }
      prepareForStart();
    }
  } catch (const std::exception& e) {
    daemonTrace(std::string("SyncFilesController: writer thread ended: ") + e.what());
  } catch (...) {
    daemonTrace("SyncFilesController: writer thread ended");
  }
  MutexLock lock(threadMutex_);
  writerRunning_ = false;
  loopHandle_.reset();
}

// ---------------------------------------------------------------- the tick

void SyncFilesController::timerFireMethod() {
  MutexLock tick(tickMutex_);
  try {
    if (!journalFoldersReady()) return;
    tickEvents();
    tickBackups();
    tickRestores(restoreFilesCollection_, journal::kDownloadFolder);
    writeFilesEntryAtPath(journal::kCodeCreateFolder);
    tickMarker();
    writeFilesEntryAtPath(journal::kCodeOBUpload);
    writeFilesEntryAtPath(journal::kCodeOBDelete);
    tickOBRenames();
    writeFilesEntryAtPath(journal::kCodeOBCreateFolder);
    tickRestores(OBrestoreFilesCollection_, journal::kOBDownloadFolder);
  } catch (const std::exception& e) {
    daemonTrace(std::string("SyncFilesController: tick failed: ") + e.what());
  } catch (...) {
    daemonTrace("SyncFilesController: tick failed");
  }
}

void SyncFilesController::tickEvents() {
  if (mEventsListArray_.with([](EventList& l) { return l.empty(); })) return;
  if (!syncRoot().known()) {
    if (!rootUnknownTraced_.exchange(true))
      daemonTrace("SyncFilesController: sync root unknown, events and uploads kept queued");
    return;
  }
  rootUnknownTraced_ = false;
  const SyncRootPath root = syncRoot();
  EventList events = withCarriableRenames(
      root, mEventsListArray_.with([](EventList& l) { return std::exchange(l, {}); }));
  uploadRenamedListEntries(root, events);

  // Runs of one kind, in arrival order: delete, rename, delete give three
  // files in that order. The first run that cannot be written goes back
  // with everything after it, so the order survives the retry.
  EventList unwritten;
  for (std::size_t begin = 0; begin < events.size();) {
    std::size_t end = begin + 1;
    while (end < events.size() && events[end].kind == events[begin].kind) ++end;
    EventList run(events.begin() + static_cast<std::ptrdiff_t>(begin),
                  events.begin() + static_cast<std::ptrdiff_t>(end));
    int code = events[begin].kind == JournalEvent::Kind::kDelete ? 2 : 3;
    unwritten = writeFilesEntryAtGeneralPathWithArray(run, code);
    if (!unwritten.empty()) {
      unwritten.insert(unwritten.end(), events.begin() + static_cast<std::ptrdiff_t>(end),
                       events.end());
      break;
    }
    begin = end;
  }
  if (unwritten.empty()) return;
  daemonTrace("SyncFilesController: " + std::to_string(unwritten.size()) +
              " events not written, queued again");
  mEventsListArray_.with([&unwritten](EventList& l) {
    unwritten.insert(unwritten.end(), std::make_move_iterator(l.begin()),
                     std::make_move_iterator(l.end()));
    l = std::move(unwritten);
  });
}

void SyncFilesController::uploadRenamedListEntries(const SyncRootPath& root,
                                                   const EventList& events) {
  // An upload list already written names the item by its old path, which
  // the upload will not find; the item goes into the next list under the
  // path it has now.
  std::vector<RenameEntry> renames;
  for (const auto& event : events) {
    if (event.kind == JournalEvent::Kind::kRename)
      renames.push_back({root.relative(event.rename.originalPath),
                         root.relative(event.rename.renamedPath)});
  }
  if (renames.empty()) return;
  const RenameFollower follower(renames);
  if (follower.empty()) return;
  std::vector<std::string> moved;
  for (const auto& entry : JournalReader::peekTextLines(folder(journal::kUploadFolder)))
    if (auto now = follower.follow(entry)) moved.push_back(root.full(*now));
  if (moved.empty()) return;
  daemonTrace("SyncFilesController: " + std::to_string(moved.size()) +
              " items of upload lists not yet read were renamed; queued under their new paths");
  addBackupFiles(moved);
}

void SyncFilesController::tickBackups() {
  if (backupFilesCollection_.with([](auto& q) { return q.empty(); })) {
    // Nothing written this tick, so nothing newly gone: the older record ages.
    goneUploads_.with([](GoneUploads& g) { g.previous = std::exchange(g.current, {}); });
    return;
  }
  SyncRootPath root = syncRoot();
  // The Finder hears about uploads only while it is connected to this
  // account; the entries are announced before they are filtered.
  if (root.known() && host_ && host_->finderMessenger()) {
    auto pending = backupFilesCollection_.with([](auto& q) { return q.items(); });
    std::vector<std::string> full;
    full.reserve(pending.size());
    for (const auto& p : pending) full.push_back(root.full(p));
    daemonTrace("Insync sending message to finder writing to downloads commented5.");
    postNotSynced(full);
  }
  writeFilesEntryAtPath(journal::kCodeUpload);
}

void SyncFilesController::tickRestores(Guarded<OrderedDict>& queue, int folderIndex) {
  auto entries = queue.with([](OrderedDict& q) { return q.take(); });
  if (entries.empty()) return;
  if (folderIndex == journal::kDownloadFolder) daemonTrace("restoreFilesCollection having data");
  auto unwritten = WriteRestoreFilesEntry(entries, folderPath(folderIndex));
  if (unwritten.empty()) return;
  daemonTrace("SyncFilesController: " + std::to_string(unwritten.size()) +
              " download entries not written, queued again");
  queue.with([&unwritten](OrderedDict& q) { q.putBack(std::move(unwritten)); });
}

void SyncFilesController::tickMarker() {
  bool requested = notificationRequested_.with([](bool& r) { return std::exchange(r, false); });
  if (!requested) return;
  if (writer_.writeMarker(folder(journal::kServerChangeFolder))) return;
  daemonTrace("SyncFilesController: server-change marker not written, requested again");
  notificationRequested_.with([](bool& r) { r = true; });
}

void SyncFilesController::tickOBRenames() {
  auto entries = OBRenameFilesCollection_.with([](auto& q) { return q.take(); });
  if (entries.empty()) return;
  daemonTrace("OBRenameFilesCollection:" + describeRenames(entries, true));
  // Out-of-Box rename lists are named by their stamp alone.
  auto result = writer_.writeRenameList(folder(journal::kOBRenameFolder), entries, {});
  if (result.unwritten.empty()) return;
  daemonTrace("SyncFilesController: " + std::to_string(result.unwritten.size()) +
              " Out-of-Box renames not written, queued again");
  OBRenameFilesCollection_.with(
      [&result](auto& q) { q.putBack(std::move(result.unwritten)); });
}

}  // namespace ulmora
