#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/Clock.h"
#include "service/ServerRecord.h"
#include "sync/server/ListingTally.h"
#include "sync/server/ServerRoadPorts.h"
#include "sync/files/SyncRootFiles.h"

namespace ulmora {

// The cache folder inside the sync root: items the sync removes for the
// server go to R/.UMSCache/<yyyy-MM-dd>/<relative path>; a local edit that a
// newer server copy would replace goes to R/.UMSCache/ConflictData/<relative
// path> first. Before a download, the dated folders are searched for a copy
// that can be put back instead.
//
// A cached copy is put back only when it is the server's version: its size
// equals the record's size and its modification time the record's time at
// whole seconds (the server keeps seconds, Linux keeps nanoseconds). Anything
// else is left in the cache and the file is downloaded. Conflict copies are
// never taken back by the search: they hold the user's own edits.
//
// Thread-safety: no state of its own beyond the references; the ports and
// the tally lock themselves. Operations on the same path from two threads at
// once are not serialised.
class LocalCache {
 public:
  static constexpr std::string_view kConflictFolder = "ConflictData";

  // What a restore needs to know of the server's version.
  struct Wanted {
    std::string name;     // relative path
    std::string modTime;  // the server's time text
    std::string size;     // the server's size text
    std::string refId;

    static Wanted fromRecord(const ServerRecord& record) {
      return {record.fname, record.modTime, record.size, record.refId};
    }
  };

  struct Hit {
    std::string path;  // relative, inside the cache
    Clock::WallTime modified{};
    int64_t size = 0;
  };

  LocalCache(const SyncRootFiles& files, Clock& clock, CaptureFilterPort& filters, SyncQueuePort& queue,
             ListingTally& tally);

  // moveToCache: into today's folder. An item cached under the same path
  // earlier the same day is replaced when nothing is lost with it (the same
  // size and time as the item cached now, a link to the trash, a folder with
  // no file); otherwise it stays beside, under a fresh name ("name (2).ext").
  // When it can be neither replaced nor kept, the item stays in place.
  bool moveToCache(std::string_view path);
  // moveToCacheWithoutDate: the conflict copy. Returns its relative path;
  // a second copy of the same path gets a fresh name ("name (2).ext"), and
  // nullopt means no copy could be made (the item is where it was).
  std::optional<std::string> moveToCacheWithoutDate(std::string_view path);

  // The newest copy of `relativePath` in the dated folders (ConflictData is
  // not searched); on equal times the first folder in name order wins.
  std::optional<Hit> search(std::string_view relativePath) const;

  // moveFromCache: puts the cached copy of `wanted.name` back in place when
  // it matches. True when the file is now in place from the cache.
  bool moveFromCache(const Wanted& wanted);
  // moveFromCache:atLocation: the cached copy of the record's former name put
  // at `target` (the new name of a renamed file).
  bool moveFromCacheAtLocation(const ServerRecord& record, std::string_view target);

  // "yyyy-MM-dd" of `when` in local time.
  static std::string dayName(Clock::WallTime when);
  // Whether a cached copy is the server's version.
  static bool matches(const Hit& hit, const std::string& modTime, const std::string& size);

 private:
  // False for a link to the trash (outside the root: the file is fetched
  // instead); a dangling one is removed.
  bool restorable(const Hit& hit);
  bool restore(const Hit& hit, const std::string& targetRelative, const std::string& refId);
  // Whether the copy at `cached` may hold what is nowhere else once the
  // item at `item` replaces it.
  bool heldOnlyInCache(const std::string& cached, const std::string& item) const;
  bool keepUnderFreshName(const std::string& cached);

  const SyncRootFiles& files_;
  Clock& clock_;
  CaptureFilterPort& filters_;
  SyncQueuePort& queue_;
  ListingTally& tally_;
};

}  // namespace ulmora
