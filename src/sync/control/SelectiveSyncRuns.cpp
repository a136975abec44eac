#include "sync/control/SelectiveSyncRuns.h"

#include <utility>

#include "engine/ProxyController.h"
#include "platform/ThreadCheck.h"
#include "sync/control/SelectiveSync.h"

namespace ulmora {

SelectiveSyncRuns::SelectiveSyncRuns(std::string executable, UserSource user,
                                     std::string proxySettingsFile, SelectiveSync& target,
                                     RunLoop& mainLoop)
    : executable_(std::move(executable)),
      user_(std::move(user)),
      proxySettingsFile_(std::move(proxySettingsFile)),
      target_(target),
      mainLoop_(mainLoop) {}

SelectiveSyncRuns::~SelectiveSyncRuns() { stopAll(); }

void SelectiveSyncRuns::startSearch(const std::string& relativeFolder) {
  ULMORA_DCHECK_ON_LOOP(mainLoop_);
  if (stopped_) return;
  auto search = std::make_unique<KVTSearchController>();
  search->setDelegate(this);
  search->setExecutorPath(executable_);
  search->setUser(user_ ? user_() : User());
  search->setProxyDetails(ProxyController(proxySettingsFile_));
  search->setPathRoot(relativeFolder);
  search->setSearchKey("");
  KVTSearchController& started = *search;
  searches_.push_back(std::move(search));
  started.startSearch();
}

void SelectiveSyncRuns::enumerate(const std::vector<std::string>& fullPaths) {
  ULMORA_DCHECK_ON_LOOP(mainLoop_);
  if (stopped_ || fullPaths.empty()) return;
  auto walk = std::make_unique<FolderEnumuration>();
  walk->setDelegate(this);
  walk->shouldEnumerateFolder(true);
  FolderEnumuration& started = *walk;
  {
    MutexLock lock(walkMu_);
    walks_.push_back(std::move(walk));
  }
  started.start(fullPaths);
}

void SelectiveSyncRuns::stopAll() {
  ULMORA_DCHECK_ON_LOOP(mainLoop_);
  stopped_ = true;
  cancelAll();
}

void SelectiveSyncRuns::cancelAll() {
  ULMORA_DCHECK_ON_LOOP(mainLoop_);
  searches_.clear();  // each destructor stops its engine; no report follows
  std::list<std::unique_ptr<FolderEnumuration>> walks;
  {
    MutexLock lock(walkMu_);
    walks.swap(walks_);
  }
  walks.clear();  // joins the walk threads
}

std::size_t SelectiveSyncRuns::runningWalks() {
  MutexLock lock(walkMu_);
  return walks_.size();
}

void SelectiveSyncRuns::release(KVTSearchController& controller) {
  searches_.remove_if([&](const auto& s) { return s.get() == &controller; });
}

void SelectiveSyncRuns::searchDidReceiveData(const PropertyList& entries, KVTSearchController&) {
  ULMORA_DCHECK_ON_LOOP(mainLoop_);
  target_.searchDidReceiveData(entries);
}

void SelectiveSyncRuns::searchDidFinishSuccessfully(KVTSearchController& controller) {
  ULMORA_DCHECK_ON_LOOP(mainLoop_);
  target_.searchDidFinishSuccessfully(controller.rootPath());
  release(controller);
}

void SelectiveSyncRuns::searchDidFailWithError(const std::string& error,
                                               KVTSearchController& controller) {
  ULMORA_DCHECK_ON_LOOP(mainLoop_);
  target_.searchDidFailWithError(error, controller.rootPath());
  release(controller);
}

void SelectiveSyncRuns::didFoundFile(const std::string& path) {
  if (!stopped_) target_.didFoundFile(path);
}

void SelectiveSyncRuns::didEndCalculation(FolderEnumuration& enumeration) {
  // The walk still runs its thread here: it is released from the main loop.
  FolderEnumuration* done = &enumeration;
  mainLoop_.post(guard_.wrap([this, done] {
    std::unique_ptr<FolderEnumuration> finished;
    {
      MutexLock lock(walkMu_);
      for (auto it = walks_.begin(); it != walks_.end(); ++it) {
        if (it->get() == done) {
          finished = std::move(*it);
          walks_.erase(it);
          break;
        }
      }
    }
  }));
}

}  // namespace ulmora
