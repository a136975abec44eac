#include "sync/status/SyncTraceTexts.h"

#include <chrono>

#include "platform/RunLoop.h"

namespace ulmora {
namespace synctexts {
namespace {

std::string flag(bool value) { return value ? "1" : "0"; }

}  // namespace

std::string describe(const std::map<std::string, std::string>& entries) {
  std::string text = "{";
  for (const auto& [key, value] : entries) {
    if (text.size() > 1) text += "; ";
    text += key + " = " + value;
  }
  return text + "}";
}

std::string describe(const std::vector<std::string>& paths) {
  std::string text = "(";
  for (const std::string& p : paths) {
    if (text.size() > 1) text += ", ";
    text += p;
  }
  return text + ")";
}

std::string resetTotalSize(int64_t totalSize, std::string_view setAfterReset) {
  return "Reseted the pTotalSize to zero, pTotalSize:" + std::to_string(totalSize) +
         "  [backUpSetAfterDelete removeAllObjects]:" + std::string(setAfterReset);
}

std::string idLoginUserFilePath(std::string_view path, bool subAccount) {
  return "IdLoginUserFilePath " + std::string(path) + "and isSubAccount " + flag(subAccount);
}

std::string backupRestore(bool uploadRunning, bool downloadRunning) {
  return "backup:" + flag(uploadRunning) + " restore:" + flag(downloadRunning);
}

std::string backupRestoreAtRunEnd(bool uploadRunning, bool downloadRunning) {
  return "backup:" + flag(uploadRunning) + "\n restore:" + flag(downloadRunning);
}

std::string retryCount(int count) { return "retryCount:" + std::to_string(count); }

std::string retryForNoData(bool flagSet) {
  return "retryCount [mSynListingController IsRetryListingCalledForNoData]:" + flag(flagSet);
}

std::string serverFile(std::string_view fname) { return "serverFile:" + std::string(fname); }

std::string quotedForLookup(std::string_view fname) {
  std::string text = "str:";
  for (char c : fname) {
    text += c;
    if (c == '\'') text += c;
  }
  return text;
}

std::string sameRestoreSetRepeatedCount(int count) {
  return "sameRestoreSetRepeatedCount:" + std::to_string(count);
}

std::string localFileOldPath(std::string_view fullPath) { return "localFileOldPath:" + std::string(fullPath); }

std::string adfileToUpdate8(std::string_view fname, std::string_view refId) {
  return "adfile to update8:" + describe(std::map<std::string, std::string>{{std::string(fname), std::string(refId)}});
}

std::string quotaUserNames(std::string_view syncUserName, std::string_view accountUserName) {
  return "guserName:" + std::string(syncUserName) + "; gUlmoraUserName:" + std::string(accountUserName);
}

std::string quotaDict(std::string_view description) { return "Quota Dict (" + std::string(description) + ")  "; }

std::string syncTimerNotValid(std::string_view timerDescription) {
  return std::string(kSyncTimerNotValid) + " " + std::string(timerDescription);
}

std::string timerDescription(const RunLoopTimer* timer) {
  if (timer == nullptr) return "(null)";
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(timer->interval()).count();
  const bool valid = timer->isValid();
  return "<timer interval: " + std::to_string(ms / 1000) + "." + std::to_string(ms % 1000 / 100) +
         " s, repeats: " + (timer->repeats() ? "YES" : "NO") + ", valid: " + (valid ? "YES" : "NO") +
         ", next fire: " + (valid ? "within one interval" : "none") + ">";
}

}  // namespace synctexts
}  // namespace ulmora
