#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/ThreadAnnotations.h"
#include "engine/ProxyController.h"
#include "engine/User.h"
#include "foundation/SupportFilePaths.h"
#include "service/ListingLineParser.h"
#include "service/ServerRecord.h"
#include "service/ServiceEngineRun.h"
#include "service/ServiceTexts.h"
#include "service/SynListHandlerProtocol.h"

namespace ulmora {

// The server change listing: runs the engine's change listing after a
// listing index (0 = the whole account) on a worker thread of its own and
// hands every changed entry to its delegate (SynListHandlerProtocol gives the
// order and threads of the reports).
//
// Entries become ServerRecords and go on with the code "4" (new or changed),
// "3" (live with a former path) or "2" (in trash); in reference-id mode
// (setforRefIDUpdate(true)) to updateRefID and with no index report. Folder
// entries that are not renames are kept apart, in foldersFromServer (live)
// and deletedFoldersFromServer (in trash), for the listing's completion.
// An entry whose path could leave the sync root is dropped with a trace line;
// so is an output line that does not parse.
//
// Every listing has a run number. cancel() retires the number before it
// reports, and the worker reports only while its number is current, so a
// cancelled listing says nothing after its cancel reports even while its
// engine is still ending.
//
// Thread-safety: the setters belong to the owning thread and must not be
// called while a listing runs. start, cancel, the accessors and the folder
// lists may be used from any thread. Lock order: reportMutex_, then mutex_.
// The delegate must outlive the controller. shutdown() (and the destructor)
// stops a running listing without any report and joins its worker; it must
// not be called from inside a report.
class SynListingController {
 public:
  static constexpr const char* kMaintenanceMessage = servicetexts::kMaintenanceMessage.data();
  static constexpr const char* kBlockedMessage = servicetexts::kBlockedMessage.data();

  SynListingController();
  ~SynListingController();
  SynListingController(const SynListingController&) = delete;
  SynListingController& operator=(const SynListingController&) = delete;

  void setExecutorPath(std::string path) { executorPath_ = std::move(path); }
  void setDelegate(SynListHandlerProtocol* delegate) { delegate_ = delegate; }
  void initializeAppSupportFilePaths(const std::string& consoleUser, const std::string& syncUser);
  // The account and proxy of the next listing (setUserAndProxyToObject:).
  void setUser(User user) { user_ = std::move(user); }
  void setProxyDetails(ProxyController proxy) { proxy_ = std::move(proxy); }

  void setforRefIDUpdate(bool refIdMode) { refIdMode_ = refIdMode; }
  bool forRefIDUpdate() const { return refIdMode_; }

  bool isRunning() const;

  // Reports listingDidStart on the calling thread, then lists on a worker.
  // Does nothing while a listing runs.
  void startListingWithIndexNumber(int64_t index);

  // Stops the engine, retires the listing and reports listingCompleted (when
  // the engine was running and had announced records) and listingDidCancel,
  // on the calling thread. Waits for a report in progress on the worker.
  void cancel();
  // Stops without a report and joins the worker: afterwards no thread of the
  // listing is left, so the owner may drop the object its reports reach it
  // through.
  void shutdown();
  void setCancel(bool /*ignored*/) { cancel(); }

  // Valid entries of the last listing.
  int64_t fileChangeCount() const;
  // The number of records the running engine has announced, once it has.
  std::optional<int64_t> announcedCount() const;

  std::vector<ServerRecord> foldersFromServer() const;
  void addFolderFromServer(ServerRecord record);
  std::vector<ServerRecord> deletedFoldersFromServer() const;

  bool IsRetryListingCalledForNoData() const { return retryForNoData_.load(); }
  void SetIsRetryListingCalledForNoData(bool value) { retryForNoData_.store(value); }

 private:
  struct Worker {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
  };

  void work(uint64_t run, int64_t index, std::shared_ptr<ServiceEngineRun> engine);
  void deliver(uint64_t run, const ServiceEngineRun::Outcome& outcome, const KeptListingLines& lines,
               std::optional<int64_t> announced);
  void deliverFailure(uint64_t run, const std::string& error);
  // Runs `report` under reportMutex_ when `run` is still the current listing.
  template <typename F>
  bool report(uint64_t run, F&& f);
  bool isCurrentLocked(uint64_t run) const ULMORA_REQUIRES(mutex_) { return run == runNumber_ && running_; }
  // Marks `run` finished when it is still the current listing.
  void endRun(uint64_t run);
  void joinFinishedWorkers();

  std::string executorPath_;
  SynListHandlerProtocol* delegate_ = nullptr;
  SupportFilePaths paths_;
  User user_;
  ProxyController proxy_;
  std::atomic<bool> refIdMode_{false};
  std::atomic<bool> retryForNoData_{false};

  // Held around every delegate report of a listing and by cancel(), so that
  // retiring a run and the run's reports never interleave.
  std::recursive_mutex reportMutex_;

  mutable Mutex mutex_;
  uint64_t runNumber_ ULMORA_GUARDED_BY(mutex_) = 0;
  bool running_ ULMORA_GUARDED_BY(mutex_) = false;
  bool engineRunning_ ULMORA_GUARDED_BY(mutex_) = false;
  std::optional<int64_t> announced_ ULMORA_GUARDED_BY(mutex_);
  int64_t fileChangeCount_ ULMORA_GUARDED_BY(mutex_) = 0;
  std::shared_ptr<ServiceEngineRun> engine_ ULMORA_GUARDED_BY(mutex_);
  std::vector<ServerRecord> folders_ ULMORA_GUARDED_BY(mutex_);
  std::vector<ServerRecord> deletedFolders_ ULMORA_GUARDED_BY(mutex_);
  std::vector<Worker> workers_ ULMORA_GUARDED_BY(mutex_);
};

}  // namespace ulmora
