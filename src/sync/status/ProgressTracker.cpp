#include "sync/status/ProgressTracker.h"

#include <charconv>
#include <cmath>
#include <limits>

#include "foundation/QLBackupProgressLogger.h"

namespace ulmora {

namespace {

constexpr const char* kUploadCode = "T1002";
constexpr const char* kDownloadCode = "T1005";

// "%.2f" without the process locale: the monitor parses a dot.
std::string fixed2(double value) {
  char buf[64];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, 2);
  if (ec != std::errc()) return "0.00";
  return std::string(buf, end);
}

// Bytes per second over `elapsed` seconds; a clock that has not moved (or
// went back) gives no rate rather than an infinite or negative one.
double rateOver(double bytes, double elapsed) {
  if (!(elapsed > 0) || !std::isfinite(elapsed)) return 0;
  double rate = bytes / elapsed;
  return std::isfinite(rate) && rate > 0 ? rate : 0;
}

// Engine output is not trusted: sums of its numbers saturate instead of
// overflowing.
using Wide = __int128;
int64_t clamp64(Wide v) {
  constexpr Wide kMax = std::numeric_limits<int64_t>::max();
  constexpr Wide kMin = std::numeric_limits<int64_t>::min();
  return static_cast<int64_t>(v > kMax ? kMax : (v < kMin ? kMin : v));
}

}  // namespace

ProgressTracker::ProgressTracker(Clock& clock, StatusItemSink& status, ProgressHost& host,
                                 TransferRunView& uploadManager,
                                 TransferRunView& downloadManager)
    : clock_(clock),
      status_(status),
      host_(host),
      uploadManager_(uploadManager),
      downloadManager_(downloadManager) {}

double ProgressTracker::nowSeconds() const {
  return std::chrono::duration<double>(clock_.wallNow().time_since_epoch()).count();
}

// --- resets -----------------------------------------------------------------

namespace {

void resetCumulative(ProgressTracker::Counters& c) {
  c.totalCount = c.totalSize = c.doneCount = c.transferredSize = 0;
  c.setCount = c.setTransferredSize = 0;
  c.queried = false;
}

void resetNecessary(ProgressTracker::Counters& c) {
  c.setCount = c.setTransferredSize = c.doneCount = c.transferredSize = 0;
}

}  // namespace

void ProgressTracker::ResetCumulativeCountVariablesForBackup() {
  edit(TransferDirection::kUpload, [](Direction& d) { resetCumulative(d.c); });
}
void ProgressTracker::ResetCumulativeCountVariablesForRestore() {
  edit(TransferDirection::kDownload, [](Direction& d) { resetCumulative(d.c); });
}
void ProgressTracker::ResetNecessaryVariablesForBackup() {
  edit(TransferDirection::kUpload, [](Direction& d) { resetNecessary(d.c); });
}
void ProgressTracker::ResetNecessaryVariablesForRestore() {
  edit(TransferDirection::kDownload, [](Direction& d) { resetNecessary(d.c); });
}
void ProgressTracker::ResetSetVariablesForBackup() { edit(TransferDirection::kUpload, resetSet); }
void ProgressTracker::ResetSetVariablesForRestore() { edit(TransferDirection::kDownload, resetSet); }

void ProgressTracker::resetSet(Direction& d) {
  d.c.setCount = d.c.setTransferredSize = d.c.previousTransferredSize = 0;
  d.c.queried = false;
  d.fold = RunFold();
}

// --- database counts -----------------------------------------------------------

void ProgressTracker::SetTotalBackupCount(int64_t count) {
  edit(TransferDirection::kUpload, [count](Direction& d) { d.c.totalCount = count; });
}
void ProgressTracker::SetTotalBackupSize(int64_t bytes) {
  edit(TransferDirection::kUpload, [bytes](Direction& d) { d.c.totalSize = bytes; });
}
void ProgressTracker::SetTotalRestoreCount(int64_t count) {
  edit(TransferDirection::kDownload, [count](Direction& d) { d.c.totalCount = count; });
}
void ProgressTracker::SetTotalRestoreSize(int64_t bytes) {
  edit(TransferDirection::kDownload, [bytes](Direction& d) { d.c.totalSize = bytes; });
}
void ProgressTracker::SetQueriedForBackup(bool queried) {
  edit(TransferDirection::kUpload, [queried](Direction& d) { d.c.queried = queried; });
}
void ProgressTracker::SetQueriedForRestore(bool queried) {
  edit(TransferDirection::kDownload, [queried](Direction& d) { d.c.queried = queried; });
}
void ProgressTracker::SetQueryMainDBforCountBackup(bool query) {
  edit(TransferDirection::kUpload, [query](Direction& d) { d.c.queryMainDBforCount = query; });
}
void ProgressTracker::SetQueryMainDBforCountRestore(bool query) {
  edit(TransferDirection::kDownload, [query](Direction& d) { d.c.queryMainDBforCount = query; });
}

