#pragma once

// Fakes of the rename and delete worker's queue and account, shared by its tests.
#include <algorithm>
#include <deque>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "sync/server/RenameDeleteDispatcher.h"

namespace ulmora::testing {

using Calls = std::vector<std::string>;

class FakeRenameDeleteQueue : public RenameDeleteQueue {
 public:
  bool CheckIfAnyRenameDeleteOrCreateDirOccured() override { return !sets.empty(); }
  std::optional<PropertyList> parseEventsToGetEventSets() override {
    if (sets.empty()) return std::nullopt;
    PropertyList s = sets.front();
    sets.pop_front();
    return s;
  }
  void deleteFileFor(const std::string& code, bool) override { add("consumed:" + code); }
  void addDeleteFiles(const std::string& p) override { add("delete:" + p); }
  void addRenamedFiles(const RenameEntry& r) override { add("rename:" + r.originalPath + ">" + r.renamedPath); }
  void addBackupFiles(const std::string& p) override { add("upload:" + p); }
  void addFileToBackup(const std::string&) override {}
  void addDirectory(const std::string& p) override { add("mkdir:" + p); }
  void setShouldReturnBackupEntries(bool v) override {
    uploadsOn = v;
    add(v ? "uploads:on" : "uploads:off");
  }
  void deleteFileEntryFromRDDB(const std::string& p) override { add("rddb:" + p); }

  void add(std::string s) { calls.push_back(std::move(s)); }
  void pushRename(std::vector<RenameEntry> rs) {
    PropertyList::Array a;
    for (auto& r : rs) a.push_back(r.toPropertyList());
    PropertyList s(PropertyList::Dict{});
    s.set("rename", PropertyList(a));
    sets.push_back(s);
  }
  void pushDelete(std::vector<std::string> ps) {
    PropertyList::Array a;
    for (auto& p : ps) a.emplace_back(p);
    PropertyList s(PropertyList::Dict{});
    s.set("delete", PropertyList(a));
    sets.push_back(s);
  }
  std::deque<PropertyList> sets;
  bool uploadsOn = true;
  Calls calls;
};

class FakeRenameDeleteEnv : public RenameDeleteEnvironment {
 public:
  std::string syncRootPath() override { return root; }
  std::string syncUserName() override { return "u123"; }
  std::string accountUserName() override { return "ann@example"; }
  void reloadAccountUserNameIfEmpty() override {}
  bool isListingRunning() override { return listing; }
  void addRenamedPathsDuringListing(const std::vector<std::string>& olds) override {
    duringListing.insert(olds.begin(), olds.end());
  }
  void clearRenamedPathDuringListing() override { duringListing.clear(); }
  bool isUploadRunning() override { return false; }
  void cancelUpload() override { add("cancelUpload"); }
  bool uploadSetHasPrefix(const std::string&) override { return false; }
  std::string deleteJournalFolder() override { return root + "/journal"; }
  void queryMainDB(bool) override { add("queryMainDB"); }
  void fetchServerVersion(const std::string& path) override { add("fetch:" + path); }
  std::optional<engineset::SeenVersion> seenVersion(const std::string& path) override {
    auto it = rows.find(path);
    return it == rows.end() ? std::nullopt : std::optional(it->second);
  }
  void renamedOnServer(const std::string& from, const std::string& to) override { add("renamed:" + from + ">" + to); }
  std::map<std::string, std::string> renamesAfterBackup() override { return held; }
  std::optional<std::string> takeRenameAfterBackup(const std::string& old) override {
    auto it = held.find(old);
    if (it == held.end()) return std::nullopt;
    std::string n = it->second;
    held.erase(it);
    return n;
  }
  bool isInBackupList(const std::vector<std::string>&) override { return underUpload; }
  std::vector<std::string> filterDeletedFolderToavoid(const std::vector<std::string>& paths) override {
    std::vector<std::string> gone;
    for (const auto& p : paths)
      if (!existing.count(p)) gone.push_back(p);
    return gone;
  }
  void clearDeleteFilter() override {}
  bool AreAllToBeExcludedDelete(const std::vector<std::string>&) override { return false; }
  void setMonitorToolTip(const std::string& s) override { add("status:" + s); }
  void removeItemFromToolTipFor(const std::string&) override {}
  void sendToFinder(const std::vector<std::string>& paths, int type, bool) override {
    std::string s = "finder" + std::to_string(type) + ":";
    for (const auto& p : paths) s += p + ";";
    add(s);
  }
  void postInSyncList(const std::vector<std::string>&) override {}
  void setRecentlyModifiedItems(const std::string&, const std::string&) override {}
  void setLastRenamedInfo(const std::string&, const std::string&) override {}
  bool hasImageFiles() override { return images; }
  void updateThumbnailController(const std::string& o, const std::string& n) override { add("thumb:" + o + ">" + n); }
  void startPushing(const std::string& id, const std::string& text) override { add("push:" + id + ":" + text); }
  void calculateQuota() override { add("quota"); }
  void passwordChangedFromWeb() override { add("password"); }
  void updateSSWindowRefresh() override {}
  std::string createSessionFileForOperation(int op, const std::string& name) override {
    return name + std::to_string(op);
  }
  void writeSessionLog(const std::string& file, const std::string& text, bool) override {
    session.push_back(file + "|" + text);
  }
  void logSyncInteractiveSession(const std::string&, bool) override {}

  void add(std::string s) { calls.push_back(std::move(s)); }
  bool has(const std::string& s) const { return std::find(calls.begin(), calls.end(), s) != calls.end(); }
  std::string root = "/home/ann/Sync";
  bool listing = false, underUpload = false, images = false;
  std::set<std::string> existing, duringListing;
  std::map<std::string, std::string> held;
  std::map<std::string, engineset::SeenVersion> rows;  // the synced versions the rows record
  Calls calls, session;
};

}  // namespace ulmora::testing
