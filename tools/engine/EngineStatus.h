#pragma once

#include <string>

namespace ulmora::kvt {

// Exit statuses of a run (docs/engine.md section 7). The driver tells the
// run's ending from these, so they never change meaning.
enum ExitStatus : int {
  kExitOk = 0,
  kExitFailure = 1,
  kExitProtocol = 2,
  kExitAuth = 5,
  kExitConnect = 10,
  kExitConnectionLost = 12,
  kExitCancelled = 20,
  kExitPartial = 23,
  kExitOverQuota = 40,
  kExitMaintenance = 41,
  kExitBlocked = 42,
  kExitAccountCancelled = 43,
};

// The service's own texts; the agent matches on them byte for byte.
inline constexpr const char* kTextMaintenance = "@ERROR: account is under maintenance";
inline constexpr const char* kTextAuthFailed = "@ERROR: auth failed on module quellar";
inline constexpr const char* kTextPasswordMismatch = "@ERROR: password mismatch";
inline constexpr const char* kTextKeyMismatch = "@ERROR: encryption verification failed";
inline constexpr const char* kTextBlocked = "@ERROR: account has been blocked";
inline constexpr const char* kTextAccountCancelled = "@ERROR: account has been cancelled";
inline constexpr const char* kTextProtocolMismatch = "@ERROR: protocol version mismatch";
inline constexpr const char* kTextOverQuota = "@ERROR: quota exceeded";
inline constexpr const char* kTextOpenCredentials =
    "@ERROR: password file must not be other-accessible";
inline constexpr const char* kTextResetByPeer =
    "umkvt error: read error: Connection reset by peer";
inline constexpr const char* kTextQuotaUnavailable =
    "<error>Unable to retrieve the quota</error>";

// A failure that ends the whole run: its status and the verbatim text.
struct Fatal {
  int status = kExitFailure;
  std::string text;
};

inline Fatal umkvtError(const std::string& reason) {
  return Fatal{kExitFailure, "umkvt error: " + reason};
}

}  // namespace ulmora::kvt
