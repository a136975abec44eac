#pragma once

#include <functional>
#include <string>
#include <vector>

#include "sync/DownloadDispatcher.h"
#include "sync/ListingHandler.h"
#include "sync/ListingOutcome.h"
#include "sync/ServerRoadPorts.h"

namespace ulmora {

class MainSyncController;

// The server road's view of the rest of the controller: each port method
// forwards to the facade operation of the concern that owns it.
//
// Thread-safety: as the facade operations it calls.
class ServerRoadHost final : public ListingHost,
                             public ListingOutcomeHost,
                             public DownloadDispatchHost,
                             public RecentItemsPort,
                             public SelectiveSyncCheck,
                             public SyncSessionLogPort {
 public:
  explicit ServerRoadHost(MainSyncController& controller) : c_(controller) {}

  // ListingHost
  bool isUploadRunning() override;
  bool isDownloadRunning() override;
  bool lastDownloadRunFailed() override;
  bool startListingFromStoredIndex() override;
  void setMonitorToolTip(const std::string& code) override;
  void removeItemFromToolTipFor(const std::string& code) override;
  void removePNSRelatedToolTips() override;
  void showDesktopPushNotification(const std::string& code) override;
  void passwordChangedFromWeb() override;
  void accountCancelledFromListing() override;
  void selectiveSyncModefied() override;
  void setQueueReinitializeState(bool state) override;
  void reinitialiseEnded() override;
  void createAllSyncTimers() override;
  void getLoginDetailForUlmoraSyncUser() override;
  void clearRecentItems() override;
  // ListingOutcomeHost
  void sendRecentItemsList(const std::vector<std::string>& restoredFromCache) override;
  void deleteCachedFiles() override;
  void WritingCreateDirCollection(const std::string& path) override;
  // DownloadDispatchHost
  void downloadSetStarting() override;
  void postSyncList(const std::vector<std::string>& fullPaths) override;
  void restoreCancelledDuringListing() override;
  // RecentItemsPort
  void setRecentlyModifiedItems(const std::string& fullPath, const std::string& operation) override;
  // SelectiveSyncCheck
  bool checkForFileisUnderSSyncSet(const std::string& path) override;
  // SyncSessionLogPort
  void syncDeleted(const std::string& relativePath) override;
  void syncRenamed(const std::string& oldRelative, const std::string& newRelative) override;
  void conflictCopyKept(const std::string& relativePath, const std::string& copyRelative) override;

 private:
  // Controller operations that belong to the main thread, posted there from
  // the listing worker.
  void onMain(std::function<void()> task);

  MainSyncController& c_;
};

}  // namespace ulmora
