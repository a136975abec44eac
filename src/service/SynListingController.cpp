#include "service/SynListingController.h"

#include <malloc.h>

#include <algorithm>
#include <exception>
#include <utility>

#include "foundation/QLLocalizedString.h"
#include "platform/Trace.h"
#include "service/ServerPath.h"
#include "service/ServiceTexts.h"

namespace ulmora {
SynListingController::SynListingController() : executorPath_(QLLocalizedString("ExecuterPathKVT")) {}

SynListingController::~SynListingController() { shutdown(); }

void SynListingController::shutdown() {
  std::vector<Worker> workers;
  {
    std::lock_guard<std::recursive_mutex> reports(reportMutex_);
    MutexLock lock(mutex_);
    ++runNumber_;
    running_ = false;
    if (engine_) engine_->terminate();
    engine_.reset();
    workers.swap(workers_);
  }
  for (Worker& w : workers) {
    if (w.thread.joinable()) w.thread.join();
  }
}

void SynListingController::initializeAppSupportFilePaths(const std::string& consoleUser,
                                                         const std::string& syncUser) {
  paths_.setConsoleUserName(consoleUser);
  paths_.setSyncUserName(syncUser);
}

bool SynListingController::isRunning() const {
  MutexLock lock(mutex_);
  return running_;
}

int64_t SynListingController::fileChangeCount() const {
  MutexLock lock(mutex_);
  return fileChangeCount_;
}

std::optional<int64_t> SynListingController::announcedCount() const {
  MutexLock lock(mutex_);
  return announced_;
}

std::vector<ServerRecord> SynListingController::foldersFromServer() const {
  MutexLock lock(mutex_);
  return folders_;
}

void SynListingController::addFolderFromServer(ServerRecord record) {
  MutexLock lock(mutex_);
  folders_.push_back(std::move(record));
}

std::vector<ServerRecord> SynListingController::deletedFoldersFromServer() const {
  MutexLock lock(mutex_);
  return deletedFolders_;
}

template <typename F>
bool SynListingController::report(uint64_t run, F&& f) {
  std::lock_guard<std::recursive_mutex> reports(reportMutex_);
  {
    MutexLock lock(mutex_);
    if (!isCurrentLocked(run)) return false;
  }
  if (delegate_ != nullptr) f(*delegate_);
  return true;
}

void SynListingController::joinFinishedWorkers() {
  std::vector<Worker> finished;
  {
    MutexLock lock(mutex_);
    auto split = std::stable_partition(workers_.begin(), workers_.end(),
                                       [](const Worker& w) { return !w.done->load(); });
    std::move(split, workers_.end(), std::back_inserter(finished));
    workers_.erase(split, workers_.end());
  }
  for (Worker& w : finished) {
    if (w.thread.joinable()) w.thread.join();
  }
}

void SynListingController::startListingWithIndexNumber(int64_t index) {
  joinFinishedWorkers();
  auto engine = std::make_shared<ServiceEngineRun>(executorPath_, user_, proxy_);
  uint64_t run = 0;
  {
    MutexLock lock(mutex_);
    if (running_) return;
    run = ++runNumber_;
    running_ = true;
    engineRunning_ = false;
    announced_.reset();
    fileChangeCount_ = 0;
    folders_.clear();
    deletedFolders_.clear();
    engine_ = engine;
  }
  // The delegate resets its per-listing state here, so this must come before
  // any record of the listing can reach it. A start report that fails ends
  // the listing it began: left running, it would refuse every later start.
  try {
    report(run, [&](SynListHandlerProtocol& d) { d.listingDidStart(*this); });
  } catch (const std::exception& e) {
    traceLine(std::string("SynListingController: the listing's start report failed: ") + e.what());
    endRun(run);
    return;
  } catch (...) {
    traceLine("SynListingController: the listing's start report failed");
    endRun(run);
    return;
  }

  MutexLock lock(mutex_);
  if (!isCurrentLocked(run)) return;  // cancelled from inside listingDidStart
  Worker w;
  w.done = std::make_shared<std::atomic<bool>>(false);
  w.thread = std::thread([this, run, index, engine, done = w.done] {
    try {
      work(run, index, engine);
    } catch (const std::exception& e) {
      traceLine(std::string("SynListingController: listing worker failed: ") + e.what());
      endRun(run);
    } catch (...) {
      traceLine("SynListingController: listing worker failed");
      endRun(run);
    }
    done->store(true);
  });
  workers_.push_back(std::move(w));
}

void SynListingController::work(uint64_t run, int64_t index, std::shared_ptr<ServiceEngineRun> engine) {
  KeptListingLines lines;
  std::optional<int64_t> announced;
  {
    MutexLock lock(mutex_);
    if (!isCurrentLocked(run)) return;
    engineRunning_ = true;
  }
  ServiceEngineRun::Outcome outcome = engine->run(
      {"--list-changes=" + std::to_string(index), engine->remote("/")}, [&](std::string_view raw) {
        ListingLine line = parseListingLine(raw);
        switch (line.kind) {
          case ListingLine::Kind::kUnparsed:
            traceLine("SynListingController: " + line.text + ": " + serverpath::forTrace(raw));
            return;
          case ListingLine::Kind::kUnsafe:
            traceLine("SynListingController: record dropped, " + line.text + ": " +
                      serverpath::forTrace(raw));
            return;
          case ListingLine::Kind::kCount: {
            if (announced) return;  // only the first count line announces
            announced = line.number;
            MutexLock lock(mutex_);
            if (isCurrentLocked(run)) announced_ = line.number;
            return;
          }
          case ListingLine::Kind::kSummary:
            return;
          default:
            lines.add(raw);
        }
      });
  {
    MutexLock lock(mutex_);
    if (isCurrentLocked(run)) engineRunning_ = false;
  }
  // A report that throws ends the reports of this listing, never the
  // listing's end: left running, it would refuse every later start.
  try {
    deliver(run, outcome, lines, announced);
  } catch (const std::exception& e) {
    traceLine(std::string("SynListingController: a listing report failed: ") + e.what());
  } catch (...) {
    traceLine("SynListingController: a listing report failed");
  }
  // A long listing is the largest thing an idle agent holds: once handled,
  // its memory goes back to the system rather than staying with the
  // allocator until the next burst.
  lines = KeptListingLines();
  ::malloc_trim(0);
  endRun(run);
}

void SynListingController::endRun(uint64_t run) {
  std::lock_guard<std::recursive_mutex> reports(reportMutex_);
  MutexLock lock(mutex_);
  if (!isCurrentLocked(run)) return;
  running_ = false;
  engineRunning_ = false;
  engine_.reset();
}

void SynListingController::deliver(uint64_t run, const ServiceEngineRun::Outcome& outcome,
                                   const KeptListingLines& lines, std::optional<int64_t> announced) {
  if (outcome.cancelled) return;  // only a cancel() or the destructor stops the engine
  if (!report(run, [](SynListHandlerProtocol& d) { d.clearItems(); })) return;

  if (announced.value_or(0) > 0) {
    bool current = report(run, [](SynListHandlerProtocol& d) {
      d.listingGotEventsOccurred();
      if (d.isTenMinutesListingCalled()) d.resetTenminutesListing();
    });
    if (!current) return;
  }

  const bool refIdMode = refIdMode_.load();
  std::optional<int64_t> highest;
  std::string fatal;
  int64_t records = 0;
  bool stopped = false;
  lines.forEach([&](std::string_view raw) {
    // Kept only when it parsed as one of the kinds below.
    const ListingLine line = parseListingLine(raw);
    if (line.kind == ListingLine::Kind::kIndex) {
      highest = line.number;
      return true;
    }
    if (line.kind == ListingLine::Kind::kFatal) {
      fatal = line.text;
      return true;
    }
    if (line.kind != ListingLine::Kind::kRecord) return true;
    const ServerRecord& record = line.record;
    ++records;
    {
      MutexLock lock(mutex_);
      if (!isCurrentLocked(run)) return !(stopped = true);
      ++fileChangeCount_;
      // A renamed folder goes to the validation like any rename; other folder
      // entries are reconciled as a whole when the listing ends.
      if (record.isFolder() && record.isInTrash()) {
        deletedFolders_.push_back(record);
        return true;
      }
      if (record.isFolder() && record.fnameOld.empty()) {
        folders_.push_back(record);
        return true;
      }
    }
    const std::string code(record.operationCode());
    bool current = report(run, [&](SynListHandlerProtocol& d) {
      if (refIdMode) {
        d.updateRefID(record, code);
      } else {
        d.validateFiles(record, code);
      }
    });
    return !(stopped = !current);
  });
  if (stopped) return;

  if (!outcome.succeeded() || !fatal.empty()) {
    deliverFailure(run, outcome.errorText());
    return;
  }

  const bool hasData = announced ? *announced > 0 : records > 0;
  retryForNoData_.store(!hasData);
  if (!refIdMode) {
    int64_t index = highest.value_or(0);
    if (!report(run, [&](SynListHandlerProtocol& d) { d.listingDidReceiveData(index); })) return;
  }
  if (!report(run, [&](SynListHandlerProtocol& d) { d.listingDidFinishSuccessfully(*this); })) return;
  if (!report(run, [&](SynListHandlerProtocol& d) { d.listingDataProcessedComplete(*this); })) return;
  if (!hasData) report(run, [&](SynListHandlerProtocol& d) { d.RetryListing(*this); });
}

void SynListingController::deliverFailure(uint64_t run, const std::string& error) {
  const bool maintenance = servicetexts::isMaintenanceError(error);
  const bool blocked = servicetexts::isBlockedError(error);
  traceLine("SynListingController: listing failed: " + error);
  if (maintenance && !report(run, [&](SynListHandlerProtocol& d) {
        d.listingDidFailWithError(kMaintenanceMessage, *this);
      })) {
    return;
  }
  if (blocked &&
      !report(run, [&](SynListHandlerProtocol& d) { d.listingDidFailWithError(kBlockedMessage, *this); })) {
    return;
  }
  if (!report(run, [&](SynListHandlerProtocol& d) { d.listingDidFailWithError(error, *this); })) return;
  if (!report(run, [&](SynListHandlerProtocol& d) { d.listingDataProcessedComplete(*this); })) return;
  if (maintenance) {
    report(run, [](SynListHandlerProtocol& d) { d.PerformLoginAgainDueToAccountMaintanence(); });
  } else {
    report(run, [&](SynListHandlerProtocol& d) { d.RetryListing(*this); });
  }
}

void SynListingController::cancel() {
  std::lock_guard<std::recursive_mutex> reports(reportMutex_);
  bool itemsAnnouncedWhileRunning = false;
  std::shared_ptr<ServiceEngineRun> engine;
  {
    MutexLock lock(mutex_);
    itemsAnnouncedWhileRunning = running_ && engineRunning_ && announced_.value_or(0) > 0;
    ++runNumber_;
    running_ = false;
    engineRunning_ = false;
    engine.swap(engine_);
  }
  if (engine) engine->terminate();
  if (delegate_ == nullptr) return;
  if (itemsAnnouncedWhileRunning) delegate_->listingCompleted();
  delegate_->listingDidCancel(*this);
}

}  // namespace ulmora
