#pragma once

#include <map>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "TestTempDir.h"
#include "platform/FileUtil.h"
#include "platform/ManualClock.h"
#include "sync/server/ListingTally.h"
#include "sync/server/LocalCache.h"
#include "sync/server/ServerRoadPorts.h"
#include "sync/ServerRoadTestSupport.h"
#include "sync/files/SyncRootFiles.h"

namespace ulmora::testing {

// Fakes of the server road's ports. Each records what it was asked to do as
// short lines ("restore /a=10"), so tests compare whole sequences.

class FakeQueue : public SyncQueuePort {
 public:
  std::vector<std::string> log;
  std::map<std::string, std::string> refIdPaths;  // ref id -> recorded path
  std::vector<std::string> pending;
  std::size_t queued = 0, writing = 0;
  int notificationRequests = 0;

  static std::string join(const Entries& e, const char* sep) {
    std::string out;
    for (const auto& [k, v] : e) out += (out.empty() ? "" : ",") + k + sep + v;
    return out;
  }
  void addFileToUpdate(const Entries& e) override { log.push_back("update " + join(e, "=")); }
  void addToUpdateRefID(const Entries& e) override { log.push_back("refid " + join(e, "=")); }
  void addRestoreFiles(const Entries& e) override { log.push_back("restore " + join(e, "=")); }
  void addFileToDelete(const std::string& p) override { log.push_back("dbdelete " + p); }
  void addFileToRename(const RenameEntry& r) override {
    log.push_back("dbrename " + r.originalPath + "->" + r.renamedPath);
  }
  void addFileToBackup(const std::string& p) override { log.push_back("backup " + p); }
  void addBackupFiles(const std::string& p) override { log.push_back("upload " + p); }
  std::optional<std::string> getFilePathforRefID(const std::string& id) override {
    auto it = refIdPaths.find(id);
    if (it == refIdPaths.end()) return std::nullopt;
    return it->second;
  }
  void addNotificationFilesInfo() override { ++notificationRequests; }
  void deleteFileFor(const std::string& code, bool only) override {
    log.push_back("deletejournal " + code + (only ? " read" : " all"));
  }
  void addServerDelete(const std::string& p) override { log.push_back("serverdelete " + p); }
  std::vector<std::string> pendingDownloadsFresh() override { return pending; }
  std::size_t restoreFileCollection() override { return queued; }
  std::size_t restoreSetWhichWritingToFile() override { return writing; }
  void ClearRestorePendingSet() override {}
};

class FakeFilters : public CaptureFilterPort {
 public:
  std::vector<std::string> log;
  std::multiset<std::string> excluded;  // currently excluded full paths
  std::vector<std::string> emptyFolders;
  std::set<std::string> foldersFromRestore;
  std::set<std::string> excludedNames;
  std::set<std::string> changedSinceDownload;
  bool isChangedSinceDownload(const std::string& p) override { return changedSinceDownload.count(p) != 0; }
  std::set<std::string> underWay;
  void downloadsUnderWay(const std::vector<std::string>& paths) override { underWay.insert(paths.begin(), paths.end()); }
  std::map<std::string, DownloadedFile> downloadedHere;
  void expectDownload(const std::string&, int64_t, Clock::WallTime) override {}
  std::set<std::string> writtenSinceQueued;  // path, or "path size" for one queued size only
  bool downloadWrittenSinceQueued(const std::string& p, const std::string& size) override {
    return writtenSinceQueued.count(p) != 0 || writtenSinceQueued.count(p + " " + size) != 0;
  }
  std::set<std::string> renamedHereTo;
  bool isRenamedHereTo(const std::string& p) override { return renamedHereTo.count(p) != 0; }
  std::optional<DownloadedFile> versionDownloadedHere(const std::string& p) override {
    auto it = downloadedHere.find(p);
    if (it == downloadedHere.end()) return std::nullopt;
    return it->second;
  }