bool ProgressTracker::takeCountRequest(TransferDirection which) {
  MutexLock lock(mu_);
  Direction& d = dir(which);
  if (d.c.totalCount > 0 && !d.c.queryMainDBforCount) return false;
  d.c.queryMainDBforCount = false;
  return true;
}

void ProgressTracker::GetTotalCountAndTotalSizeOfBackupFiles() {
  if (takeCountRequest(TransferDirection::kUpload)) host_.requestBackupTotals();
}

void ProgressTracker::GetTotalCountAndTotalSizeOfRestoreFiles() {
  if (takeCountRequest(TransferDirection::kDownload)) host_.requestRestoreTotals();
}

// --- batch markers -------------------------------------------------------------

void ProgressTracker::BackupRestoreStarted(TransferDirection direction) {
  if (direction == TransferDirection::kDownload) {
    if (!restoreStarted_.exchange(true)) status_.setMonitorToolTip(kPerformingSyncDown);
  } else {
    if (!backupStarted_.exchange(true)) status_.setMonitorToolTip(kPerformingSyncUp);
  }
}

void ProgressTracker::BackupRestoreFinised(std::optional<TransferDirection> direction) {
  daemonTrace("BackupRestoreFinised Start");
  const bool uploadPending = host_.CheckIfBackupFilesPendingBool();
  const bool restoreInMemory = host_.CheckForRestoreFilesInMemory();
  const bool restoreJournal = host_.CheckForRestoreFiles();
  if (direction == TransferDirection::kDownload) {
    if (restoreStarted_.exchange(false) && !restoreInMemory && !restoreJournal) {
      status_.removeItemFromToolTipFor(kSyncingDown);
    }
  } else if (direction == TransferDirection::kUpload) {
    if (backupStarted_.exchange(false) && !uploadPending) {
      status_.removeItemFromToolTipFor(kSyncingUp);
    }
  }
  daemonTrace("BackupRestoreFinised End");
}

// --- progress --------------------------------------------------------------------

std::optional<std::string> ProgressTracker::sendDataToMonitor(const KVTProgressRecord& record,
                                                              int optype) {
  std::optional<std::string> item;
  if (!record.speed) {
    item = "";
  } else if (optype == static_cast<int>(TransferDirection::kUpload) ||
             optype == static_cast<int>(TransferDirection::kDownload)) {
    MutexLock lock(mu_);
    item = buildProgressLocked(record, static_cast<TransferDirection>(optype));
  }
  status_.setMonitorToolTip(item.value_or(""));
  return item;
}

std::string ProgressTracker::buildProgressLocked(const KVTProgressRecord& record,
                                                 TransferDirection which) {
  const bool upload = which == TransferDirection::kUpload;
  Direction& d = dir(which);
  Counters& c = d.c;
  TransferRunView& manager = upload ? uploadManager_ : downloadManager_;
  const double runStart = manager.StartTime();

  // A record of a run already folded in (the closing record repeated) must
  // not count its files a second time.
  if (d.fold.folded && d.fold.runStart != runStart) d.fold = RunFold();
  const bool runAlreadyFolded = d.fold.folded;

  // Files to go.
  int64_t remaining = 0;
  if (c.totalCount >= 1) {
    if (!runAlreadyFolded && record.isDone() &&
        record.transferMode != KVTProgressRecord::kSyncFile) {
      ++c.setCount;
    }
    // Once folded, the run's files are part of doneCount.
    remaining = clamp64(Wide(c.totalCount) - c.doneCount - (runAlreadyFolded ? 0 : c.setCount));
  }
  if (c.totalCount < 1 || remaining <= 0) {
    remaining = clamp64(Wide(record.totalFileCount) - record.backedUpFileCount);
  }
  const int64_t shownCount = remaining > 1 ? remaining : 1;

  // Rate.
  const int64_t transferred = record.totalTransferedSize;
  const double elapsed = nowSeconds() - runStart;
  if (c.queried) {
    c.queried = false;
    c.setTransferredSize = c.previousTransferredSize;
  }
  double rate = 0;
  if (upload) {
    const int64_t previous = manager.PreviousTransferedSize();
    if (transferred != 0 && transferred >= previous) {
      rate = rateOver(static_cast<double>(Wide(transferred) - previous), elapsed);
    } else {
      manager.SetPreviousTransferedSize(0);
    }
  } else {
    rate = rateOver(static_cast<double>(transferred), elapsed);
  }
  c.previousTransferredSize = transferred;
  if (rate == 0) rate = c.rememberedRate;

  // Bytes to go.
  int64_t pending = 0;
  if (upload) {
    const int64_t runSize = record.totalBackupSize;
    const int64_t base = (c.totalSize > 0 && c.totalSize >= runSize) ? c.totalSize : runSize;
    const int64_t runLeft = clamp64(Wide(runSize) - transferred);
    pending = clamp64(Wide(base) - transferred - c.transferredSize + c.setTransferredSize);
    if (pending <= 0 || pending < runLeft) pending = runLeft;
  } else {
    const int64_t restorePending = record.restorePendingSize;
    pending = clamp64(Wide(c.totalSize) - transferred - c.transferredSize + c.setTransferredSize);
    if (pending <= 0 || pending < restorePending) pending = restorePending;
  }

  // Text.
  const std::string timeLeft = timeRemainingLocked(rate, pending, d);
  std::string text = upload ? kUploadCode : kDownloadCode;
  text += "||" + std::to_string(shownCount);
  if (rate != 0) {
    text += "||" + TransferRateConversion(rate);
    if (!timeLeft.empty()) text += "||" + timeLeft;
  }

  // Run end.
  if (record.totalFileCount == record.backedUpFileCount && !runAlreadyFolded) {
    c.transferredSize = clamp64(Wide(c.transferredSize) + transferred - c.setTransferredSize);
    c.doneCount = clamp64(Wide(c.doneCount) + c.setCount);
    d.fold.folded = true;
    d.fold.runStart = runStart;
  }
  return text;
}

