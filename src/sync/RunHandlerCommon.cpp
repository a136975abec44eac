#include "sync/RunHandlerCommon.h"

#include <cctype>

#include "foundation/QLLocalizedString.h"
#include "platform/FileUtil.h"

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
// Byte offsets of the characters of a UTF-8 text; a stray continuation
// byte counts as a character of its own, so nothing is ever dropped.
std::vector<size_t> characterStarts(std::string_view text) {
  std::vector<size_t> starts;
  for (size_t i = 0; i < text.size(); ++i) {
    auto c = static_cast<unsigned char>(text[i]);
    if ((c & 0xC0) != 0x80 || starts.empty() || i - starts.back() >= 4) starts.push_back(i);
  }
  return starts;
}
}  // namespace

std::string shortenedName(std::string_view name) {
  std::vector<size_t> starts = characterStarts(name);
  if (starts.size() < 39) return std::string(name);
  std::string out(name.substr(0, starts[17]));
  out += "...";
  out += name.substr(starts[starts.size() - 18]);
  return out;
}

std::string replaceIgnoringCase(std::string_view text, std::string_view word,
                                std::string_view replacement) {
  if (word.empty()) return std::string(text);
  auto lower = [](std::string_view s) {
    std::string out(s);
    for (auto& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
  };
  const std::string hay = lower(text);
  const std::string needle = lower(word);
  std::string out;
  size_t pos = 0;
  while (true) {
    size_t hit = hay.find(needle, pos);
    if (hit == std::string::npos) break;
    out.append(text.substr(pos, hit - pos));
    out.append(replacement);
    pos = hit + word.size();
  }
  out.append(text.substr(pos));
  return out;
}

std::string withAccountName(std::string_view text, std::string_view syncUser,
                            std::string_view accountUser) {
  if (syncUser.empty() || accountUser.empty()) return std::string(text);
  std::string out;
  size_t pos = 0;
  while (true) {
    size_t hit = text.find(syncUser, pos);
    if (hit == std::string_view::npos) break;
    out.append(text.substr(pos, hit - pos));
    out.append(accountUser);
    pos = hit + syncUser.size();
  }
  out.append(text.substr(pos));
  return out;
}

}  // namespace runtext

void RunSessionLog::open(const std::string& path) {
  std::lock_guard<std::mutex> lock(mutex_);
  path_ = path;
}

std::string RunSessionLog::path() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return path_;
}

void RunSessionLog::line(std::string_view text, bool timeStamp) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (path_.empty()) return;
  if (timeStamp) {
    logger_.writeSessionLog(text, path_, true);
  } else {
    logger_.writeSessionLogWithoutTimeStamp(text, path_, true);
  }
}

void RunSessionLog::closeSuccessfully(std::string_view successText) {
  line(QLLocalizedString(successText), true);
  std::string end = QLLocalizedString("\nEnd Time : %@");
  std::string stamp;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stamp = logger_.timeStamp();
  }
  size_t at = end.find("%@");
  if (at != std::string::npos) end.replace(at, 2, stamp);
  line(end, false);
  separator();
}

void RunSessionLog::separator() { line(runtext::kSeparator, false); }

namespace runending {

std::string sessionHeader(const RunRoadContext& ctx, const std::string& accountUser) {
  std::string header = QLLocalizedString("\nUsername: %@\nMy Sync folder: %@ \nStart Time: %@\n");
  QLBackupProgressLogger stampSource(&ctx.clock);
  const std::string values[] = {accountUser, ctx.syncRoot(), stampSource.timeStamp()};
  size_t pos = 0;
  for (const auto& v : values) {
    size_t at = header.find("%@", pos);
    if (at == std::string::npos) break;
    header.replace(at, 2, v);
    pos = at + v.size();
  }
  return header;
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
  daemonTrace("backup:" + std::to_string(ctx.uploadManager.isRunning() ? 1 : 0) +
              "\n restore:" + std::to_string(ctx.downloadManager.isRunning() ? 1 : 0));
  daemonTrace("Failure Count:" + std::to_string(summary.backupOrRestorFailCount));
  recalculateQuota(ctx, "operationdidfinishsucessfull");
  manager.removeTempFilePaths();
}

}  // namespace runending
}  // namespace ulmora
