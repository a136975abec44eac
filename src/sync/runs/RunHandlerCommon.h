#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/ThreadAnnotations.h"

#include "foundation/QLBackupProgressLogger.h"
#include "platform/Clock.h"
#include "sync/runs/UploadRoadPorts.h"
#include "platform/RunLoop.h"

namespace ulmora {

// What the upload and download run handlers share.
struct RunRoadContext {
  struct Files {
    std::string backupFileEntries;   // application file 113
    std::string restoreFileEntries;  // application file 118
    std::string quotaMarker;         // application file 124
    std::string loginDetails;        // application file 26
    std::string accountPlist;        // the account's login-details plist
  };
  std::function<std::string()> syncRoot;
  std::string syncUser;
  Files files;
  Clock& clock;
  SyncInputPort& queue;
  UploadRoadHost& host;
  TransferManagerPort& uploadManager;
  TransferManagerPort& downloadManager;
  // Where the sync cycle dispatches the runs; RunLoop::main() when null.
  const RunLoop* mainLoop = nullptr;
};

enum class RunDirection { kUpload, kDownload, kOther };

// Which of this account's managers sent a callback; a manager of another
// account (or none) is kOther and its callbacks are ignored.
RunDirection directionOf(const void* sender, const void* uploadManager, const void* downloadManager);

namespace runtext {
inline constexpr const char* kSeparator = "--------------------------------------------------\n";
inline constexpr const char* kNotTransferred =
    "Some of the files are not transferred. For details check the 'Error:' in the log messages.";
inline constexpr const char* kOverQuota =
    "You have exceeded the allocated account storage limit. Upgrade your account, to sync more data.";
inline constexpr const char* kNoSuchFile = "Reason: No such file or directory";

// `format` with each "%@" replaced by the next value.
std::string formatted(std::string_view format, std::initializer_list<std::string_view> values);
// Every `word` replaced by `replacement`, ignoring ASCII case.
std::string replaceIgnoringCase(std::string_view text, std::string_view word,
                                std::string_view replacement);
// `text` with every occurrence of the sync user name replaced by the account
// user name (engine error texts before they are logged).
std::string withAccountName(std::string_view text, std::string_view syncUser,
                            std::string_view accountUser);
}  // namespace runtext

// One direction's session log: opened when a run starts, closed by the
// separator line.
//
// Thread-safety: every method may be called from any thread.
class RunSessionLog {
 public:
  explicit RunSessionLog(Clock& clock) : logger_(&clock) {}

  void open(const std::string& path);
  void line(std::string_view text, bool timeStamp);
  // "Synced ... successfully", the end time and the separator.
  void closeSuccessfully(std::string_view successText);
  void separator();
  std::string path() const;

 private:
  mutable Mutex mutex_;
  std::string path_ ULMORA_GUARDED_BY(mutex_);
  QLBackupProgressLogger logger_ ULMORA_GUARDED_BY(mutex_);
};

// Steps every run ending of either direction shares.
namespace runending {
// The session header of a run.
std::string sessionHeader(const RunRoadContext& ctx, const std::string& accountUser);
// Error codes 1001, 1004 and 1006 and a changed password. True when the
// account itself failed (its files cannot be retried now).
bool handleAccountFailure(RunRoadContext& ctx, const std::string& error, const RunSummary& summary);
// The session-log line of one transferred file; `word` of the mode (every
// case) becomes `replacement`.
std::string fileLine(const KVTProgressRecord& record, std::string_view word, std::string_view replacement);
// A per-file error line: logged with the account's name; a file the engine
// found missing leaves the database.
void perFileError(RunRoadContext& ctx, RunSessionLog& log, const std::string& error, const std::string& path);
// The trace lines, the quota recount and the manager's work files.
void tail(RunRoadContext& ctx, TransferManagerPort& manager, const RunSummary& summary);
void recalculateQuota(RunRoadContext& ctx, const char* from);
}  // namespace runending

}  // namespace ulmora
