#include "sync/status/UlmoraSyncStatus.h"

#include <array>
#include <optional>
#include <utility>
#include <vector>

#include "foundation/QLBackupProgressLogger.h"
#include "platform/PropertyList.h"
#include "sync/status/SyncTraceTexts.h"

namespace ulmora {

namespace {

constexpr const char* kInProcessKey = "InProcess";
constexpr size_t kSlots = 5;
constexpr size_t kMaxLines = 4;

bool startsWith(std::string_view s, std::string_view prefix) { return s.starts_with(prefix); }
bool contains(std::string_view s, std::string_view part) {
  return s.find(part) != std::string_view::npos;
}

std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (true) {
    size_t nl = text.find('\n', start);
    lines.push_back(text.substr(start, nl == std::string::npos ? std::string::npos : nl - start));
    if (nl == std::string::npos) break;
    start = nl + 1;
  }
  return lines;
}

std::string joinLines(const std::vector<std::string>& lines) {
  std::string out;
  for (const auto& line : lines) {
    if (!out.empty()) out += '\n';
    out += line;
  }
  return out;
}

// The filled slots in order, at most four of them.
std::string joinSlots(const std::array<std::string, kSlots>& slots) {
  std::vector<std::string> filled;
  for (const auto& s : slots) {
    if (!s.empty() && filled.size() < kMaxLines) filled.push_back(s);
  }
  return joinLines(filled);
}

void eraseAll(std::string& text, std::string_view part) {
  if (part.empty()) return;
  size_t at = 0;
  while ((at = text.find(part, at)) != std::string::npos) text.erase(at, part.size());
}

// The slot an item takes in the merged status.
std::optional<size_t> mergeSlot(std::string_view line) {
  if (startsWith(line, "T1002") || startsWith(line, "Performing Sync Up...")) return 0;
  if (startsWith(line, "T1005") || startsWith(line, "Performing Sync Down...")) return 1;
  if (startsWith(line, "Renaming file(s)..")) return 2;
  if (startsWith(line, "Deleting file(s)..")) return 3;
  if (startsWith(line, "Creating Folder...")) return 4;
  return std::nullopt;
}

bool isMergedItem(std::string_view item) {
  return startsWith(item, "Deleting file(s)..") || startsWith(item, "Renaming file(s)..") ||
         startsWith(item, "Performing Sync Down...") || startsWith(item, "Performing Sync Up...") ||
         startsWith(item, "T1002") || startsWith(item, "T1005") ||
         startsWith(item, "Creating Folder...");
}

// A transfer or operation is shown: "checking the server" must not hide it.
// Progress lines count too, or a listing started mid-upload would wipe the
// upload's progress from the monitor.
bool isBusy(const std::string& status) {
  if (contains(status, "Performing") || contains(status, "file(s)") ||
      contains(status, "Syncing")) {
    return true;
  }
  for (const auto& line : splitLines(status)) {
    if (startsWith(line, "T1002") || startsWith(line, "T1005")) return true;
  }
  return false;
}

// Codes the quota code never replaces: operations that are not uploads,
// download progress, and states that say why nothing can sync at all (no
// network, maintenance, cancelled, unlinked, sync folder problems, blocked).
bool isExemptFromQuota(const std::string& code) {
  static constexpr std::string_view kExact[] = {"T1006", "T1007", "T1008", "T1004", "T1010"};
  for (auto c : kExact) {
    if (code == c) return true;
  }
  static constexpr std::string_view kPrefixes[] = {"T1005", "T1012", "T1017", "T1018",
                                                   "T1019", "T1020", "T1021", "T1022"};
  for (auto p : kPrefixes) {
    if (startsWith(code, p)) return true;
  }
  return false;
}

// Length of the UTF-8 sequence at `i`; 1 for a byte that does not start a
// valid sequence.
size_t sequenceLength(std::string_view s, size_t i) {
  const auto b = static_cast<unsigned char>(s[i]);
  size_t len = 1;
  unsigned char min2 = 0x80, max2 = 0xBF;
  if (b >= 0xC2 && b <= 0xDF) {
    len = 2;
  } else if (b >= 0xE0 && b <= 0xEF) {
    len = 3;
    if (b == 0xE0) min2 = 0xA0;
    if (b == 0xED) max2 = 0x9F;
  } else if (b >= 0xF0 && b <= 0xF4) {
    len = 4;
    if (b == 0xF0) min2 = 0x90;
    if (b == 0xF4) max2 = 0x8F;
  } else {
    return 1;
  }
  if (i + len > s.size()) return 1;
  for (size_t k = 1; k < len; ++k) {
    const auto c = static_cast<unsigned char>(s[i + k]);
    if (k == 1 ? (c < min2 || c > max2) : (c < 0x80 || c > 0xBF)) return 1;
  }
  return len;
}

}  // namespace

