#pragma once

#include <optional>
#include <string>
#include <vector>

#include "database/BackupStatusAndRefId.h"
#include "platform/Clock.h"
#include "service/ServerRecord.h"

namespace ulmora {

// What the sync road decides for one record of a change listing, as pure
// functions of the record, the local items and the database's answers. The
// RecordApplier gathers those facts, asks these functions and carries out
// the plan; so the decision tables are tested here without any file.

// One local item as it was when the record was judged.
struct ItemState {
  bool exists = false;
  bool isFolder = false;
  std::optional<Clock::WallTime> modified;
  std::optional<int64_t> size;  // files only
};

struct RecordFacts {
  ServerRecord record;
  std::string operation;
  std::optional<Clock::WallTime> serverTime;  // the record's time (local time)

  ItemState local;  // the item at the record's path
  ItemState old;    // the item at the record's former path (renames)
  bool newSideHidden = false;  // selective sync leaves the path out
  bool oldSideHidden = false;

  // The database, about the record's path.
  bool backedUp = false;
  bool restored = false;
  std::optional<RecordedFileFacts> recorded;  // date and size when last synced
  // The capture, about the file a download wrote there: changed since.
  bool changedSinceDownload = false;
  // ...and about the file a download last wrote there, which the row may
  // not record yet (an edit on top of it went up as one change with it).
  std::optional<ItemState> downloadedHere;
  std::optional<BackupStatusAndRefId> backupAndRefId;
  int backupStatusDuringMismatch = 2;  // 2: no row
  // ...and about the former path.
  bool oldBackedUp = false;
  // The file at the former path has the date and size its row recorded.
  bool oldUnchangedSinceSync = false;

  // Where the database keeps the file with the record's reference id, when
  // that may be used (checked safe, relative).
  std::optional<std::string> refIdPath;
  ItemState refIdItem;
  bool refIdPathBackedUp = false;
  // A rename whose names are both missing here is the echo of a rename this
  // computer made: the item was removed or moved here after it.
  bool renamedHere = false;
  // The record is the echo of a rename this computer made (whatever stands
  // at either name here now): the server's file at the new name is the one
  // that was here under the former name.
  bool echoOfRenameHere = false;
  // A changed file missing here whose path lies under the former name of a
  // folder the server moved and this computer followed a moment ago: that
  // former name, where the move took the path, and what stands there.
  std::string movedFolder;
  std::optional<std::string> movedPath;
  ItemState movedItem;

  bool isReinitialize = false;
  bool shouldRestoreFileDirectly = false;
};

// The local file is no longer the one the row recorded when it was last
// synced: an edit not yet uploaded, perhaps not even reported yet. Rows of a
// download still under way (not restored) record no local file to compare.
bool editedSinceSync(const RecordFacts& facts);

// The record's size and the local file's size are both known and differ
// (or those of `item` and `serverSize`).
bool sizeDiffers(const RecordFacts& facts);
bool sizeDiffers(const ItemState& item, const std::string& serverSize);

enum class TimeOrder { kEqual, kServerNewer, kServerOlder };
// At whole seconds; a missing time on either side counts as equal.
TimeOrder compareTimes(const std::optional<Clock::WallTime>& server,
                       const std::optional<Clock::WallTime>& local);

struct Step {
  enum class Kind {
    // Download of the record's path: cache first when asked, then
    // {fname: ref_id} to update (or the marker line), avoid sets, the
    // download. Before it, a local file there that is not in sync (or any
    // local file, with conflictAlways) is set aside as a conflict copy.
    kDownload,
    kRefIdUpdate,      // {fname: ref_id} or the marker line
    kUpload,
    kSyncDelete,       // `path` into the cache, database row `key` removed;
                       // with keepUnsynced, what the server lacks goes to ConflictData
    kMoveThenDelete,   // `path` moved to `target` (guarded), then deleted under `key`
    kLocalRename,      // `path` -> `target`, database rename `key` -> `target`
    kFolderRename,     // `path` -> `target` for a folder, its files renamed in the database
    kFolderRowsFollow, // a folder already at `target`: the rows under `path` go, its folders are recorded
    kQueueDbDelete,    // database row `key` removed
    kCheckEmptyFolder, // emptied folders from `path` upwards removed
    kAddServerFolder,  // the record kept for the listing's folder list
    kAddDeleteFolder,  // `path` kept for the listing's folder removal
    kRestoreAtNewPlaceOrDownload,  // cached copy of the former name at fname, else a download
    kMoveThenDownload, // cache first; `path` moved to fname when `moveFirst`; then the download
    // `path` went up from here under the former name `key` of a folder the
    // server had moved just before, and is at `target` here: it goes up
    // there, and the server's copy leaves with the former folder.
    kFollowFolderMove,
  };
  Kind kind = Kind::kDownload;
  std::string path{};
  std::string target{};
  std::string key{};
  int marker = 0;
  bool cacheFirst = true;
  bool avoidBackup = false;
  bool avoidDelete = true;
  bool conflictAlways = false;
  bool keepLocalEdit = false;  // kDownload: the local file is an edit; set it aside first
  bool sessionLog = false;
  bool moveFirst = false;
  bool checkParentAfter = false;  // kLocalRename: empty folders above `path` go afterwards
  bool downloadIfRenameFails = true;
  // kSyncDelete of an item the server moved where this computer does not
  // sync: a file (or a file inside the folder) whose content the server
  // lacks is kept as a conflict copy instead of going to the day's cache.
  bool keepUnsynced = false;

  bool operator==(const Step&) const = default;
};

struct Plan {
  std::vector<Step> steps;
  bool bookkeeping = false;  // the record-change id is noted afterwards
  std::string note;          // why nothing is done, for the trace
  std::vector<std::string> traces;  // lines traced before the steps
  // A server rename with neither name here: the local file looked for under
  // the former name (relative), traced as its full path.
  std::optional<std::string> localFileOldPath;
};

// Operations "4" (added or changed) and "2" (deleted), and any other code.
Plan decideRecord(const RecordFacts& facts);

}  // namespace ulmora
