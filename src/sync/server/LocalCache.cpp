#include "sync/server/LocalCache.h"

#include <charconv>
#include <chrono>
#include <ctime>

#include "foundation/QLUtility.h"
#include "platform/FileUtil.h"
#include "platform/Trace.h"
#include "service/ServerPath.h"
#include "sync/status/SyncTraceTexts.h"

namespace ulmora {
namespace {

using Area = SyncRootFiles::Area;
using MoveResult = SyncRootFiles::MoveResult;

const std::string kCacheRoot = "/" + std::string(SyncRootFiles::kCacheFolderName);

std::optional<int64_t> parseSize(std::string_view text) {
  int64_t value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || value < 0) return std::nullopt;
  return value;
}

// "name.ext" -> "name (n).ext"; a leading dot is part of the name.
std::string numbered(const std::string& relative, int n) {
  std::string parent = fileutil::parentPath(relative);
  std::string leaf = fileutil::lastComponent(relative);
  size_t dot = leaf.rfind('.');
  if (dot == 0 || dot == std::string::npos) dot = leaf.size();
  std::string name = leaf.substr(0, dot) + " (" + std::to_string(n) + ")" + leaf.substr(dot);
  return (parent == "/" ? "" : parent) + "/" + name;
}

}  // namespace

LocalCache::LocalCache(const SyncRootFiles& files, Clock& clock, CaptureFilterPort& filters,
                       SyncQueuePort& queue, ListingTally& tally)
    : files_(files), clock_(clock), filters_(filters), queue_(queue), tally_(tally) {}

std::string LocalCache::dayName(Clock::WallTime when) {
  std::time_t t = std::chrono::system_clock::to_time_t(when);
  std::tm local{};
  localtime_r(&t, &local);
  char buf[16];
  std::strftime(buf, sizeof buf, "%Y-%m-%d", &local);
  return buf;
}

bool LocalCache::matches(const Hit& hit, const std::string& modTime, const std::string& size) {
  auto serverTime = QLUtility::dateFromString(modTime);
  auto serverSize = parseSize(size);
  if (!serverTime || !serverSize) return false;
  using std::chrono::floor;
  using std::chrono::seconds;
  return floor<seconds>(*serverTime) == floor<seconds>(hit.modified) && *serverSize == hit.size;
}

bool LocalCache::moveToCache(std::string_view path) {
  auto rel = files_.check(path);
  if (!rel) return false;
  std::string target = kCacheRoot + "/" + dayName(clock_.wallNow()) + *rel;
  filters_.addTomFileInfoChangedManualyList(files_.fullPath(target));
  auto result = files_.move(*rel, target, Area::kUserItems, Area::kCacheToo, true);
  if (result == MoveResult::kTargetExists) {
    // The same path cached earlier today: the later copy takes the path. The
    // earlier one may be the only copy of what it holds (the server deleted
    // it, the folder has another file there now): it then stays, under a
    // fresh name.
    if (heldOnlyInCache(target, *rel)) {
      if (!keepUnderFreshName(target)) {
        traceLine("moveToCache left " + serverpath::forTrace(*rel) + ": the copy cached earlier today could not be kept");
        return false;
      }
    } else {
      files_.removeFromCache(target);
    }
    result = files_.move(*rel, target, Area::kUserItems, Area::kCacheToo, true);
  }
  if (result != MoveResult::kMoved) {
    traceLine("moveToCache failed for " + serverpath::forTrace(*rel));
    return false;
  }
  tally_.markCacheFileMoved();
  return true;
}

bool LocalCache::heldOnlyInCache(const std::string& cached, const std::string& item) const {
  auto earlier = files_.info(cached, Area::kCacheToo);
  if (!earlier || earlier->isSymlink) return false;  // a link's item lies in the trash
  if (!earlier->isFolder) {
    // The same size and time as the item cached now: the same content.
    auto now = files_.info(item);
    using std::chrono::floor;
    using std::chrono::seconds;
    return !now || now->isFolder || now->size != earlier->size ||
           floor<seconds>(now->modified) != floor<seconds>(earlier->modified);
  }
  // A folder holding only folders loses nothing.
  std::vector<std::string> pending{cached};
  for (size_t visited = 0; !pending.empty() && visited < 100000; ++visited) {
    std::string folder = std::move(pending.back());
    pending.pop_back();
    auto names = files_.list(folder, Area::kCacheToo);
    if (!names) continue;
    for (const auto& name : *names) {
      auto info = files_.info(folder + "/" + name, Area::kCacheToo);
      if (!info) continue;
      if (!info->isFolder) return true;
      pending.push_back(folder + "/" + name);
    }
  }
  return !pending.empty();  // too large to walk: kept
}

