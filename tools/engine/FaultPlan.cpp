#include "FaultPlan.h"
#include "StorageFile.h"

#include <charconv>
#include <fstream>
#include <sstream>

#include "EnginePath.h"

namespace ulmora::kvt {
namespace {

std::string trimmed(const std::string& text) {
  size_t begin = text.find_first_not_of(" \t\r");
  if (begin == std::string::npos) return "";
  size_t end = text.find_last_not_of(" \t\r");
  return text.substr(begin, end - begin + 1);
}

std::optional<int64_t> number(const std::string& text) {
  int64_t value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || value < 0) return std::nullopt;
  return value;
}

}  // namespace

FaultPlan FaultPlan::load(const std::string& storage) {
  FaultPlan plan;
  std::istringstream in(
      readStorageFile(storage + "/faults", kMaxStorageTableBytes).value_or(std::string()));
  std::string line;
  while (in && std::getline(in, line)) {
    line = trimmed(line);
    if (line.empty() || line.front() == '#') continue;
    size_t space = line.find_first_of(" \t");
    std::string name = line.substr(0, space);
    std::string value = space == std::string::npos ? "" : trimmed(line.substr(space));
    if (name == "connect-fail") plan.connectFail = true;
    else if (name == "protocol-mismatch") plan.protocolMismatch = true;
    else if (name == "maintenance") plan.maintenance = true;
    else if (name == "blocked") plan.blocked = true;
    else if (name == "account-cancelled") plan.accountCancelled = true;
    else if (name == "auth-failed") plan.authFailed = true;
    else if (name == "password-mismatch") plan.passwordMismatch = true;
    else if (name == "over-quota") plan.overQuota = true;
    else if (name == "quota-unavailable") plan.quotaUnavailable = true;
    else if (name == "quota-total") plan.quotaTotal = number(value);
    else if (name == "reset-after") plan.resetAfter = number(value);
    else if (name == "slow") plan.slowBytesPerSecond = number(value);
    else if (name == "stall-after") plan.stallAfter = number(value);
    else if (name == "crash-after") plan.crashAfter = number(value);
    else if (name == "umkvt-error") plan.umkvtErrorText = value;
    else if (name == "rc-id" && !value.empty()) plan.rcId = value;
    else if (name == "missing") {
      if (auto path = normalizePath(value)) plan.missing.insert(path->path);
    } else if (name == "no-space") {
      if (auto path = normalizePath(value)) plan.noSpace.insert(path->path);
    }
  }
  return plan;
}

std::optional<Fatal> FaultPlan::refusal(const std::string& server) const {
  if (connectFail)
    return Fatal{kExitConnect, "umkvt: failed to connect to " + server + ": Connection refused"};
  if (protocolMismatch) return Fatal{kExitProtocol, kTextProtocolMismatch};
  if (authFailed) return Fatal{kExitAuth, kTextAuthFailed};
  if (passwordMismatch) return Fatal{kExitAuth, kTextPasswordMismatch};
  if (maintenance) return Fatal{kExitMaintenance, kTextMaintenance};
  if (blocked) return Fatal{kExitBlocked, kTextBlocked};
  if (accountCancelled) return Fatal{kExitAccountCancelled, kTextAccountCancelled};
  if (umkvtErrorText) return umkvtError(*umkvtErrorText);
  return std::nullopt;
}

}  // namespace ulmora::kvt
