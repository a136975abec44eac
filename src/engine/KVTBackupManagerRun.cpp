#include "engine/KVTBackupManagerRun.h"

#include <sys/stat.h>

#include <algorithm>
#include <exception>
#include <string_view>
#include <utility>

#include "engine/EngineCommandLine.h"
#include "engine/EngineProcessRecord.h"
#include "engine/EngineSetFiles.h"
#include "engine/QLSYNCParser.h"
#include "platform/FileUtil.h"
#include "platform/Trace.h"

namespace ulmora {

namespace {

using P = QLSYNCParser;
using K = KVTProgressRecord;

// Engine exit statuses (docs/engine.md, "Exit statuses").
constexpr int kExitOk = 0;
constexpr int kExitAuthRefused = 5;
constexpr int kExitConnectFailed = 10;
constexpr int kExitConnectionLost = 12;
constexpr int kExitCancelled = 20;
constexpr int kExitPartial = 23;
constexpr int kExitOverQuota = 40;
constexpr int kExitMaintenance = 41;
constexpr int kExitBlocked = 42;
constexpr int kExitAccountCancelled = 43;

// Enough unparsed lines to see what went wrong without flooding the trace.
constexpr int64_t kUnparsedTraceLimit = 20;
constexpr Clock::Duration kHeldRecheck = std::chrono::hours(1);

bool isFullMode(std::string_view m) { return m == K::kFullBackup || m == K::kFullRestore; }
bool isIncrementalMode(std::string_view m) {
  return m == K::kIncrementalBackup || m == K::kIncrementalRestore;
}

std::string lastLine(const std::string& text) {
  size_t end = text.find_last_not_of("\n ");
  if (end == std::string::npos) return {};
  size_t start = text.rfind('\n', end);
  return text.substr(start == std::string::npos ? 0 : start + 1, end + 1 - (start == std::string::npos ? 0 : start + 1));
}

}  // namespace

KVTBackupManager::Run::Run(KVTBackupManager& manager, Clock& clock, uint64_t generation, RunPlan plan)
    : manager_(manager), clock_(clock), generation_(generation), plan_(std::move(plan)) {}

KVTBackupManager::Run::~Run() = default;

template <typename F>
void KVTBackupManager::Run::call(F&& f) {
  if (shutdown_ || plan_.delegate == nullptr) return;
  try {
    f(*plan_.delegate);
  } catch (const std::exception& e) {
    traceLine(std::string("KVTBackupManager: delegate call threw: ") + e.what());
  }
}

// --- the run's thread -----------------------------------------------------------

void KVTBackupManager::Run::execute() {
  threadId_ = std::this_thread::get_id();
  Entries entries{plan_.entries, plan_.splitPoint};
  if (plan_.repeatedSet) {
    const std::vector<std::string> before = plan_.restore ? localStamps() : std::vector<std::string>{};
    waitRepeatedSet();
    if (plan_.restore) entries = entriesStillWanted(before);
  }
  call([this](auto& d) { d.operationDidStart(manager_); });
  std::string error;
  bool ran = false;
  if (!stopRequested()) {
    if (prepare(error, entries)) {
      ran = true;
      for (Slot& s : slots_) {
        if (!s.entries.empty() && !launch(s, "set" + std::to_string(s.number))) break;
      }
      loop();
    }
  }
  {
    MutexLock lock(mu_);
    endingDecided_ = true;
  }
  Outcome outcome;
  if (ran || stopRequested()) {
    outcome = decide();
  } else {
    outcome = {Ending::kFailure, error, 0};
  }
  releaseWorkers();
  credentials_.reset();
  awaitCancelCleanup();
  finish(outcome);
}

// The ending tells the delegate the run is over; after CancelBackupProcess
// that includes its clean-up, so the ending waits for it.
void KVTBackupManager::Run::awaitCancelCleanup() {
  UniqueMutexLock lock(mu_);
  clock_.waitUntil(lock.native(), cv_, clock_.monotonicNow() + kCancelWaitLimit, [this]() ULMORA_REQUIRES(mu_) { return !cleanupPending_; });
}

bool KVTBackupManager::Run::stopRequestedLocked() const {
  return canceledByProcess_ || shutdown_ || manager_.cancelRequested_;
}

bool KVTBackupManager::Run::stopRequested() const {
  MutexLock lock(mu_);
  return stopRequestedLocked();
}

// The same set again usually means the last run could not finish it: give
// the cause (a file still being written, a server hiccup) a minute to pass.
void KVTBackupManager::Run::waitRepeatedSet() {
  traceLine("KVTBackupManager: same set as the last run; waiting before it starts");
  UniqueMutexLock lock(mu_);
  clock_.waitUntil(lock.native(), cv_, clock_.monotonicNow() + KVTBackupManager::kRepeatedSetWait,
                   [this]() ULMORA_REQUIRES(mu_) { return stopRequestedLocked(); });
}

std::vector<std::string> KVTBackupManager::Run::localStamps() const {
  std::vector<std::string> stamps;
  stamps.reserve(plan_.entries.size());
  for (const std::string& entry : plan_.entries) {
    struct stat st {};
    const std::string full = fileutil::joinPath(plan_.localRoot, entry);
    stamps.push_back(::lstat(full.c_str(), &st) != 0
                         ? std::string()
                         : std::to_string(st.st_mode & S_IFMT) + ":" + std::to_string(st.st_size) + ":" +
                               std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec));
  }
  return stamps;
}

