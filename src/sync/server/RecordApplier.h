#pragma once

#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/ThreadAnnotations.h"
#include "platform/Clock.h"
#include "service/ServerRecord.h"
#include "sync/server/ListingTally.h"
#include "sync/server/LocalCache.h"
#include "sync/server/RecordChangeTracker.h"
#include "sync/server/RecordDecision.h"
#include "sync/server/ServerRoadPorts.h"
#include "sync/files/SyncRootFiles.h"

namespace ulmora {

// Carries out what RecordDecision and ServerRenameDecision decide for each
// record of a change listing (validateFiles): gathers the facts, asks the
// decision, and applies the plan through the guarded file operations, the
// cache, the input queue and the capture's filter sets.
//
// Rules that hold whatever the plan says:
// - A record whose path (or former path) could leave the sync root, names
//   the root or enters the cache is dropped with a trace line before any
//   file is looked at.
// - A download never replaces a local file that is not in sync: that file is
//   first set aside as a conflict copy; when no copy can be made the file is
//   not downloaded this time. A folder is never downloaded over.
// - Nothing is deleted: what the sync removes for the server goes to the
//   cache, and stays in place when it cannot. An item the server moved out
//   of the selected folders keeps what the server lacks (an edit made here,
//   a file never uploaded) as conflict copies, never only in the swept day
//   folders; its former path is not uploaded again.
// - A local rename that fails is not recorded as done; the file is fetched
//   under its new name instead.
// - Exclusions made around a rename are lifted 2 s later on the main loop
//   (through `postDelayed`), never on the listing worker's loop.
// - A former path lies where the server stood when the listing began. When a
//   folder above it was renamed here earlier in the same listing, the item is
//   looked for where that rename took it ("/F/a" -> "/G/b" after "/F" ->
//   "/G" is the rename "/G/a" -> "/G/b"), so it is renamed, not fetched
//   again beside its old copy; and its row is looked for under the former
//   path until the queue has moved it.
//
// Thread-safety: one listing's records arrive one at a time on its worker;
// the collaborators lock themselves.
class RecordApplier {
 public:
  using DelayedPost = std::function<void(std::function<void()>, Clock::Duration)>;

  struct Ports {
    SyncQueuePort& queue;
    CaptureFilterPort& filters;
    FileStatusPort& status;
    SelectiveSyncCheck& selective;
    RecentItemsPort& recent;
    SyncSessionLogPort* sessionLog = nullptr;
  };

  struct Hooks {
    DelayedPost postDelayed;                                   // onto the main loop
    std::function<void(const ServerRecord&)> addServerFolder;  // the listing's folder list
    std::function<void()> relistReferenceIds;                  // rc_id changed
    // Consumes this computer's record of a rename it made (old, new).
    std::function<bool(const std::string&, const std::string&)> takeRenamedHere;
  };

  // The controller's flags at the time of a record.
  struct Flags {
    bool isReinitialize = false;
    bool shouldRestoreFileDirectly = false;
    bool useRefId = false;  // canUseRefID and not indexing from zero
  };

  static constexpr Clock::Duration kExcludeLift = std::chrono::seconds(2);
  // Far longer than the input queue takes to move a folder's rows.
  static constexpr Clock::Duration kRowsMoveWithin = std::chrono::seconds(60);

  RecordApplier(const SyncRootFiles& files, LocalCache& cache, Ports ports, ListingTally& tally,
                RecordChangeTracker& recIds, Hooks hooks);

  // A new listing: its former paths name the server as it was when the
  // listing began.
  void listingDidStart();

  // validateFiles:ForOperation:
  void validateFiles(const ServerRecord& record, const std::string& operation, const Flags& flags);

  // The facts a decision needs; nullopt when the record is dropped.
  std::optional<RecordFacts> gather(const ServerRecord& record, const std::string& operation,
                                    const Flags& flags);
  void apply(const RecordFacts& facts, const Plan& plan);

  // The former names of folders the server moved, under which this
  // listing brought only this computer's own uploads, each followed to the
  // folder's new name (kFollowFolderMove): the server made those names
  // again for the uploads alone, and they are to be deleted there. Each is
  // given once per listing.
  std::vector<std::string> takeFormerFoldersToClear();
  // `relative` ("/a" or "/a/") is, or lies under, a former name given by
  // takeFormerFoldersToClear in this listing: it is not made here.
  bool clearedOnServer(const std::string& relative) const;