UlmoraSyncStatus::UlmoraSyncStatus(SyncStatusHost& host, MonitorSink& monitor)
    : host_(host), monitor_(monitor) {}

void UlmoraSyncStatus::initialize() {
  MutexLock lock(mu_);
  currentStatus_.clear();
  qoutafull_ = false;
}

std::string UlmoraSyncStatus::currentStatus() const {
  MutexLock lock(mu_);
  return currentStatus_;
}

bool UlmoraSyncStatus::isQuotaFull() const {
  MutexLock lock(mu_);
  return qoutafull_;
}

void UlmoraSyncStatus::send(const std::string& payload, int type) {
  monitor_.sendToMonitor(payload, type);
}

void UlmoraSyncStatus::setMonitorToolTip(const std::string& item) {
  MutexLock lock(mu_);
  if (!host_.isNWAvailable()) {
    send("T1012", kStatusMessageType);
    return;
  }
  if (item.empty()) return;
  if (startsWith(item, "T1002") && !host_.isbackupStarted()) return;
  if (startsWith(item, "T1005") && !host_.isrestoreStarted()) return;
  if (isMergedItem(item)) {
    writeLocked(concatenateToolTip(currentStatus_, item));
    return;
  }
  if (startsWith(item, "T1016") && isBusy(currentStatus_)) return;
  writeLocked(item);
}

std::string UlmoraSyncStatus::concatenateToolTip(const std::string& status,
                                                 const std::string& item) {
  std::array<std::string, kSlots> slots;
  for (const auto& line : splitLines(status)) {
    if (auto slot = mergeSlot(line)) slots[*slot] = line;
  }
  if (auto slot = mergeSlot(item)) {
    const bool keepUploadProgress = *slot == 0 && startsWith(item, "Performing Sync Up...") &&
                                    startsWith(slots[0], "T1002");
    const bool keepDownloadProgress = *slot == 1 &&
                                      startsWith(item, "Performing Sync Down...") &&
                                      startsWith(slots[1], "T1005");
    if (!keepUploadProgress && !keepDownloadProgress) slots[*slot] = item;
  }
  std::string merged = joinSlots(slots);
  return merged.empty() ? kUpToDate : merged;
}

std::string UlmoraSyncStatus::getCurrentTooltipID(const std::string& status) {
  std::array<std::string, kSlots> slots;
  for (const auto& line : splitLines(status)) {
    if (startsWith(line, "T1002")) {
      slots[0] = line;
    } else if (startsWith(line, "Performing Sync Up...")) {
      slots[0] = "T1003";
    } else if (startsWith(line, "T1005")) {
      slots[1] = line;
    } else if (startsWith(line, "Performing Sync Down...")) {
      slots[1] = "T1004";
    } else if (startsWith(line, "Renaming file(s)..")) {
      slots[2] = "T1006";
    } else if (startsWith(line, "Deleting file(s)..")) {
      slots[3] = "T1007";
    } else if (startsWith(line, "Creating Folder..")) {
      slots[4] = "T1009";
    } else if (startsWith(line, "T10")) {
      return line;
    }
  }
  std::string codes = joinSlots(slots);
  return codes.empty() ? "T1001" : codes;
}

void UlmoraSyncStatus::removeItemFromToolTipFor(const std::string& item) {
  MutexLock lock(mu_);
  daemonTrace("removeItemFromToolTipFor:" + item);
  if (startsWith(item, "Performing") || startsWith(item, "Creating Folder...") ||
      item.ends_with("file(s)...") || startsWith(item, "T1016") ||
      item == "Applying Selective Sync changes...") {
    std::string status = currentStatus_;
    eraseAll(status, "\n" + item);
    eraseAll(status, item);
    struct Companion {
      const char* item;
      const char* code;
    };
    static constexpr Companion kCompanions[] = {
        {"Renaming file(s)...", "T1006"},
        {"Creating Folder...", "T1009"},
        {"Deleting file(s)...", "T1007"},
        {"Applying Selective Sync changes...", "T1014"},
    };
    for (const auto& c : kCompanions) {
      if (contains(item, c.item)) {
        eraseAll(status, std::string("\n") + c.code);
        eraseAll(status, c.code);
      }
    }
    // Cutting a line out must not leave an empty one behind.
    std::vector<std::string> kept;
    for (auto& line : splitLines(status)) {
      if (!line.empty()) kept.push_back(std::move(line));
    }
    writeLocked(joinLines(kept));
    daemonTrace("End4:removeItemFromToolTipFor:" + item);
    return;
  }
  // A whole kind goes: every line that mentions it.
  struct KindRemoval {
    const char* prefix;
    std::array<const char*, 3> lines;
  };
  static constexpr KindRemoval kKinds[] = {
      {"T1002", {"T1002", nullptr, nullptr}},
      {"Syncing Up", {"Performing Sync Up", "T1002", "Syncing Up"}},
      {"Syncing Down", {"Performing Sync Down", "T1005", "Syncing Down"}},
      {"T1005", {"T1005", nullptr, nullptr}},
  };
  for (const auto& kind : kKinds) {
    if (!startsWith(item, kind.prefix)) continue;
    std::vector<std::string> kept;
    for (const auto& line : splitLines(currentStatus_)) {
      bool drop = false;
      for (const char* mark : kind.lines) drop = drop || (mark != nullptr && contains(line, mark));
      if (!drop) kept.push_back(line);
    }
    writeLocked(joinLines(kept));
    daemonTrace("End3:removeItemFromToolTipFor:" + item);
    return;
  }
  if (startsWith(item, "No network connectivity")) {
    writeLocked(currentStatus_);
    daemonTrace("End2:removeItemFromToolTipFor:" + item);
    return;
  }
  // Typically "T1012" when the network is back: what was going on before is
  // still the status, so the monitor gets its code again (not "up to date").
  daemonTrace(synctexts::kNotMatchingAnyCase);
  writeLocked(currentStatus_);
  daemonTrace("End1:removeItemFromToolTipFor:" + item);
}

