#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>

#include "EngineStatus.h"

namespace ulmora::kvt {

// The failures the storage folder's "faults" file asks the engine to act out
// (docs/engine.md section 9), so that tests reach every error path of the
// agent with the service's own texts.
struct FaultPlan {
  bool connectFail = false;
  bool protocolMismatch = false;
  bool maintenance = false;
  bool blocked = false;
  bool accountCancelled = false;
  bool authFailed = false;
  bool passwordMismatch = false;
  bool overQuota = false;
  bool quotaUnavailable = false;
  std::optional<int64_t> quotaTotal;
  std::optional<int64_t> resetAfter;
  std::optional<int64_t> slowBytesPerSecond;
  std::optional<int64_t> stallAfter;
  std::optional<int64_t> crashAfter;
  std::set<std::string> missing;  // canonical server paths
  std::set<std::string> noSpace;  // canonical paths whose download finds the disk full
  std::optional<std::string> umkvtErrorText;
  std::optional<std::string> rcId;

  // Reads `storage`/faults; no file means no faults. Unknown lines are ignored
  // so that an older engine survives a newer test's file.
  static FaultPlan load(const std::string& storage);

  // The refusal a run gets before it does anything, in the order the
  // service checks: protocol, credentials, then the account's state.
  std::optional<Fatal> refusal(const std::string& server) const;
};

}  // namespace ulmora::kvt