  // handleForRestore: one record to download (cache first, avoid sets).
  void handleForRestore(const ServerRecord& record);
  // The server refused this computer's upload of `relative`: it holds a
  // version from another computer that this one never saw. That version
  // stays; the local file is kept as a conflict copy and the server's
  // version fetched in its place.
  void keepRefusedUpload(const std::string& relative);
  // checkforEmptyFolder: removes emptied folders from `path` upwards,
  // never the root.
  void checkforEmptyFolder(const std::string& path);
  // updateRecordToDBWithDirectoryContent: database renames for the files of
  // a folder renamed locally.
  // `uploadUnrecorded`: files without a row are uploaded under their new
  // name instead.
  void updateRecordToDBWithDirectoryContent(const RenameEntry& folder, bool uploadUnrecorded = false);

 private:
  ItemState itemState(const std::string& relative) const;
  bool download(const ServerRecord& record, const Step& step);
  void queueDownload(const ServerRecord& record, const Step& step);
  bool syncDelete(const std::string& path, const std::string& key, bool sessionLog);
  // Sets `relative` aside in ConflictData, with a session-log line naming
  // the copy; false when no copy could be made (it stays).
  bool keepAsConflictCopy(const std::string& relative);
  // The file holds what the server lacks: never uploaded, or edited since.
  bool heldOnlyHere(const std::string& relative);
  // The file at `file` is no longer the one the row of `rowPath` recorded
  // when last synced (the file was moved here from there).
  bool editedSinceItsRow(const std::string& rowPath, const std::string& file);
  // For an item leaving this computer because the server moved it out of
  // the selected folders: keeps what the server lacks as conflict copies.
  // True when the item itself is dealt with (set aside, or kept in place
  // because it could not be): nothing of it goes to the day's cache.
  bool keepWhatTheServerLacks(const std::string& path, const std::string& key);
  bool guardedMove(const std::string& from, const std::string& to);
  void localRename(const ServerRecord& record, const Step& step);
  void folderRename(const Step& step);
  // A folder now at `to` (relative) that was at `from`: the rows under
  // `from` are removed, and `to` and each folder below it recorded in sync.
  void folderRowsFollow(const std::string& from, const std::string& to);
  void liftExclusionsLater(const std::string& a, const std::string& b);
  // `relative` carried through the folder renames of this listing.
  std::string movedWithFolders(std::string relative) const;
  struct FolderMoved {
    std::string path;         // where the moves took `relative`
    std::string formerFolder; // the former name of the first folder moved above it
  };
  // `relative` carried through the folder renames done here in this
  // listing or a moment before (while their rows move); nullopt when none
  // lies above it.
  std::optional<FolderMoved> afterFolderMoves(const std::string& relative) const;
  void followFolderMove(const Step& step);
  // The database key of `key` while the rows of a folder renamed here may
  // not have moved yet.
  std::string rowKey(const std::string& key) const;

  const SyncRootFiles& files_;
  LocalCache& cache_;
  Ports ports_;
  ListingTally& tally_;
  RecordChangeTracker& recIds_;
  Hooks hooks_;

  void noteFolderRename(const RenameEntry& rename);

  mutable Mutex mu_;
  std::vector<RenameEntry> folderRenames_ ULMORA_GUARDED_BY(mu_);  // done here in this listing, in order
  // Done here recently, in order, whatever the listing: their rows move
  // through the input queue a few seconds later.
  std::vector<RenameEntry> rowRenames_ ULMORA_GUARDED_BY(mu_);
  // Former folder names the server made again under a folder moved here, in
  // this listing: which records came under them.
  struct FormerFolder {
    bool othersCame = false;  // a record not followed to the new name
    bool followed = false;    // one of this computer's uploads followed
    bool given = false;       // handed out by takeFormerFoldersToClear
  };
  std::map<std::string, FormerFolder> formerFolders_ ULMORA_GUARDED_BY(mu_);
};

}  // namespace ulmora