  void addToExclude(const std::string& p) override { excluded.insert(p); }
  void removeFromExclude(const std::string& p) override {
    auto it = excluded.find(p);
    if (it != excluded.end()) excluded.erase(it);
  }
  void addToAvoidRename(const RenameEntry& r) override {
    log.push_back("avoidRename " + r.originalPath + "->" + r.renamedPath);
  }
  void addToAvoidDelete(const std::string& p, const std::string& size) override {
    log.push_back("avoidDelete " + p + " " + size);
    sizes[p] = size;
  }
  bool shouldDelete(const std::string& p, const std::string& current) override {
    auto it = sizes.find(p);
    if (it == sizes.end()) return true;
    return std::stoll(current) <= std::stoll(it->second) && current != it->second;
  }
  void AaddToAvoidAutoDelete(const std::string& p) override { log.push_back("autoDelete " + p); }
  void addToAvoidBackup(const std::string& p) override { log.push_back("avoidBackup " + p); }
  void addTomFileInfoChangedManualyList(const std::string&) override {}
  void clearRenameFilter() override { log.push_back("clearRenameFilter"); }
  void clearAutoDeleteList() override { log.push_back("clearAutoDeleteList"); }
  void setFoldersFromRestore(const std::set<std::string>& p) override { foldersFromRestore = p; }
  void addToAvoidFolderCreation(const std::string& p) override { log.push_back("avoidFolder " + p); }
  std::vector<std::string> emptyFoldersDuringReintialze() override { return emptyFolders; }
  void removeEmptyFolderFromList(const std::string& p) override {
    std::erase(emptyFolders, p);
  }
  bool shouldExcludeFile(const std::string& p) override {
    auto slash = p.rfind('/');
    return excludedNames.count(slash == std::string::npos ? p : p.substr(slash + 1)) > 0;
  }

  std::map<std::string, std::string> sizes;
};

// A database row per path: backup status, restore status, ref id.
class FakeStatus : public FileStatusPort {
 public:
  struct Row {
    std::string backup = "1";
    std::string restore = "1";
    std::string refId;
    std::optional<RecordedFileFacts> recorded{};  // none: the row records nothing to compare
  };
  std::map<std::string, Row> rows;
  std::vector<std::string> asked;

  bool backupStatus(const std::string& p) override {
    asked.push_back(p);
    auto it = rows.find(p);
    return it != rows.end() && it->second.backup == "1";
  }
  bool restoreStatus(const std::string& p) override {
    auto it = rows.find(p);
    return it != rows.end() && it->second.restore == "1";
  }
  std::optional<BackupStatusAndRefId> backupStatusAndRefId(const std::string& p) override {
    asked.push_back(p);
    auto it = rows.find(p);
    if (it == rows.end()) return BackupStatusAndRefId{};
    return BackupStatusAndRefId{it->second.backup, it->second.refId};
  }
  int backupStatusDuringMismatch(const std::string& p) override {
    auto it = rows.find(p);
    return it == rows.end() ? 2 : std::stoi(it->second.backup);
  }
  std::optional<std::string> fileNameForRefId(const std::string& id) override {
    for (const auto& [path, row] : rows)
      if (!id.empty() && row.refId == id) return path;
    return std::nullopt;
  }
  std::optional<RecordedFileFacts> recordedFacts(const std::string& p) override {
    auto it = rows.find(p);
    return it == rows.end() ? std::nullopt : it->second.recorded;
  }
};

class FakeSelective : public SelectiveSyncCheck {
 public:
  std::vector<std::string> deselected;  // relative folder paths ending "/"
  std::string failsFor;                  // a path whose check throws
  bool checkForFileisUnderSSyncSet(const std::string& p) override {
    if (!failsFor.empty() && p == failsFor) throw std::runtime_error("selective-sync check failed");
    for (const auto& d : deselected)
      if (p.rfind(d, 0) == 0) return true;
    return false;
  }
};

class FakeRecent : public RecentItemsPort {
 public:
  std::vector<std::string> items;
  void setRecentlyModifiedItems(const std::string& full, const std::string& op) override {
    items.push_back(full + op);
  }
};

class FakeSessionLog : public SyncSessionLogPort {
 public:
  std::vector<std::string> lines;
  void syncDeleted(const std::string& p) override { lines.push_back("deleted " + p); }
  void syncRenamed(const std::string& from, const std::string& to) override {
    lines.push_back("renamed " + from + " -> " + to);
  }
  void conflictCopyKept(const std::string& p, const std::string& copy) override {
    lines.push_back("kept " + p + " as " + copy);
  }
};

// A sync root in a temporary folder with the cache over it and the fakes
// every piece of the road uses. The manual clock's day is 2020-01-01.
struct RoadWorld {
  TestTempDir tmp;
  std::string root = tmp.sub("Sync");
  SyncRootFiles files{root};
  ManualClock clock;
  FakeQueue queue;
  FakeFilters filters;
  FakeStatus status;
  ListingTally tally;
  LocalCache cache{files, clock, filters, queue, tally};

  RoadWorld() { fileutil::makeDirectories(root); }
  // A file under the root with the given modification time.
  std::string put(const std::string& rel, const std::string& text, Clock::WallTime when) {
    std::string p = tmp.writeFile("Sync" + rel, text);
    setModified(p, when);
    return p;
  }
  std::optional<std::string> read(const std::string& rel) const { return fileutil::readFile(root + rel); }
};

}  // namespace ulmora::testing