KVTBackupManager::Run::Entries KVTBackupManager::Run::entriesStillWanted(
    const std::vector<std::string>& before) const {
  const std::vector<std::string> now = localStamps();
  Entries kept;
  for (size_t i = 0; i < plan_.entries.size(); ++i) {
    if (i < before.size() && before[i] != now[i]) {
      traceLine("KVTBackupManager: " + plan_.entries[i] +
                " changed here while the set waited; it is not downloaded over");
      continue;
    }
    if (static_cast<int64_t>(i) < plan_.splitPoint) ++kept.splitPoint;
    kept.paths.push_back(plan_.entries[i]);
  }
  return kept;
}

bool KVTBackupManager::Run::prepare(std::string& error, const Entries& wanted) {
  if (plan_.executor.empty() || plan_.localRoot.empty() || plan_.workFolder.empty()) {
    error = "umkvt error: the engine run is not configured (engine, local folder or work folder missing)";
    return false;
  }
  if (!fileutil::isDirectory(plan_.workFolder) && !fileutil::makeDirectories(plan_.workFolder)) {
    error = "umkvt error: cannot create the work folder " + plan_.workFolder;
    return false;
  }
  credentials_ = EngineCredentials::writeInto(plan_.workFolder, plan_.user);
  if (!credentials_) {
    error = "umkvt error: cannot write the credential files";
    return false;
  }
  const std::vector<std::string>& entries = wanted.paths;
  if (plan_.restore) {
    if (!plan_.entryListFile.empty()) {
      fileutil::makeDirectories(fileutil::parentPath(plan_.entryListFile));
      fileutil::writeFileAtomically(plan_.entryListFile, engineset::joinLines(entries));
    }
  } else {
    manager_.writeBackupsetObjectsToFile(entries);
  }
  size_t split = 0;
  if (plan_.restore) {
    split = static_cast<size_t>(std::clamp<int64_t>(wanted.splitPoint, 0, static_cast<int64_t>(entries.size())));
  } else if (entries.size() > engineset::kMaxPathsPerSetFile) {
    // Two engines at once keep the link busy while each waits on its server.
    split = (entries.size() + 1) / 2;
  }
  std::vector<Slot> slots(2);
  slots[0].number = 1;
  slots[0].entries.assign(entries.begin(), entries.begin() + static_cast<std::ptrdiff_t>(split));
  slots[1].number = 2;
  slots[1].entries.assign(entries.begin() + static_cast<std::ptrdiff_t>(split), entries.end());
  if (!plan_.restore && split == 0) std::swap(slots[0].entries, slots[1].entries);
  // A cancel or shutdown on another thread walks the slots under mu_.
  MutexLock lock(mu_);
  slots_ = std::move(slots);
  return true;
}

