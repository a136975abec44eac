#include "sync/server/ServerRenameDecision.h"

#include "sync/status/SyncTraceTexts.h"

namespace ulmora {
namespace {

using Kind = Step::Kind;

bool endsWithSlash(const std::string& p) { return !p.empty() && p.back() == '/'; }

Step downloadStep(int marker) {
  Step s{Kind::kDownload, {}, {}, {}, marker};
  s.avoidBackup = true;
  return s;
}

Step handleForRestore() {
  Step s{Kind::kDownload};
  s.avoidBackup = true;
  return s;
}

Step syncDeleteOld(const RecordFacts& f) {
  return Step{Kind::kSyncDelete, f.record.fnameOld, {}, f.record.fnameOld};
}

// The server moved the item where selective sync leaves it out: it leaves
// this computer. What it holds that the server lacks (an edit made here, a
// file never uploaded) must not end in the day's cache, which is swept.
Step hideOld(const RecordFacts& f) {
  Step s = syncDeleteOld(f);
  s.keepUnsynced = true;
  return s;
}

Step localRename(const std::string& from, const std::string& to, bool checkParent) {
  Step s{Kind::kLocalRename, from, to, from};
  s.checkParentAfter = checkParent;
  return s;
}

// Moving the local copy to the new name and fetching over it there is only
// safe for the copy the server already has. A copy changed after its upload
// is newer than the server's; the database may still call it uploaded while
// the capture has not yet reported the change, and the fetch would write over
// the edit.
bool movableUnderServerCopy(bool backedUp, const RecordFacts& f, const ItemState& item) {
  return backedUp && compareTimes(f.serverTime, item.modified) == TimeOrder::kServerNewer;
}

}  // namespace

Plan decideServerRename(const RecordFacts& f) {
  Plan plan;  // renames never note the record-change id
  const auto& fname = f.record.fname;
  const auto& fnameOld = f.record.fnameOld;
  if (fnameOld.empty()) {
    plan.note = "rename without a former path";
    return plan;
  }
  const bool onlyNewHidden = f.newSideHidden && !f.oldSideHidden;
  const bool onlyOldHidden = f.oldSideHidden && !f.newSideHidden;
  const bool folder = endsWithSlash(fname) || endsWithSlash(fnameOld);

  // A: neither name is here.
  if (!f.local.exists && !f.old.exists) {
    if (f.renamedHere) {
      // Fetching it back would undo a delete or move made here since; that
      // change reaches the server on its own.
      plan.note = "renamed here, then removed or moved here";
      // Nor may a folder's rows stay under its former name.
      if (endsWithSlash(fnameOld)) plan.steps.push_back({Kind::kFolderRowsFollow, fnameOld, fname});
      return plan;
    }
    if (folder) {
      if (!onlyNewHidden) plan.steps.push_back({Kind::kAddServerFolder});
      return plan;
    }
    if (onlyNewHidden) return plan;
    if (onlyOldHidden) {
      plan.steps.push_back(handleForRestore());
      return plan;
    }
    plan.localFileOldPath = f.refIdPath.value_or(fnameOld);
    if (f.refIdPath && f.refIdItem.exists && !f.refIdItem.isFolder) {
      // The database knows the file under a third name.
      const std::string& p = *f.refIdPath;
      if (compareTimes(f.serverTime, f.refIdItem.modified) == TimeOrder::kEqual) {
        plan.steps.push_back(localRename(p, fname, true));
      } else {
        const bool movable = movableUnderServerCopy(f.refIdPathBackedUp, f, f.refIdItem);
        // Marked by the database's word alone; a backed-up copy that is
        // newer than the server's stays where it is (see above).
        Step s{Kind::kMoveThenDownload, p, fname, {}, f.refIdPathBackedUp ? 2 : 1};
        s.moveFirst = movable;
        s.avoidBackup = !movable;
        s.avoidDelete = false;
        plan.steps.push_back(s);
      }
      return plan;
    }
    Step s = downloadStep(3);
    s.kind = Kind::kRestoreAtNewPlaceOrDownload;
    plan.steps.push_back(s);
    return plan;
  }

  // B: only the new name is here.
  if (!f.old.exists) {
    if (onlyNewHidden) return plan;
    if (folder) {
      // Moved here (or the server's move of the move made here): the folder
      // rows must not stay under the former name, where a later start would
      // take them for folders the user removed.
      if (endsWithSlash(fnameOld)) plan.steps.push_back({Kind::kFolderRowsFollow, fnameOld, fname});
      return plan;
    }
    const TimeOrder order = compareTimes(f.serverTime, f.local.modified);
    if (f.echoOfRenameHere && !f.local.isFolder &&
        (order == TimeOrder::kServerOlder || (order == TimeOrder::kEqual && sizeDiffers(f)))) {
      // The server moved the file as it was when renamed here; what stands
      // here was written since, here (an edit before or after the rename
      // not sent yet). It goes up at the new name, checked against the
      // version the former name last synced, so another computer's version
      // written there meanwhile is not replaced unseen. The former name's
      // row stands for nothing here now.
      plan.steps.push_back({Kind::kUpload});
      plan.steps.push_back({Kind::kQueueDbDelete, {}, {}, fnameOld});
      return plan;
    }
    switch (order) {
      case TimeOrder::kEqual:
        // A move may carry a write made in the same second as a local edit
        // here. Taking the reference id would record the edit as the
        // server's copy: never uploaded, never replaced.
        if (sizeDiffers(f)) {
          Step s = downloadStep(4);
          s.keepLocalEdit = editedSinceSync(f);
          plan.steps.push_back(s);
          break;
        }
        plan.steps.push_back({Kind::kRefIdUpdate, {}, {}, {}, 4});
        plan.steps.push_back({Kind::kQueueDbDelete, {}, {}, fnameOld});
        break;
      case TimeOrder::kServerNewer:
        plan.steps.push_back(downloadStep(5));
        break;
      case TimeOrder::kServerOlder:
        if (f.backupStatusDuringMismatch == 0) {
          plan.note = "local copy newer and not uploaded yet";
        } else if (f.backupStatusDuringMismatch == 2) {
          plan.steps.push_back(downloadStep(6));
        } else if (!f.shouldRestoreFileDirectly && f.restored) {
          plan.steps.push_back({Kind::kUpload});
        } else {
          plan.steps.push_back(downloadStep(7));
        }
        break;
    }
    return plan;
  }

  // C: only the former name is here.
  if (!f.local.exists) {
    if (endsWithSlash(fname) && endsWithSlash(fnameOld)) {
      if (onlyNewHidden) {
        plan.steps.push_back(hideOld(f));
      } else if (!onlyOldHidden) {
        plan.steps.push_back({Kind::kFolderRename, fnameOld, fname});
      }
      return plan;
    }
    if (f.old.isFolder) {
      plan.note = "a local folder stands at the former name of a file";
      return plan;
    }
    bool differ = compareTimes(f.serverTime, f.old.modified) != TimeOrder::kEqual;
    if (onlyNewHidden) {
      plan.steps.push_back(hideOld(f));
    } else if (onlyOldHidden) {
      plan.steps.push_back(handleForRestore());
    } else if (differ) {
      Step s{Kind::kMoveThenDownload, fnameOld, fname, {}, 8};
      s.moveFirst = movableUnderServerCopy(f.oldBackedUp, f, f.old);
      s.avoidBackup = true;
      s.avoidDelete = true;
      plan.steps.push_back(s);
    } else if (sizeDiffers(f.old, f.record.size)) {
      // The server's file was written in the same second as the copy here
      // (an edit here racing one made before the move), yet it is another
      // file. Moved to the new name, the copy here would be taken for the
      // server's and never sent nor replaced: what it holds that the server
      // lacks is set aside, and the server's file is fetched.
      plan.steps.push_back(hideOld(f));
      Step s = downloadStep(8);
      s.cacheFirst = false;  // the copy just set aside is not the server's
      plan.steps.push_back(s);
    } else {
      plan.steps.push_back(localRename(fnameOld, fname, false));
    }
    return plan;
  }

  // D: both names are here.
  if (onlyNewHidden) {
    plan.steps.push_back(hideOld(f));
    return plan;
  }
  if (onlyOldHidden) return plan;
  if (folder) {
    plan.steps.push_back({Kind::kAddDeleteFolder, fnameOld});
    return plan;
  }
  const bool sameName = fname == fnameOld;
  // A former name unchanged since its sync holds nothing the server lacks: it
  // is just the old name of the renamed file, and kept it would be a copy no
  // other computer has. It goes to the cache (nothing is lost); what stands at
  // the new name is judged as before.
  if (!sameName && !f.old.isFolder && f.oldBackedUp && f.oldUnchangedSinceSync)
    plan.steps.push_back(syncDeleteOld(f));
  if (sameName && compareTimes(f.serverTime, f.old.modified) == TimeOrder::kEqual) {
    plan.steps.push_back({Kind::kRefIdUpdate, {}, {}, {}, 9});
  } else if (compareTimes(f.serverTime, f.local.modified) == TimeOrder::kEqual) {
    plan.steps.push_back({Kind::kRefIdUpdate, {}, {}, {}, 10});
  } else if (compareTimes(f.serverTime, f.old.modified) == TimeOrder::kServerNewer || sameName ||
             !f.backedUp) {
    plan.note = "both names present; nothing to follow";
  } else {
    if (!f.record.refId.empty()) plan.traces.push_back(synctexts::adfileToUpdate8(fname, f.record.refId));
    Step s{Kind::kDownload, {}, {}, {}, 11};
    s.cacheFirst = false;
    s.avoidDelete = false;
    plan.steps.push_back(s);
  }
  return plan;
}

}  // namespace ulmora
