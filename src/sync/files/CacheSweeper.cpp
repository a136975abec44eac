#include "sync/files/CacheSweeper.h"

#include <chrono>
#include <exception>
#include <optional>
#include <string>

#include "foundation/QLBackupProgressLogger.h"
#include "platform/FileUtil.h"
#include "platform/PropertyList.h"
#include "platform/ThreadCheck.h"
#include "platform/UserDefaults.h"
#include "sync/files/CacheSweep.h"
#include "sync/files/SyncRootFiles.h"

namespace ulmora {

CacheSweeper::CacheSweeper(const SyncRootFiles& files, UserDefaults& defaults, Clock& clock, RunLoop& mainLoop)
    : files_(files), defaults_(defaults), clock_(clock), mainLoop_(mainLoop) {}

void CacheSweeper::checkCacheClearanceforSevenDays() {
  ULMORA_DCHECK_ON_LOOP(mainLoop_);
  try {
    const std::optional<PropertyList> last = defaults_.objectForKey(kCacheClearedDateKey);
    if (!last || last->asDate() == nullptr) return;
    const auto lastTime = Clock::WallTime(std::chrono::duration_cast<Clock::WallTime::duration>(
        std::chrono::duration<double>(last->asDate()->secondsSince1970)));
    if (cachesweep::wholeDaysBetween(lastTime, clock_.wallNow()) < cachesweep::kSweepEveryDays) return;
    daemonTrace(">7 days");
    deleteCachedFiles();
    storeCacheClearedDate();
  } catch (const std::exception& e) {
    daemonTrace(std::string("checkCacheClearanceforSevenDays-Exception:") + e.what());
  }
}

void CacheSweeper::deleteCachedFiles() {
  ULMORA_DCHECK_ON_LOOP(mainLoop_);
  const std::string cache =
      fileutil::joinPath(files_.rootPath().root(), std::string(SyncRootFiles::kCacheFolderName));
  const bool removed = cachesweep::sweep(cache, clock_.wallNow(), [this](const std::string& path) {
    return files_.removeFromCache(path);
  });
  if (removed || !defaults_.objectForKey(kCacheClearedDateKey)) storeCacheClearedDate();
}

void CacheSweeper::storeCacheClearedDate() {
  const double now = std::chrono::duration<double>(clock_.wallNow().time_since_epoch()).count();
  defaults_.setObject(kCacheClearedDateKey, PropertyList(PropertyList::Date{now}));
  defaults_.synchronize();
}

}  // namespace ulmora