bool KVTBackupManager::Run::launch(Slot& slot, const std::string& setStem) {
  std::optional<std::string> rootLine;
  if (!plan_.mirror) rootLine = plan_.localRoot;
  std::optional<std::vector<std::string>> setFiles =
      engineset::writeSetFiles(plan_.workFolder, setStem, slot.entries, rootLine);
  ProcessOptions o;
  o.executable = plan_.executor;
  o.argv0 = plan_.executor;
  o.arguments = EngineCommandLine::commonOptions(plan_.user, *plan_.proxy, *credentials_, plan_.workFolder);
  if (setFiles) {
    for (const std::string& f : *setFiles) o.arguments.push_back("--files-from=" + f);
  }
  if (plan_.mirror) o.arguments.emplace_back("--mirror");
  if (!plan_.restore && !plan_.seen.empty()) {
    std::string lines = engineset::seenVersionLines(slot.entries, plan_.seen);
    std::string file = fileutil::joinPath(plan_.workFolder, setStem + "_seen");
    if (!lines.empty()) {
      // Without the file the upload would replace whatever the server holds.
      if (!fileutil::writeFileAtomically(file, lines, fileutil::kOwnerOnlyFile)) setFiles.reset();
      o.arguments.push_back("--seen-versions=" + file);
    }
  }
  if (plan_.restore) {
    o.arguments.push_back(EngineCommandLine::remoteAddress(plan_.user, "/"));
    o.arguments.push_back(plan_.localRoot);
  } else {
    o.arguments.push_back(plan_.localRoot);
    o.arguments.push_back(EngineCommandLine::remoteAddress(plan_.user, plan_.destination));
  }
  o.environment = credentials_->environment(plan_.proxy->proxyPassword());
  if (!setFiles || setFiles->empty()) {
    // Nothing the engine could be given: report it as the slot's failure.
    traceLine("KVTBackupManager: cannot write the set files into " + plan_.workFolder);
    slot.result = ProcessResult();
    slot.fatal = "umkvt error: cannot write the set files";
    return false;
  }
  std::string status;
  if (plan_.restore && static_cast<size_t>(slot.number - 1) < plan_.restoreStatusFiles.size()) {
    status = plan_.restoreStatusFiles[static_cast<size_t>(slot.number - 1)];
  }
  auto worker = std::make_unique<EngineWorker>(
      slot.number, std::move(o), std::move(status), plan_.localRoot, [this](EngineWorker::Event&& e) {
        MutexLock lock(mu_);
        if (e.type == EngineWorker::Event::Type::kExited) --liveWorkers_;
        events_.push_back(std::move(e));
        cv_.notify_all();
      });
  worker->setProcessRecordPath(EngineProcessRecord::pathFor(plan_.workFolder, slot.number));
  std::unique_ptr<EngineWorker> old;
  {
    MutexLock lock(mu_);
    if (stopRequestedLocked()) return false;
    old = std::move(slot.worker);
    slot.worker = std::move(worker);
    slot.live = true;
    ++liveWorkers_;
    slot.worker->start();
  }
  if (old) retired_.push_back(std::move(old));
  return true;
}

void KVTBackupManager::Run::loop() {
  Clock::TimePoint lastActivity = clock_.monotonicNow();
  while (!allSlotsDone()) {
    std::deque<EngineWorker::Event> batch;
    std::optional<Clock::TimePoint> killAt;
    {
      UniqueMutexLock lock(mu_);
      Clock::TimePoint deadline =
          anyHeld() ? clock_.monotonicNow() + kHeldRecheck : lastActivity + plan_.noProgressTimeout;
      if (killAt_) deadline = std::min(deadline, *killAt_);
      clock_.waitUntil(lock.native(), cv_, deadline, [this]() ULMORA_REQUIRES(mu_) { return !events_.empty() || kicked_; });
      kicked_ = false;
      batch.swap(events_);
      killAt = killAt_;
    }
    Clock::TimePoint now = clock_.monotonicNow();
    if (!batch.empty()) lastActivity = now;
    // Each line is let go once handled: a first sync's run handles tens of
    // thousands of them.
    for (; !batch.empty(); batch.pop_front()) dispatch(batch.front());
    if (killAt && now >= *killAt) {
      MutexLock lock(mu_);
      killAt_.reset();
      signalAll(/*kill=*/true);
    }
    if (!timedOut_ && !anyHeld() && !allSlotsDone() && now - lastActivity >= plan_.noProgressTimeout) {
      onNoProgress();
    }
  }
}