bool LocalCache::keepUnderFreshName(const std::string& cached) {
  for (int n = 2; n < 100; ++n) {
    auto result = files_.move(cached, numbered(cached, n), Area::kCacheToo, Area::kCacheToo, false);
    if (result == MoveResult::kMoved) return true;
    if (result != MoveResult::kTargetExists) return false;
  }
  return false;
}

std::optional<std::string> LocalCache::moveToCacheWithoutDate(std::string_view path) {
  auto rel = files_.check(path);
  if (!rel) return std::nullopt;
  std::string base = kCacheRoot + "/" + std::string(kConflictFolder) + *rel;
  for (int n = 1; n < 100; ++n) {
    std::string target = n == 1 ? base : numbered(base, n);
    auto result = files_.move(*rel, target, Area::kUserItems, Area::kCacheToo, true);
    if (result == MoveResult::kMoved) {
      filters_.addTomFileInfoChangedManualyList(files_.fullPath(target));
      return target;
    }
    if (result != MoveResult::kTargetExists) break;
  }
  traceLine("conflict copy could not be made for " + serverpath::forTrace(*rel));
  return std::nullopt;
}

std::optional<LocalCache::Hit> LocalCache::search(std::string_view relativePath) const {
  auto rel = files_.checkQuietly(relativePath);
  if (!rel) return std::nullopt;
  auto entries = files_.list(kCacheRoot, Area::kCacheToo);
  if (!entries) return std::nullopt;
  std::optional<Hit> best;
  for (const auto& entry : *entries) {
    if (entry == kConflictFolder) continue;
    std::string candidate = kCacheRoot + "/" + entry + *rel;
    auto info = files_.info(candidate, Area::kCacheToo);
    if (!info || info->isFolder) continue;
    if (!best || info->modified > best->modified) best = Hit{candidate, info->modified, info->size};
  }
  return best;
}

bool LocalCache::restorable(const Hit& hit) {
  auto info = files_.info(hit.path, Area::kCacheToo);
  if (!info || !info->isSymlink) return info.has_value();
  auto target = files_.readLink(hit.path, Area::kCacheToo);
  if (!target || !fileutil::exists(*target)) files_.removeFromCache(hit.path);
  return false;
}

bool LocalCache::restore(const Hit& hit, const std::string& targetRelative, const std::string& refId) {
  filters_.addTomFileInfoChangedManualyList(files_.fullPath(targetRelative));
  auto result = files_.move(hit.path, targetRelative, Area::kCacheToo, Area::kUserItems, true);
  if (result != MoveResult::kMoved) return false;
  if (!refId.empty()) queue_.addToUpdateRefID({{targetRelative, refId}});
  queue_.addFileToUpdate({{targetRelative, "Backup"}});
  tally_.markCacheFileMoved();
  tally_.countRestoreFromCache(files_.fullPath(targetRelative));
  return true;
}

bool LocalCache::moveFromCache(const Wanted& wanted) {
  auto rel = files_.check(wanted.name);
  if (!rel) return false;
  auto hit = search(*rel);
  if (!hit || !restorable(*hit) || !matches(*hit, wanted.modTime, wanted.size)) return false;
  return restore(*hit, *rel, wanted.refId);
}

bool LocalCache::moveFromCacheAtLocation(const ServerRecord& record, std::string_view target) {
  auto oldRel = files_.check(record.fnameOld);
  auto targetRel = files_.check(target);
  if (!oldRel || !targetRel) return false;
  auto hit = search(*oldRel);
  if (!hit || !restorable(*hit) || !matches(*hit, record.modTime, record.size)) return false;
  if (!restore(*hit, *targetRel, record.refId)) return false;
  traceLine(synctexts::kCase10);
  return true;
}

}  // namespace ulmora