void UlmoraSyncStatus::removePNSRelatedToolTipsOnMainThread() {
  MutexLock lock(mu_);
  std::vector<std::string> kept;
  for (const auto& line : splitLines(currentStatus_)) {
    if (line.ends_with("file(s)..") || line.ends_with("Creating Folder..") ||
        line.ends_with("T1016")) {
      continue;
    }
    kept.push_back(line);
  }
  writeLocked(joinLines(kept));
}

void UlmoraSyncStatus::WriteToCurrentStatus(const std::string& status) {
  MutexLock lock(mu_);
  writeLocked(status);
}

void UlmoraSyncStatus::writeLocked(const std::string& status) {
  if (!status.empty() && status != "\n") {
    currentStatus_ = status;
    const bool busy = status != kUpToDate && status != "T1001";
    if (!busy) daemonTrace("case 4 setting InProccess 0 " + status);
    setInProcessLocked(busy);
  } else if (host_.isListingGoingOn()) {
    currentStatus_ = "T1016";
    setInProcessLocked(true);
  } else {
    currentStatus_ = kUpToDate;
    send("T1001", kStatusMessageType);
    daemonTrace("case 3 setting InProccess 0");
    setInProcessLocked(false);
  }
  send(quotaRuleLocked(getCurrentTooltipID(currentStatus_)), kStatusMessageType);
}

void UlmoraSyncStatus::setInProcessLocked(bool busy) {
  const std::string path = host_.getSyncFilePath();
  if (path.empty()) return;
  if (!statusFile_ || statusFile_->path() != path) statusFile_ = std::make_unique<CachedPropertyListFile>(path);
  const std::optional<PropertyList>& current = statusFile_->contents();
  PropertyList plist = current && current->isDict() ? *current : PropertyList(PropertyList::Dict{});
  const std::string value = busy ? "1" : "0";
  if (plist.stringFor(kInProcessKey) == value) return;
  plist.set(kInProcessKey, value);
  // The monitor reads this file at any time: never let it see half of it.
  if (!statusFile_->write(std::move(plist))) daemonTrace("could not write the sync status file " + path);
}

std::string UlmoraSyncStatus::quotaRuleLocked(const std::string& code) {
  if (!qoutafull_ || isExemptFromQuota(code)) return code;
  return host_.isSubAccount() ? code : "T1015";
}

void UlmoraSyncStatus::showDesktopPushNotification(const std::string& text) {
  send(text, kNotificationMessageType);
}

void UlmoraSyncStatus::sendCurrentSyncStatus() {
  MutexLock lock(mu_);
  const std::string code = quotaRuleLocked(getCurrentTooltipID(currentStatus_));
  daemonTrace(synctexts::idLoginUserFilePath(host_.accountDetailsPath(), host_.isSubAccount()));
  daemonTrace("sendCurrentSyncStatus " + code);
  send(code, kStatusMessageType);
}

void UlmoraSyncStatus::setQuotaFull(bool full) {
  MutexLock lock(mu_);
  const bool wasFull = qoutafull_;
  qoutafull_ = full;
  if (wasFull && !full) send(getCurrentTooltipID(currentStatus_), kQuotaReleasedMessageType);
}

std::string UlmoraSyncStatus::shortenedNotificationName(std::string_view name) {
  constexpr size_t kShortenFrom = 39;
  constexpr size_t kHead = 17;
  constexpr size_t kTail = 18;
  std::vector<size_t> starts;  // byte offset of each character
  for (size_t i = 0; i < name.size(); i += sequenceLength(name, i)) starts.push_back(i);
  if (starts.size() < kShortenFrom) return std::string(name);
  const size_t headEnd = starts[kHead];
  const size_t tailBegin = starts[starts.size() - kTail];
  return std::string(name.substr(0, headEnd)) + "..." + std::string(name.substr(tailBegin));
}

}  // namespace ulmora