std::string ProgressTracker::totalTimeRemainingForBackup(double rate, int64_t pendingSize,
                                                         bool forBackUp) {
  MutexLock lock(mu_);
  return timeRemainingLocked(rate, pendingSize, forBackUp ? up_ : down_);
}

std::string ProgressTracker::timeRemainingLocked(double rate, int64_t pendingSize, Direction& d) {
  if (pendingSize <= 0) return "";
  Counters& c = d.c;
  if (!std::isfinite(rate) || rate < 0) rate = 0;
  if (rate != 0) {
    const int32_t j = c.samples;
    c.samples = j + 1;
    if ((j == 0 || j == 1) && c.rememberedRate == 0) return "";
    const double sample = (j < 5 && c.rememberedRate != 0) ? c.rememberedRate : rate;
    const float alpha = static_cast<float>(2.0 / (j + 2.0));
    c.smootheningFactor = alpha;
    const float decayed = (1.0f - alpha) * c.avgSpeed;
    c.avgSpeed = static_cast<float>(decayed + static_cast<double>(alpha) * sample);
    if (j >= 5) c.rememberedRate = rate;
  }
  if (c.avgSpeed == 0 || !std::isfinite(c.avgSpeed)) return "";
  const float estimate = static_cast<float>(pendingSize) / (c.avgSpeed + 1.0f) + 1.0f;
  // A huge backlog at a crawl must not overflow the whole-second count.
  constexpr float kMaxSeconds = 1e15f;
  const int64_t seconds =
      estimate >= kMaxSeconds ? static_cast<int64_t>(kMaxSeconds) : static_cast<int64_t>(estimate);
  return remainingTimeText(seconds);
}

std::string ProgressTracker::remainingTimeText(int64_t seconds) {
  constexpr int64_t kDay = 86400;
  constexpr int64_t kHour = 3600;
  constexpr int64_t kMinute = 60;
  if (seconds < 0) return "";
  if (seconds >= kDay) {
    int64_t days = seconds / kDay;
    if ((seconds % kDay) / kHour > 11) ++days;
    return days == 1 ? "1 day" : std::to_string(days) + " days";
  }
  if (seconds >= kHour) {
    int64_t hours = seconds / kHour;
    if ((seconds % kHour) / kMinute > 29) ++hours;
    return hours == 1 ? "1 hr" : std::to_string(hours) + " hrs";
  }
  if (seconds >= kMinute) {
    int64_t minutes = seconds / kMinute;
    if (seconds % kMinute > 29) ++minutes;
    return minutes == 1 ? "1 min" : std::to_string(minutes) + " mins";
  }
  if (seconds <= 1) return "1 sec";
  return std::to_string(seconds) + " secs";
}

std::string ProgressTracker::TransferRateConversion(double bytesPerSecond) {
  if (std::isnan(bytesPerSecond) || bytesPerSecond < 0) bytesPerSecond = 0;
  const double kilo = bytesPerSecond * 0.0009766;
  if (kilo < 1024.0) return fixed2(kilo) + " KB/s";
  const double mega = bytesPerSecond * 9.537e-07;
  if (mega < 1024.0) return fixed2(mega) + " MB/s";
  // Anything in GB/s is shown as the cap.
  return "1.00 GB/s";
}

void ProgressTracker::resetValsForEMACalculation_Up() { edit(TransferDirection::kUpload, resetAverage); }
void ProgressTracker::resetValsForEMACalculation_Down() { edit(TransferDirection::kDownload, resetAverage); }

void ProgressTracker::resetAverage(Direction& d) {
  d.c.avgSpeed = 0;
  d.c.samples = 0;
  d.c.smootheningFactor = 0;
}

// --- accessors -------------------------------------------------------------------

int64_t ProgressTracker::PreviousTransferedSizeForBackupMainSync() const {
  MutexLock lock(mu_);
  return up_.c.previousTransferredSize;
}

int64_t ProgressTracker::PreviousTransferedSizeForRestoreMainSync() const {
  MutexLock lock(mu_);
  return down_.c.previousTransferredSize;
}

ProgressTracker::Counters ProgressTracker::counters(TransferDirection direction) const {
  MutexLock lock(mu_);
  return dir(direction).c;
}

}  // namespace ulmora
