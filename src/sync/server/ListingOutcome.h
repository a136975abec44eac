#pragma once

#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "service/ServerRecord.h"
#include "sync/server/ListingTally.h"
#include "sync/server/ServerRoadPorts.h"
#include "sync/files/SyncRootFiles.h"

namespace ulmora {

// What the end of a change listing asks of the rest of the controller.
class ListingOutcomeHost {
 public:
  virtual ~ListingOutcomeHost() = default;
  virtual void showDesktopPushNotification(const std::string& code) = 0;
  // The recent items of the listing, with the files restored from the cache.
  virtual void sendRecentItemsList(const std::vector<std::string>& restoredFromCache) = 0;
  // The sweep of old dated cache folders.
  virtual void deleteCachedFiles() = 0;
  virtual void removePNSRelatedToolTips() = 0;
  virtual void removeItemFromToolTipFor(const std::string& code) = 0;
  virtual bool isDownloadRunning() = 0;
  // Queues the creation of a folder on the server.
  virtual void WritingCreateDirCollection(const std::string& path) = 0;
};

// The end of a change listing: at most one desktop notification that sums
// up what it changed locally, the recent items, the cache sweep when
// something went into the cache, and the reconciliation of local folders
// with the listing's folder lists (empty folders deleted on the server go,
// missing live folders are made, folders found empty during a reinitialise
// are created on the server).
//
// A folder is removed only when nothing but folders (and ".DS_Store") lies
// below it; the root and the cache are never touched.
//
// Thread-safety: runs on the listing worker, one listing at a time.
class ListingOutcome {
 public:
  struct Folders {
    std::vector<ServerRecord> deleted;  // deletedFoldersFromServer
    std::vector<ServerRecord> live;     // foldersFromServer
    bool retryForNoData = false;        // IsRetryListingCalledForNoData
  };

  struct Ports {
    ListingOutcomeHost& host;
    SyncQueuePort& queue;
    CaptureFilterPort& filters;
    SelectiveSyncCheck& selective;
    // The local database's rows; nullptr: every server folder missing here
    // is made.
    FileStatusPort* status = nullptr;
  };

  ListingOutcome(const SyncRootFiles& files, Ports ports, ListingTally& tally);

  // listingDataProcessedComplete: for the change listing.
  void listingDataProcessedComplete(const Folders& folders);
  // manageFoldersReceivedFromServer:
  void manageFoldersReceivedFromServer(const Folders& folders);

  // The one change-summary notification, if any.
  static std::optional<std::string> changeSummary(const ListingTally::Snapshot& tally, const SyncRootPath& root,
                                                  bool newPathIsFolder);
  // A name of 39 characters or more: its first 17, "..." and its last 18.
  static std::string shortened(std::string_view name);

 private:
  bool skipped(const std::string& fname);
  void removeIfNoFiles(const std::string& path);
  bool removeEmptyTree(const std::string& relative, int depth);
  void recordFolder(const std::string& relative);

  const SyncRootFiles& files_;
  Ports ports_;
  ListingTally& tally_;
};

}  // namespace ulmora
