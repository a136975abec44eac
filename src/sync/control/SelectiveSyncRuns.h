#pragma once

#include <atomic>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/ThreadAnnotations.h"

#include "capture/FolderEnumuration.h"
#include "capture/FolderEnumurationDelegate.h"
#include "engine/KVTSearchController.h"
#include "engine/KVTSearchControllerDelegateProtocol.h"
#include "engine/User.h"
#include "platform/RunLoop.h"
#include "platform/WeakGuard.h"

namespace ulmora {

class SelectiveSync;

// The engine searches of newly included folders and the walks over folders
// moved aside, each owned here until it ends, their reports handed to
// SelectiveSync.
//
// Thread-safety: startSearch, enumerate, cancelAll and stopAll on the main
// loop, and the searches report there (checked in debug and test builds);
// the walks report on their own threads.
class SelectiveSyncRuns final : public KVTSearchControllerDelegateProtocol,
                                public FolderEnumurationDelegate {
 public:
  using UserSource = std::function<User()>;

  SelectiveSyncRuns(std::string executable, UserSource user, std::string proxySettingsFile,
                    SelectiveSync& target, RunLoop& mainLoop);
  ~SelectiveSyncRuns() override;

  void startSearch(const std::string& relativeFolder);
  void enumerate(const std::vector<std::string>& fullPaths);
  // Stops the searches and walks under way (an unlink); later ones may start.
  void cancelAll();
  // Stops every search and walk; nothing is reported or started afterwards.
  void stopAll();
  std::size_t runningSearches() const { return searches_.size(); }
  std::size_t runningWalks();

  // KVTSearchControllerDelegateProtocol
  void searchDidStart(KVTSearchController&) override {}
  void searchDidReceiveData(const PropertyList& entries, KVTSearchController& controller) override;
  void searchDidFinishSuccessfully(KVTSearchController& controller) override;
  void searchDidFailWithError(const std::string& error, KVTSearchController& controller) override;

  // FolderEnumurationDelegate
  void didFoundFile(const std::string& path) override;
  void didEndCalculation(FolderEnumuration& enumeration) override;

 private:
  void release(KVTSearchController& controller);

  const std::string executable_;
  UserSource user_;
  const std::string proxySettingsFile_;
  SelectiveSync& target_;
  RunLoop& mainLoop_;
  // Set once on the main loop; the walk threads only test it before a report.
  std::atomic<bool> stopped_{false};
  std::list<std::unique_ptr<KVTSearchController>> searches_;
  Mutex walkMu_;
  std::list<std::unique_ptr<FolderEnumuration>> walks_ ULMORA_GUARDED_BY(walkMu_);
  WeakGuard guard_;  // last: invalidated first
};

}  // namespace ulmora
