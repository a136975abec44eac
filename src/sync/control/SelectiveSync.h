#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/ThreadAnnotations.h"

#include "platform/Clock.h"
#include "platform/FileUtil.h"
#include "platform/PropertyList.h"
#include "platform/RunLoop.h"
#include "platform/WeakGuard.h"

namespace ulmora {

// The folder set rules of selective sync, as pure functions.
//
// Excluded folders are relative paths ("/A/B", no trailing "/"). A path lies
// under an excluded folder E when it begins with E + "/"; when E's last
// component has an extension (a package such as "Photos.lib") E itself also
// counts as under it. A path that only shares E's name as a prefix
// ("/Docs/Photos.libx/z") is never under E.
namespace selective {

// The excluded folders of the selective-sync list (value "0"), without those
// inside another excluded folder; nullopt for a missing list. Keys that are
// not clean relative paths are ignored.
std::set<std::string> unselectedFromList(const PropertyList& list);
bool hasExtension(const std::string& folder);
bool isUnder(const std::set<std::string>& excluded, const std::string& path);
// `path` is an excluded folder (a folder path may end with "/").
bool matches(const std::set<std::string>& excluded, const std::string& path);
// " (Selective Sync Conflict)" for attempt 0, " (Selective Sync Conflict N)"
// after it.
std::string conflictName(const std::string& path, int attempt);
// A relative path a server result may name: begins with "/", no empty, "."
// or ".." component, no NUL.
bool isSafeRelativePath(const std::string& path);

}  // namespace selective

// What selective sync asks of the rest of the controller.
class SelectiveSyncPort {
 public:
  virtual ~SelectiveSyncPort() = default;
  // When a reinitialise is under way, marks the change to be applied at its
  // end (selectivesyncCalledDuringReinitialization) in the same step, so the
  // reinitialise cannot end between the two; true then.
  virtual bool deferToReinitialise() = 0;
  virtual bool isPaused() = 0;
  virtual bool isNetworkAvailable() = 0;
  // The account's refreshSS: an application that could not fetch the newly
  // included folders; the next open tick applies the list again.
  virtual void setRefreshSS() = 0;
  virtual bool refreshSS() = 0;

  // Relative paths of the uploads waiting in the upload journal.
  virtual std::vector<std::string> pendingUploads() = 0;
  // Drops the queued uploads and downloads and their journal files.
  virtual void clearForSelectiveSync() = 0;
  // Cancels the running upload and download runs and forgets the
  // download run's entry file.
  virtual void cancelTransfers() = 0;
  // Downloads wait in the queue or a download run is under way.
  virtual bool hasDownloads() = 0;
  // Downloads were dropped: a listing request brings their changes again,
  // and a listing index held for them is not stored.
  virtual void listDroppedDownloadsAgain() = 0;
  virtual void queueUpload(const std::string& relativePath) = 0;
  // Queues again, from the local database, the uploads that were only in
  // memory when the queues were cleared.
  virtual void requeuePendingUploads() = 0;
  // A server file to download (ref id and size as the search gave them).
  virtual void queueDownload(const std::string& relativePath, const std::string& refId,
                             const std::string& size) = 0;
  // Puts back the cached copy of a search result when its time and size are
  // the server's.
  virtual bool moveFromCache(const std::string& relativePath, const std::string& modTime,
                             const std::string& size, const std::string& refId) = 0;

  virtual void startSearch(const std::string& relativeFolder) = 0;
  virtual void createFolder(const std::string& fullPath) = 0;
  virtual bool exists(const std::string& fullPath) = 0;
  virtual bool containsFile(const std::string& fullPath) = 0;
  virtual fileutil::RenameResult moveAside(const std::string& from, const std::string& to) = 0;
  // The change capture's own-work filter (full paths).
  virtual void addToExclude(const std::string& fullPath) = 0;
  virtual void removeFromExclude(const std::string& fullPath) = 0;
  // Walks the folders on a thread of its own and hands each file to
  // SelectiveSync::didFoundFile.
  virtual void enumerateForUpload(const std::vector<std::string>& fullPaths) = 0;

  virtual void setMonitorToolTip(const std::string& status) = 0;
  virtual void removeItemFromToolTipFor(const std::string& status) = 0;
  virtual void sendMonitorMessage(int type) = 0;
};

// The user's choice of server folders not to sync: the excluded set the
// listing and validation ask about, and applying a changed choice (stop the
// transfers under newly excluded folders, fetch newly included ones after
// moving local content in the way aside).
//
// The excluded set is one immutable snapshot, replaced whole, so a check on a
// listing thread never sees it half-changed.
//
// Thread-safety: checkForFileisUnderSSyncSet, checkForFileMatchesSSyncSet,
// excludedSet, didFoundFile and updateSSWindowRefresh (the end of an upload,
// download, rename/delete or folder run asks for it on that run's thread)
// may be called from any thread; the rest runs on the main loop (checked in
// debug and test builds).
class SelectiveSync {
 public:
  static constexpr int kMaxConflictAttempts = 100;
  static constexpr Clock::Duration kStopAnimationDelay = std::chrono::seconds(5);
  static constexpr Clock::Duration kExclusionLift = std::chrono::seconds(2);
  static constexpr int kRefreshWindowMessage = 514;
  static constexpr const char* kApplyingStatus = "T1014";
  static constexpr const char* kApplyingItem = "Applying Selective Sync changes...";

  using Snapshot = std::shared_ptr<const std::set<std::string>>;

  // `syncRoot` is asked each time: the settings may move the root.
  using RootSource = std::function<std::string()>;
  SelectiveSync(std::string selectiveSyncList, RootSource syncRoot, SelectiveSyncPort& port,
                RunLoop& mainLoop);
  SelectiveSync(std::string selectiveSyncList, std::string syncRoot, SelectiveSyncPort& port,
                RunLoop& mainLoop)
      : SelectiveSync(std::move(selectiveSyncList), [syncRoot] { return syncRoot; }, port,
                      mainLoop) {}

  void initializeSelctiveSyncSet();
  // nullopt when the list file is missing.
  std::optional<std::set<std::string>> getUnselectedObjectsFromList() const;
  Snapshot excludedSet() const;
  bool checkForFileisUnderSSyncSet(const std::string& relativePath) const;
  bool checkForFileMatchesSSyncSet(const std::string& relativePath) const;

  void selectiveSyncModefied();
  void searchPendingSSFolder();
  void searchToDownloadSelectiveSyncFolder(const std::vector<std::string>& relativeFolders);
  void searchDidReceiveData(const PropertyList& entries);
  void searchDidFinishSuccessfully(const std::string& rootPath);
  void searchDidFailWithError(const std::string& error, const std::string& rootPath);
  // Moves local content in the way of newly included folders aside; returns
  // the folders that could not be moved (not to be fetched now).
  std::vector<std::string> checkSelectiveSyncFolderAlreadyExists(
      const std::vector<std::string>& fullPaths);
  void didFoundFile(const std::string& fullPath);
  void stopAnimationForSS();
  void updateSSWindowRefresh();

  std::set<std::string> ssFolderToSearch() const;

 private:
  void publish(std::set<std::string> excluded);
  std::string full(const std::string& relative) const;

  const std::string listFile_;
  const RootSource syncRoot_;
  SelectiveSyncPort& port_;
  RunLoop& mainLoop_;

  mutable Mutex mu_;
  Snapshot excluded_ ULMORA_GUARDED_BY(mu_);
  std::set<std::string> folderToSearch_ ULMORA_GUARDED_BY(mu_);

  WeakGuard guard_;  // last: invalidated first
};

}  // namespace ulmora
