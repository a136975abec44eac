#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ThreadAnnotations.h"
#include "engine/ProxyController.h"
#include "engine/User.h"
#include "foundation/SupportFilePaths.h"
#include "journal/NotificationPoster.h"
#include "journal/RenameEntry.h"
#include "platform/Clock.h"
#include "platform/PropertyList.h"
#include "service/KVTRenameDeleteHandlerProtocol.h"
#include "service/RenameDeleteHost.h"
#include "service/ServiceEngineRun.h"

namespace ulmora {

class JournalStampGenerator;

// Sends local renames and deletions to the server, one synchronous engine run
// per call (KVTRenameDeleteHandlerProtocol gives the reports).
//
// Renames the host holds back (a file of the running upload) are not sent.
// A rename carries the server version last synced of each old file, a
// delete that of each file (useSeenVersions, else RenameDeleteHost::
// seenVersion): the engine refuses to move or trash any other, which another
// computer wrote and this one never saw.
// Paths that could leave the sync root, or that a set file cannot carry, are
// dropped with a trace line. Renames the engine refuses are retried once; a
// rename still refused because the server never had the old item leaves the
// new item to be uploaded instead (files to the upload list, empty folders to
// the folder-creation list), so the user's item is not lost on the server.
//
// writeFilesForDeleteAndBackupOrQueryMainDB publishes the pending delete,
// upload and folder-creation lists as journal files ("_delete" into the event
// folder, "_backup" into the upload folder, "_createdir" into the folder-
// creation folder) and posts "FilesInsyncListGot" for the items the server
// renamed. startOperation calls it once the host's rename collection is empty.
//
// Thread-safety: set-up on one thread before use; startOperation on one
// thread at a time; isRunning, setCancel, addFilesToDelete, deleteItems,
// oldPathList and newPathList from any thread.
class KVTRenameDeleteController {
 public:
  static constexpr std::string_view kTypeRename = "rename";
  static constexpr std::string_view kTypeDelete = "delete";
  static constexpr std::string_view kInSyncNotification = "FilesInsyncListGot";
  static constexpr std::string_view kInSyncListKey = "InsyncList";

  KVTRenameDeleteController();
  ~KVTRenameDeleteController();
  KVTRenameDeleteController(const KVTRenameDeleteController&) = delete;
  KVTRenameDeleteController& operator=(const KVTRenameDeleteController&) = delete;

  void setExecutorPath(std::string path) { executorPath_ = std::move(path); }
  void setDelegate(KVTRenameDeleteHandlerProtocol* delegate) { delegate_ = delegate; }
  void initializeApplicationSupportPaths(const std::string& consoleUser, const std::string& syncUser);
  void SetConsoleUserName(const std::string& consoleUser) { paths_.setConsoleUserName(consoleUser); }
  void setUser(User user) { user_ = std::move(user); }
  void setProxyDetails(ProxyController proxy) { proxy_ = std::move(proxy); }
  void setHost(RenameDeleteHost* host) { host_ = host; }
  void setNotificationPoster(NotificationPoster* poster) { poster_ = poster; }
  // Journal names and pauses (tests give their own; default: the shared
  // generator on the system clock).
  void setJournalStamps(JournalStampGenerator* stamps, Clock* clock);

  bool isRunning() const { return running_.load(); }
  // Stops the engine of a run in progress (it ends as cancelled); the
  // argument is not looked at.
  void setCancel(bool ignored);

  // `entries`: an array of {"OriginalPath", "RenamedPath"} dictionaries for
  // "rename", of path texts for "delete". A Null value, or another type,
  // does nothing.
  void startOperation(const PropertyList& entries, std::string_view type);
  void startRenameOperation(const std::vector<RenameEntry>& renames);
  void startDeleteOperation(const std::vector<std::string>& paths);

  // The renames to send: those the host does not hold back.
  std::vector<RenameEntry> processDataForRenameOperation(const std::vector<RenameEntry>& renames);

  // Versions the next startOperation checks ahead of the host's rows
  // (relative paths without a trailing "/"): a renamed file's row has moved
  // or gone by the time its old name is sent. Used up by that operation.
  void useSeenVersions(engineset::SeenVersions seen);

  void addFilesToDelete(const std::vector<std::string>& paths);
  std::vector<std::string> deleteItems() const;

  // Of the rename run in progress (or the last one).
  std::vector<std::string> oldPathList() const;
  std::vector<std::string> newPathList() const;

  void writeFilesForDeleteAndBackupOrQueryMainDB();

 private:
  struct RenameRun;
  // `seenLines`: a --seen-versions file's content; empty, none is passed.
  ServiceEngineRun::Outcome runEngine(const std::vector<std::string>& operation,
                                      const std::vector<std::string>& setEntries,
                                      const std::function<void(std::string_view)>& onLine,
                                      const std::string& seenLines = {});
  bool sendRenames(const std::vector<RenameEntry>& renames, RenameRun& run,
                   const engineset::SeenVersions& seen);
  engineset::SeenVersions takeGivenSeen();
  // Of `paths` (files only): `given`'s version, else the host's.
  engineset::SeenVersions seenVersionsOf(const std::vector<std::string>& paths,
                                         const engineset::SeenVersions& given);
  void keepForUpload(const RenameEntry& rename);
  void finishBatch();
  std::string journalFolder(int index, std::string fromHost) const;

  std::string executorPath_;
  KVTRenameDeleteHandlerProtocol* delegate_ = nullptr;
  RenameDeleteHost* host_ = nullptr;
  NotificationPoster* poster_ = nullptr;
  JournalStampGenerator* stamps_ = nullptr;
  Clock* clock_ = nullptr;
  SupportFilePaths paths_;
  User user_;
  ProxyController proxy_;
  std::atomic<bool> running_{false};

  mutable Mutex mutex_;
  std::shared_ptr<ServiceEngineRun> engine_ ULMORA_GUARDED_BY(mutex_);
  bool cancelRequested_ ULMORA_GUARDED_BY(mutex_) = false;
  std::vector<std::string> oldPaths_ ULMORA_GUARDED_BY(mutex_);
  std::vector<std::string> newPaths_ ULMORA_GUARDED_BY(mutex_);
  std::vector<std::string> pendingDeletes_ ULMORA_GUARDED_BY(mutex_);
  std::vector<std::string> pendingUploads_ ULMORA_GUARDED_BY(mutex_);
  std::vector<std::string> pendingCreateDirs_ ULMORA_GUARDED_BY(mutex_);
  std::vector<std::string> inSync_ ULMORA_GUARDED_BY(mutex_);
  engineset::SeenVersions givenSeen_ ULMORA_GUARDED_BY(mutex_);
};

}  // namespace ulmora
