#include "sync/status/RecentItems.h"

#include <algorithm>
#include <utility>

#include "foundation/QLBackupProgressLogger.h"

namespace ulmora {

RecentItems::RecentItems(std::string recentItemsFile) : file_(std::move(recentItemsFile)) {}

void RecentItems::setRecentlyModifiedItems(const std::string& path, const std::string& operation) {
  PropertyList entry(PropertyList::Dict{});
  entry.set(kFileNameKey, path);
  entry.set(kOperationKey, operation);
  setRecentlyModifiedItems(entry);
}

namespace {

PropertyList::Array entriesOf(const std::optional<PropertyList>& list) {
  if (!list || !list->asArray()) return {};
  return *list->asArray();
}

}  // namespace

PropertyList::Array RecentItems::fileEntries() const {
  MutexLock lock(fileMu_);
  return entriesOf(file_.contents());
}

void RecentItems::setRecentlyModifiedItems(const PropertyList& entry) {
  if (!entry.isDict()) return;
  MutexLock lock(fileMu_);
  const std::optional<PropertyList>& current = file_.contents();
  PropertyList::Array list{entry};
  for (const auto& old : entriesOf(current)) {
    if (old == entry) return;  // already listed: keeps its place
    list.push_back(old);
  }
  if (list.size() > kMaxItems) list.resize(kMaxItems);
  if (!file_.write(PropertyList(std::move(list))))
    daemonTrace("recent items: cannot write " + file_.path());
}

void RecentItems::storeRecentItem(const std::string& path, int status) {
  PropertyList entry(PropertyList::Dict{});
  entry.set(kFileNameKey, path);
  entry.set(kOpTypeKey, status == 1 ? "Renamed" : "Deleted");
  MutexLock lock(mu_);
  if (recent_.size() >= kMaxItems) recent_.erase(recent_.begin(), recent_.end() - (kMaxItems - 1));
  recent_.push_back(std::move(entry));
}

void RecentItems::addFileUpdatedFromCache(const std::string& path) {
  MutexLock lock(mu_);
  fromCache_.push_back(path);
}

void RecentItems::clearItems() {
  MutexLock lock(mu_);
  recent_.clear();
}

PropertyList::Array RecentItems::recentItems() const {
  MutexLock lock(mu_);
  return recent_;
}

std::vector<std::string> RecentItems::filesUpdatedFromCache() const {
  MutexLock lock(mu_);
  return fromCache_;
}

void RecentItems::sendRecentItemsList(const ReportSink& sink) {
  PropertyList::Array recent;
  std::vector<std::string> fromCache;
  {
    MutexLock lock(mu_);
    recent = recent_;
    fromCache.swap(fromCache_);
  }
  if (!sink) return;
  for (const auto& item : recent) {
    auto optype = item.stringFor(kOpTypeKey);
    if (optype == "Renamed") sink(item, kReportRenamed, 1);
    else if (optype == "Deleted") sink(item, kReportDeleted, 1);
  }
  for (const auto& path : fromCache) {
    PropertyList record(PropertyList::Dict{});
    record.set(kFileNameKey, path);
    record.set("fileTransferedStatus", "Done");
    sink(record, kReportFromCache, 1);
  }
}

}  // namespace ulmora
