#include "sync/runs/RunHandlerCommon.h"

#include <cctype>

#include "foundation/QLLocalizedString.h"
#include "platform/FileUtil.h"
#include "sync/files/SyncPathHelpers.h"
#include "sync/status/SyncTraceTexts.h"

namespace ulmora {
using namespace fileutil;

RunDirection directionOf(const void* sender, const void* uploadManager, const void* downloadManager) {
  if (sender == nullptr) return RunDirection::kOther;
  if (sender == uploadManager) return RunDirection::kUpload;
  if (sender == downloadManager) return RunDirection::kDownload;
  return RunDirection::kOther;
}

namespace runtext {

namespace {
std::string asciiLower(std::string_view s) {
  std::string out(s);
  for (auto& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

std::string replaceAll(std::string_view text, std::string_view word, std::string_view replacement,
                       bool ignoreCase) {
  if (word.empty()) return std::string(text);
  const std::string hay = ignoreCase ? asciiLower(text) : std::string(text);
  const std::string needle = ignoreCase ? asciiLower(word) : std::string(word);
  std::string out;
  size_t pos = 0;
  for (size_t hit; (hit = hay.find(needle, pos)) != std::string::npos; pos = hit + word.size()) {
    out.append(text.substr(pos, hit - pos));
    out.append(replacement);
  }
  out.append(text.substr(pos));
  return out;
}
}  // namespace

std::string replaceIgnoringCase(std::string_view text, std::string_view word,
                                std::string_view replacement) {
  return replaceAll(text, word, replacement, true);
}

std::string withAccountName(std::string_view text, std::string_view syncUser,
                            std::string_view accountUser) {
  if (accountUser.empty()) return std::string(text);
  return replaceAll(text, syncUser, accountUser, false);
}

std::string formatted(std::string_view format, std::initializer_list<std::string_view> values) {
  std::string out;
  auto value = values.begin();
  size_t pos = 0;
  for (size_t at; value != values.end() && (at = format.find("%@", pos)) != std::string_view::npos;
       pos = at + 2, ++value) {
    out.append(format.substr(pos, at - pos));
    out.append(*value);
  }
  out.append(format.substr(pos));
  return out;
}

}  // namespace runtext

void RunSessionLog::open(const std::string& path) {
  MutexLock lock(mutex_);
  // A log without a folder would land wherever the process happens to run.
  if (!path.empty() && path.front() != '/') {
    daemonTrace("session log " + path + " has no folder; this run is not logged");
    path_.clear();
    return;
  }
  path_ = path;
}

std::string RunSessionLog::path() const {
  MutexLock lock(mutex_);
  return path_;
}

void RunSessionLog::line(std::string_view text, bool timeStamp) {
  MutexLock lock(mutex_);
  if (path_.empty()) return;
  if (timeStamp) {
    logger_.writeSessionLog(text, path_, true);
  } else {
    logger_.writeSessionLogWithoutTimeStamp(text, path_, true);
  }
}

void RunSessionLog::closeSuccessfully(std::string_view successText) {
  line(QLLocalizedString(successText), true);
  std::string stamp;
  {
    MutexLock lock(mutex_);
    stamp = logger_.timeStamp();
  }
  line(runtext::formatted(QLLocalizedString("\nEnd Time : %@"), {stamp}), false);
  separator();
}

void RunSessionLog::separator() { line(runtext::kSeparator, false); }

namespace runending {

std::string sessionHeader(const RunRoadContext& ctx, const std::string& accountUser) {
  QLBackupProgressLogger stampSource(&ctx.clock);
  return runtext::formatted(QLLocalizedString("\nUsername: %@\nMy Sync folder: %@ \nStart Time: %@\n"),
                            {accountUser, ctx.syncRoot(), stampSource.timeStamp()});
}

std::string fileLine(const KVTProgressRecord& record, std::string_view word, std::string_view replacement) {
  return runtext::formatted(QLLocalizedString(" %@ File: %@ File size: %@"),
                            {runtext::replaceIgnoringCase(record.transferMode, word, replacement),
                             record.filename, record.filesize});
}

void perFileError(RunRoadContext& ctx, RunSessionLog& log, const std::string& error, const std::string& path) {
  log.line(runtext::withAccountName(error, ctx.syncUser, ctx.host.accountUser().ulmoraUsername()), true);
  if (error.find(runtext::kNoSuchFile) == std::string::npos) return;
  std::string relative = syncpaths::relativePath(SyncRootPath(ctx.syncRoot()), path);
  if (relative.empty() || relative == "/") return;
  ctx.host.rowGoesWithFile(relative);
  ctx.queue.addFileToDelete(relative);
}

bool handleAccountFailure(RunRoadContext& ctx, const std::string& error, const RunSummary& summary) {
  bool accountFailed = true;
  switch (summary.errorCode) {
    case 1004:
      daemonTrace("HandleAccountUnderMaintainence called");
      ctx.host.setMonitorToolTip("T1017");
      ctx.host.HandleAccountUnderMaintainence();
      break;
    case 1006:
      ctx.host.setMonitorToolTip("T1022");
      ctx.host.HandleAccountUnderMaintainence();
      break;
    case 1001:
      ctx.host.setMonitorToolTip("T1018");
      ctx.host.showDesktopPushNotification("N1023");
      ctx.host.sendMonitorMessage("The account has been cancelled", 507);
      if (!ctx.files.loginDetails.empty()) removeAll(ctx.files.loginDetails);
      daemonTrace("The account has been cancelld so sending unlink message to monitor");
      break;
    default:
      accountFailed = false;
      break;
  }
  if (error.find("password mismatch") != std::string::npos) {
    ctx.host.passwordChangedFromWeb();
    accountFailed = true;
  }
  return accountFailed;
}

void recalculateQuota(RunRoadContext& ctx, const char* from) {
  daemonTrace(std::string("from ") + from + " calculate quota called");
  ctx.host.runCalQuotaInThread("NO");
}

void tail(RunRoadContext& ctx, TransferManagerPort& manager, const RunSummary& summary) {
  daemonTrace(synctexts::backupRestoreAtRunEnd(ctx.uploadManager.isRunning(), ctx.downloadManager.isRunning()));
  daemonTrace("Failure Count:" + std::to_string(summary.backupOrRestorFailCount));
  recalculateQuota(ctx, "operationdidfinishsucessfull");
  manager.removeTempFilePaths();
}

}  // namespace runending
}  // namespace ulmora
