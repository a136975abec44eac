#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace ulmora {

class RunLoopTimer;

// The trace lines of the sync controller that support tooling and people
// reading the logs search for, kept in one place so each keeps its exact
// wording. Each function fills its line's values the way the line has always
// shown them: numbers and flags in decimal, a path as it is, a dictionary as
// "{key = value}", a list as "(a, b)".
//
// Thread-safety: pure functions.
namespace synctexts {

inline constexpr std::string_view kNotMatchingAnyCase =
    "removeItemFromToolTipFor not matching any case so sending all file update for monitor";
inline constexpr std::string_view kRetryWithoutMatchingCase = "Retry Listing But no matichng cases";
inline constexpr std::string_view kCase10 = "Case 10";
inline constexpr std::string_view kSyncTimerValid = "syncoperation timer valid.";
inline constexpr std::string_view kSyncTimerNotValid = "syncoperation timer Not valid.";
inline constexpr std::string_view kQuiryMainDbAfterReinitialise =
    "mainsyncController calling quiery main db due to reinitialize";

// A dictionary of paths and reference ids, and a list of paths, as shown in
// the lines below.
std::string describe(const std::map<std::string, std::string>& entries);
std::string describe(const std::vector<std::string>& paths);

// The upload set's byte total and pending set, once both are reset.
std::string resetTotalSize(int64_t totalSize, std::string_view setAfterReset);
std::string idLoginUserFilePath(std::string_view path, bool subAccount);
// At a listing's success, and at a run's end (two lines there).
std::string backupRestore(bool uploadRunning, bool downloadRunning);
std::string backupRestoreAtRunEnd(bool uploadRunning, bool downloadRunning);
std::string retryCount(int count);
std::string retryForNoData(bool flag);
// A server deletion of a file whose local copy has the server's date.
std::string serverFile(std::string_view fname);
std::string quotedForLookup(std::string_view fname);
std::string sameRestoreSetRepeatedCount(int count);
std::string localFileOldPath(std::string_view fullPath);
std::string adfileToUpdate8(std::string_view fname, std::string_view refId);
std::string quotaUserNames(std::string_view syncUserName, std::string_view accountUserName);
std::string quotaDict(std::string_view description);
std::string syncTimerNotValid(std::string_view timerDescription);
// A timer as the keep-alive line shows it: its interval, whether it repeats
// and is valid, and its next fire time ("none" once invalidated, as an
// invalidated timer never fires again); "(null)" for no timer.
std::string timerDescription(const RunLoopTimer* timer);

}  // namespace synctexts
}  // namespace ulmora