bool KVTBackupManager::Run::allSlotsDone() const {
  return std::none_of(slots_.begin(), slots_.end(), [](const Slot& s) { return s.live; });
}

bool KVTBackupManager::Run::anyHeld() const {
  return std::any_of(slots_.begin(), slots_.end(), [](const Slot& s) { return s.live && s.held; });
}

// mu_ held.
void KVTBackupManager::Run::signalAll(bool kill) {
  for (Slot& s : slots_) {
    if (!s.worker) continue;
    if (kill) {
      s.worker->kill();
    } else {
      s.worker->terminate();
    }
  }
}

void KVTBackupManager::Run::onNoProgress() {
  timedOut_ = true;
  traceLine("KVTBackupManager: the engines made no progress within the time-out; stopping them");
  MutexLock lock(mu_);
  signalAll(/*kill=*/true);
}

void KVTBackupManager::Run::dispatch(EngineWorker::Event& e) {
  Slot& slot = slots_[static_cast<size_t>(e.slot - 1)];
  switch (e.type) {
    case EngineWorker::Event::Type::kUnparsed: {
      ++unparsed_;
      if (unparsed_ <= kUnparsedTraceLimit) traceLine("KVTBackupManager: engine line not understood: " + e.line);
      MutexLock lock(manager_.mutex_);
      ++manager_.summary_.unparsedLines;
      return;
    }
    case EngineWorker::Event::Type::kExited:
      onExited(slot, e);
      return;
    case EngineWorker::Event::Type::kLine:
      break;
  }
  // The worker parsed this line before; it reads the same again.
  if (QLSYNCParser::ParseLineStr(e.line, line_, QLSYNCParser::kTransfer) != QLSYNCParser::kOk) return;
  const EngineLineRecord& r = line_;
  const std::string& kind = r.kind();
  if (kind == "PROGRESS") {
    onProgress(slot, r);
  } else if (kind == "IOERROR" || kind == "SFERROR") {
    onItemError(slot, r);
  } else if (kind == "START") {
    onStart(slot, r);
  } else if (kind == "HOLD") {
    slot.held = r.number(P::kHoldKey) == 1;
    held_ = anyHeld();
  } else if (kind == "FATAL") {
    slot.fatal = r.text(P::kErrorKey);
  } else if (kind == "SUMMARY") {
    traceLine("KVTBackupManager: engine " + std::to_string(slot.number) + " summary: status " +
              r.text(P::kStatusKey) + ", transferred " + r.text(P::kTransferredKey) + ", in sync " +
              r.text(P::kInSyncKey) + ", failed " + r.text(P::kFailedKey));
  }
}

void KVTBackupManager::Run::onStart(Slot& slot, const EngineLineRecord& r) {
  slot.total = r.number(P::kTotalFilesKey);
  slot.totalBytes = r.number(P::kTotalBytesKey);
  slot.sawStart = true;
  if (!plan_.restore || fileListReported_) return;
  bool all = std::all_of(slots_.begin(), slots_.end(),
                         [](const Slot& s) { return s.entries.empty() || s.sawStart; });
  if (!all) return;
  fileListReported_ = true;
  call([this](auto& d) { d.operationDidFinishFileListGeneration(manager_); });
}

