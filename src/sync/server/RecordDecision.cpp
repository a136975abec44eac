#include "sync/server/RecordDecision.h"

#include <algorithm>
#include <charconv>
#include <chrono>

#include "database/FileStateSchema.h"
#include "journal/SyncRecordBuilder.h"
#include "platform/FileUtil.h"
#include "platform/PropertyList.h"

namespace ulmora {

TimeOrder compareTimes(const std::optional<Clock::WallTime>& server,
                       const std::optional<Clock::WallTime>& local) {
  if (!server || !local) return TimeOrder::kEqual;
  using std::chrono::floor;
  using std::chrono::seconds;
  auto s = floor<seconds>(*server);
  auto l = floor<seconds>(*local);
  if (s == l) return TimeOrder::kEqual;
  return s > l ? TimeOrder::kServerNewer : TimeOrder::kServerOlder;
}

bool editedSinceSync(const RecordFacts& f) {
  if (!f.local.exists || f.local.isFolder) return false;
  // The row is written from the file as it is a moment after the download;
  // an edit in that moment is recorded as the downloaded copy.
  if (f.changedSinceDownload) return true;
  if (!f.restored || !f.recorded) return false;
  auto known = [](const std::optional<std::string>& text) {
    return text && !text->empty() && *text != filestate::kNotAvailable;
  };
  const auto& [date, size] = *f.recorded;
  if (known(date) && f.local.modified && syncrecord::dateText(*f.local.modified) != *date) return true;
  return known(size) && f.local.size && std::to_string(*f.local.size) != *size;
}

bool sizeDiffers(const ItemState& item, const std::string& serverSize) {
  if (!item.size || serverSize.empty()) return false;
  int64_t server = 0;
  const auto [end, ec] = std::from_chars(serverSize.data(), serverSize.data() + serverSize.size(), server);
  if (ec != std::errc() || end != serverSize.data() + serverSize.size()) return false;
  return server != *item.size;
}

bool sizeDiffers(const RecordFacts& f) { return sizeDiffers(f.local, f.record.size); }

namespace {

// A file the download writes is the server's copy: capture must not send it
// back as a local change. Sent back, it costs a run and a message to every
// other computer, and if the server's copy was renamed or deleted meanwhile,
// it brings the old path back.
Step download(int marker, bool avoidBackup) {
  Step s{Step::Kind::kDownload, {}, {}, {}, marker};
  s.avoidBackup = avoidBackup;
  return s;
}

std::string withoutBlanks(std::string text) {
  std::erase(text, ' ');
  return text;
}

// The reference id the row recorded for the record's path; empty when the
// row has none yet (an upload the listings have not named).
std::string recordedRefId(const RecordFacts& f) {
  if (!f.backupAndRefId) return {};
  std::string stored = withoutBlanks(f.backupAndRefId->refId.value_or(""));
  return stored == filestate::kNotAvailable ? std::string() : stored;
}

// The reference id names a server file and stays with it through its
// uploads. The row's file is unchanged here, yet the server has another
// file at the path (deleted and written again, or moved over it): the copy
// here is no longer the server's, whatever its time and size say. Our own
// upload of an edit keeps the id; a new file of ours has none recorded yet.
bool replacedOnServer(const RecordFacts& f, bool edited) {
  if (edited || !f.restored || !f.recorded || f.record.refId.empty()) return false;
  const std::string stored = recordedRefId(f);
  return !stored.empty() && stored != withoutBlanks(f.record.refId);
}

// The record names the very version this computer last synced: the row,
// in sync, recorded the server's date and size for the same server file. A
// listing brings such a record again when its index was held back while
// downloads ran, or as the echo of our own upload; the server then has
// nothing newer, and an edit made here since is this computer's to send, not
// a race it lost.
bool lastSyncedHere(const RecordFacts& f) {
  if (!f.backedUp || !f.restored || !f.recorded || !f.serverTime || f.record.refId.empty()) return false;
  const std::string stored = recordedRefId(f);
  if (stored.empty() || stored != withoutBlanks(f.record.refId)) return false;
  const auto& [date, size] = *f.recorded;
  return date && size && *date == syncrecord::dateText(*f.serverTime) && *size == f.record.size;
}

// The record names the file a download last wrote here, which the row does
// not record yet: the user's edit on top of it went up with it as one
// change, or the row waits for the capture. As above, an edit since is this
// computer's to send.
bool lastDownloadedHere(const RecordFacts& f) {
  if (!f.downloadedHere || !f.downloadedHere->size || !f.downloadedHere->modified || !f.serverTime) return false;
  return std::to_string(*f.downloadedHere->size) == f.record.size &&
         compareTimes(f.serverTime, f.downloadedHere->modified) == TimeOrder::kEqual;
}

Plan changed(const RecordFacts& f) {
  Plan plan;
  plan.bookkeeping = true;
  if (f.record.isFolder()) {
    plan.note = "folder record: folders follow the listing's folder lists";
    return plan;
  }
  if (f.local.exists && f.local.isFolder) {
    plan.note = "a local folder stands where the server has a file; left alone";
    return plan;
  }
  if (!f.local.exists) {
    // This computer's upload reached the server after another computer's
    // move of its folder, and made the former name there again; the move
    // took the file along here. The user put it in the folder, wherever the
    // folder is now: it goes up there, and does not come back to the former
    // name.
    if (f.movedPath && !f.movedFolder.empty() && f.movedItem.exists && !f.movedItem.isFolder &&
        f.movedItem.size && f.serverTime && !f.record.size.empty() &&
        compareTimes(f.serverTime, f.movedItem.modified) == TimeOrder::kEqual &&
        !sizeDiffers(f.movedItem, f.record.size)) {
      plan.steps.push_back({Step::Kind::kFollowFolderMove, f.record.fname, *f.movedPath, f.movedFolder});
      return plan;
    }
    // The file this computer uploaded may sit under another name here (its
    // folder moved by the server's listing before this entry came): that
    // copy is the server's file, and fetching it again would leave two.
    if (f.refIdPath && *f.refIdPath != f.record.fname && f.refIdItem.exists && !f.refIdItem.isFolder && f.refIdItem.size &&
        f.refIdPathBackedUp && compareTimes(f.serverTime, f.refIdItem.modified) == TimeOrder::kEqual &&
        !sizeDiffers(f.refIdItem, f.record.size)) {
      Step s{Step::Kind::kLocalRename, *f.refIdPath, f.record.fname, *f.refIdPath};
      s.checkParentAfter = true;
      plan.steps.push_back(s);
      return plan;
    }
    plan.steps.push_back(download(13, true));
    return plan;
  }
  // A row that says "in sync" about a file edited since must not let the
  // server's copy replace the edit.
  const bool edited = editedSinceSync(f);
  if (edited && (lastSyncedHere(f) || lastDownloadedHere(f))) {
    plan.note = "the server's copy is the one last synced here; the local edit goes up";
    plan.steps.push_back({Step::Kind::kUpload});
    return plan;
  }
  switch (compareTimes(f.serverTime, f.local.modified)) {
    case TimeOrder::kServerNewer: {
      Step s = download(15, true);
      s.conflictAlways = f.isReinitialize;
      s.keepLocalEdit = edited;
      plan.steps.push_back(s);
      break;
    }
    case TimeOrder::kEqual:
      // Two sides can write a file within one second; the times then agree
      // although the contents do not, and only taking the reference id
      // would leave this side on an older version for good. The copy here
      // lost that race: whether or not its upload reached the server first,
      // it is kept as a conflict copy before the server's copy replaces it.
      // So is a copy whose server file was replaced within that second.
      if (sizeDiffers(f.local, f.record.size) || replacedOnServer(f, edited)) {
        Step s = download(15, false);
        s.keepLocalEdit = true;
        plan.steps.push_back(s);
        break;
      }
      plan.steps.push_back({Step::Kind::kRefIdUpdate, {}, {}, {}, 14});
      plan.bookkeeping = false;
      break;
    case TimeOrder::kServerOlder:
      if (!f.backedUp) {
        plan.note = "local copy newer and not uploaded yet";
      } else if (!f.shouldRestoreFileDirectly && f.restored) {
        plan.steps.push_back({Step::Kind::kUpload});
      } else {
        Step s = download(16, true);
        s.keepLocalEdit = edited;
        plan.steps.push_back(s);
      }
      break;
  }
  return plan;
}

Plan deleted(const RecordFacts& f) {
  Plan plan;
  const auto& fname = f.record.fname;
  if (f.record.isFolder()) {
    // The files of a deleted folder arrive one by one; the emptied folder
    // goes with the listing's folder lists.
    plan.bookkeeping = true;
    plan.note = "folder record: removed by the listing's folder lists once empty";
    return plan;
  }
  if (f.local.exists) {
    plan.bookkeeping = true;
    if (f.local.isFolder) {
      plan.note = "a local folder stands where the server deleted a file; left alone";
      return plan;
    }
    bool backedUp = false;
    if (f.backupAndRefId) {
      const auto& status = f.backupAndRefId->backupStatus;
      backedUp = status && PropertyList(*status).boolValue();
    }
    const std::string stored = recordedRefId(f);
    if (!backedUp) {
      plan.note = "fileDeletedLocally failed1: local copy not uploaded";
      // With no row at all the file came here by a local move the server
      // lost with its folder: nothing lists it for upload, so it would stay
      // on this side only.
      const bool noRow = f.backupAndRefId && !f.backupAndRefId->backupStatus &&
                         !f.backupAndRefId->refId;
      if (noRow) plan.steps.push_back({Step::Kind::kUpload});
    } else if (editedSinceSync(f)) {
      plan.note = "fileDeletedLocally failed1: local copy edited since it was last synced";
    } else if (!stored.empty() && stored != f.record.refId) {
      plan.note = "fileDeletedLocally failed1: local copy is another server file";
    } else {
      Step s{Step::Kind::kSyncDelete, fname, {}, fname};
      s.sessionLog = true;
      plan.steps.push_back(s);
    }
    return plan;
  }
  // Missing under the server's name: the database may know the file under
  // another local name with the same reference id.
  bool movedAway = false;
  if (f.refIdPath && f.refIdItem.exists && !f.refIdItem.isFolder) {
    bool skip = !f.refIdPathBackedUp &&
                compareTimes(f.serverTime, f.refIdItem.modified) != TimeOrder::kEqual;
    if (!skip) {
      Step s{Step::Kind::kMoveThenDelete, *f.refIdPath, fname, *f.refIdPath};
      s.sessionLog = true;
      plan.steps.push_back(s);
      movedAway = true;
    }
  }
  plan.steps.push_back({Step::Kind::kQueueDbDelete, {}, {}, fname});
  // Only a folder this delete emptied by taking a file out of it may go. A
  // folder that was already empty (its last file deleted here, the server's
  // record being the echo) still stands on the server and the other
  // computers: removing it would send its own delete and take it from them.
  if (movedAway) {
    plan.steps.push_back({Step::Kind::kCheckEmptyFolder, fileutil::parentPath(*f.refIdPath)});
  }
  return plan;
}

}  // namespace

Plan decideRecord(const RecordFacts& f) {
  if (f.operation == ServerRecord::kCodeChanged) return changed(f);
  if (f.operation == ServerRecord::kCodeDeleted) return deleted(f);
  Plan plan;
  plan.bookkeeping = true;
  plan.note = "operation without action";
  return plan;
}

}  // namespace ulmora