void KVTBackupManager::Run::onProgress(Slot& slot, const EngineLineRecord& r) {
  slot.done = r.number(K::kBackedUpFileCountKey);
  slot.total = r.number(K::kTotalFileCountKey);
  slot.transferred = r.number(K::kTotalTransferedSizeKey);
  slot.totalBytes = r.number(K::kTotalBackupSizeKey);
  slot.pending = r.number(K::kRestorePendingSizeKey);
  KVTProgressRecord rec;
  rec.filename = r.text(K::kFileNameKey);
  rec.filesize = r.text(K::kFileSizeKey);
  rec.transferMode = r.text(K::kTransferModeKey);
  rec.fileTransferedStatus = r.text(K::kStatusKey);
  rec.speed = r.text(K::kSpeedKey);
  for (const Slot& s : slots_) {
    rec.totalFileCount += s.doneBase + s.total;
    rec.backedUpFileCount += s.doneBase + s.done;
    rec.totalTransferedSize += s.bytesBase + s.transferred;
    rec.totalBackupSize += s.bytesBase + s.totalBytes;
    rec.restorePendingSize += s.pending;
  }
  if (!plan_.restore) rec.restorePendingSize = 0;
  slot.ended.insert(rec.filename);
  if (rec.isDone()) {
    MutexLock lock(manager_.mutex_);
    Summary& sum = manager_.summary_;
    if (isFullMode(rec.transferMode)) {
      ++sum.success;
      sum.lastFull = rec.filename;
    } else if (isIncrementalMode(rec.transferMode)) {
      ++sum.success;
      ++sum.incremental;
      sum.lastIncremental = rec.filename;
    } else if (rec.transferMode == K::kSyncFile) {
      ++sum.inSync;
    }
  }
  call([&](auto& d) { d.operationDidReceiveData(rec, manager_); });
}

void KVTBackupManager::Run::onItemError(Slot& slot, const EngineLineRecord& r) {
  const std::string& path = r.text(P::kPathKey);
  const std::string& message = r.text(P::kMessageKey);
  slot.ended.insert(path);
  {
    MutexLock lock(manager_.mutex_);
    ++manager_.summary_.failedFiles;
    ++manager_.summary_.failCount;
  }
  call([&](auto& d) { d.operationDidReceiveErrors(message, path, manager_); });
  call([&](auto& d) { d.removeSfErrorFileFromDb(path, manager_); });
}

void KVTBackupManager::Run::onExited(Slot& slot, EngineWorker::Event& e) {
  slot.live = false;
  slot.held = false;
  held_ = anyHeld();
  slot.result = std::move(e.result);
  slot.errorText = std::move(e.errorText);
  if (!slot.result->started || slot.result->exitStatus != kExitConnectionLost) return;
  std::vector<std::string> remaining;
  for (const std::string& p : slot.entries) {
    if (slot.ended.count(p) == 0) remaining.push_back(p);
  }
  if (remaining.empty()) {
    // The connection went after the last file: nothing is missing.
    slot.result->exitStatus = kExitOk;
    return;
  }
  if (timedOut_ || stopRequested() || slot.retries >= KVTBackupManager::kMaxRetries) return;
  ++slot.retries;
  traceLine("KVTBackupManager: engine " + std::to_string(slot.number) +
            " lost its connection; retrying the entries it had not finished");
  slot.doneBase += slot.done;
  slot.bytesBase += slot.transferred;
  slot.done = slot.transferred = slot.total = slot.totalBytes = slot.pending = 0;
  slot.entries = std::move(remaining);
  slot.fatal.clear();
  slot.errorText.clear();
  call([this](auto& d) { d.operationStartedRetrying(manager_); });
  if (plan_.restore) call([this](auto& d) { d.restoreRestarted(manager_); });
  launch(slot, "retry" + std::to_string(slot.number) + "_" + std::to_string(slot.retries));
}

// --- the ending --------------------------------------------------------------------

KVTBackupManager::Run::Outcome KVTBackupManager::Run::slotOutcome(const Slot& slot) const {
  const ProcessResult& r = *slot.result;
  std::string text = !slot.fatal.empty() ? slot.fatal : lastLine(slot.errorText);
  if (!r.started) {
    return {Ending::kFailure, !text.empty() ? text : "umkvt error: cannot start the engine: " + r.err, 0};
  }
  if (r.termSignal != 0) {
    return {Ending::kFailure, "umkvt error: the engine ended on signal " + std::to_string(r.termSignal), 0};
  }
  auto failure = [&](int32_t code) {
    if (text.empty()) text = "umkvt error: the engine failed with status " + std::to_string(r.exitStatus);
    return Outcome{Ending::kFailure, text, code};
  };
  switch (r.exitStatus) {
    case kExitOk: return {};
    case kExitCancelled: return {Ending::kCancel, {}, 0};
    case kExitOverQuota: return {Ending::kOverQuota, text, 0};
    case kExitMaintenance: return failure(KVTBackupManager::kErrorUnderMaintenance);
    case kExitBlocked: return failure(KVTBackupManager::kErrorAccountBlocked);
    case kExitAccountCancelled: return failure(KVTBackupManager::kErrorAccountCancelled);
    case kExitAuthRefused:
      return failure(text.find("auth failed on module quellar") != std::string::npos
                         ? KVTBackupManager::kErrorUnderMaintenance
                         : 0);
    case kExitPartial: {
      Outcome o = failure(0);
      o.partial = true;
      return o;
    }
    default: return failure(0);
  }
}

// Several engines may end differently; the ending that asks most of the
// delegate wins: cancel, over quota, an account state, any other failure,
// files left behind, success.
KVTBackupManager::Run::Outcome KVTBackupManager::Run::decide() {
  bool anyResult = std::any_of(slots_.begin(), slots_.end(), [](const Slot& s) { return s.result.has_value(); });
  {
    MutexLock lock(mu_);
    if (canceledByProcess_ || shutdown_) return {Ending::kCancel, {}, 0};
    if (!anyResult && stopRequestedLocked()) return {Ending::kCancel, {}, 0};
  }
  bool terminated = false;
  {
    MutexLock lock(mu_);
    terminated = terminated_;
  }
  std::vector<Outcome> outcomes;
  for (const Slot& s : slots_) {
    if (!s.result) continue;
    // An engine we stopped ourselves was cancelled, however it went.
    if (terminated && s.result->termSignal != 0) return {Ending::kCancel, {}, 0};
    outcomes.push_back(slotOutcome(s));
    if (s.result->started && s.result->exitStatus == kExitConnectFailed && !connectReported_) {
      connectReported_ = true;
      call([this](auto& d) { d.makeScriptCallForObject(manager_); });
    }
  }
  auto pick = [&](auto pred) -> const Outcome* {
    for (const Outcome& o : outcomes) {
      if (pred(o)) return &o;
    }
    return nullptr;
  };
  if (auto o = pick([](const Outcome& o) { return o.ending == Ending::kCancel; })) return *o;
  if (timedOut_) {
    auto secs = std::chrono::duration_cast<std::chrono::seconds>(plan_.noProgressTimeout).count();
    return {Ending::kFailure, "umkvt error: timeout: the engine made no progress for " + std::to_string(secs) + " s",
            0};
  }
  if (auto o = pick([](const Outcome& o) { return o.ending == Ending::kOverQuota; })) return *o;
  if (auto o = pick([](const Outcome& o) { return o.errorCode != 0; })) return *o;
  if (auto o = pick([](const Outcome& o) { return o.ending == Ending::kFailure && !o.partial; })) return *o;
  if (pick([](const Outcome& o) { return o.partial; })) {
    int32_t failed = 0;
    {
      MutexLock lock(manager_.mutex_);
      failed = manager_.summary_.failedFiles;
    }
    // A run that left files behind is not a success: the caller must not take
    // the set as synced (nor move the listing index past it).
    return {Ending::kFailure, "Some files were not transferred (" + std::to_string(failed) + " failed)", 0};
  }
  return {};
}

void KVTBackupManager::Run::finish(const Outcome& outcome) {
  {
    MutexLock lock(manager_.mutex_);
    manager_.summary_.canceled = outcome.ending == Ending::kCancel;
    manager_.summary_.errorCode = outcome.errorCode;
  }
  if (unparsed_ > kUnparsedTraceLimit) {
    traceLine("KVTBackupManager: " + std::to_string(unparsed_) + " engine lines were not understood");
  }
  switch (outcome.ending) {
    case Ending::kSuccess:
      call([this](auto& d) { d.operationDidFinishSuccessfully(manager_); });
      break;
    case Ending::kFailure:
      traceLine("KVTBackupManager: run failed: " + outcome.error);
      call([&](auto& d) { d.operationDidFailWithError(outcome.error, manager_); });
      break;
    case Ending::kOverQuota:
      call([this](auto& d) { d.operationDidFailWithOverQuota(manager_); });
      break;
    case Ending::kCancel:
      call([this](auto& d) { d.operationDidCancel(manager_); });
      break;
  }
  bool sendCanceld = false;
  {
    MutexLock lock(mu_);
    sendCanceld = deferredCanceld_;
    finished_ = true;
    cv_.notify_all();
  }
  if (sendCanceld) call([this](auto& d) { d.operationCanceld(manager_); });
  MutexLock lock(manager_.mutex_);
  if (manager_.generation_ == generation_) {
    manager_.running_ = false;
    manager_.activeRun_.reset();
  }
}

void KVTBackupManager::Run::releaseWorkers() {
  std::vector<std::unique_ptr<EngineWorker>> workers = std::move(retired_);
  {
    MutexLock lock(mu_);
    for (Slot& s : slots_) {
      if (s.worker) workers.push_back(std::move(s.worker));
    }
  }
  workers.clear();  // joins each worker's thread; every one has exited by now
}

// --- other threads -------------------------------------------------------------------

void KVTBackupManager::Run::wake() {
  MutexLock lock(mu_);
  kicked_ = true;
  cv_.notify_all();
}

bool KVTBackupManager::Run::enginesLaunched() const {
  MutexLock lock(mu_);
  return liveWorkers_ > 0;
}

bool KVTBackupManager::Run::cancelByProcess() {
  MutexLock lock(mu_);
  if (endingDecided_) return false;
  canceledByProcess_ = true;
  cleanupPending_ = threadId_ != std::this_thread::get_id();
  kicked_ = true;
  signalAll(/*kill=*/false);
  cv_.notify_all();
  return true;
}

void KVTBackupManager::Run::awaitEnginesExited() {
  UniqueMutexLock lock(mu_);
  auto gone = [this]() ULMORA_REQUIRES(mu_) { return liveWorkers_ == 0; };
  if (clock_.waitUntil(lock.native(), cv_, clock_.monotonicNow() + kTerminateGrace, gone)) return;
  traceLine("KVTBackupManager: engines did not stop on request; killing them");
  signalAll(/*kill=*/true);
  clock_.waitUntil(lock.native(), cv_, clock_.monotonicNow() + kTerminateGrace, gone);
}

void KVTBackupManager::Run::finishCancelByProcess() {
  {
    MutexLock lock(mu_);
    cleanupPending_ = false;
    cv_.notify_all();
  }
  if (threadId_ == std::this_thread::get_id()) {
    // Called from a delegate callback: the ending is still to come on this
    // very thread, and operationCanceld follows it.
    MutexLock lock(mu_);
    deferredCanceld_ = true;
    return;
  }
  {
    UniqueMutexLock lock(mu_);
    if (!clock_.waitUntil(lock.native(), cv_, clock_.monotonicNow() + kCancelWaitLimit,
                          [this]() ULMORA_REQUIRES(mu_) { return finished_; })) {
      deferredCanceld_ = true;
      return;
    }
  }
  call([this](auto& d) { d.operationCanceld(manager_); });
}

void KVTBackupManager::Run::terminateEngines() {
  MutexLock lock(mu_);
  terminated_ = true;
  signalAll(/*kill=*/false);
  killAt_ = clock_.monotonicNow() + kTerminateGrace;
  kicked_ = true;
  cv_.notify_all();
}

void KVTBackupManager::Run::shutdown() {
  shutdown_ = true;
  MutexLock lock(mu_);
  signalAll(/*kill=*/true);
  kicked_ = true;
  cv_.notify_all();
}

}  // namespace ulmora
