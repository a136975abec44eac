#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/PropertyList.h"

namespace ulmora {

// The fields of one push message the sync controller looks at.
//
// Thread-safety: a value type.
struct PushMessage {
  // "id", "Id" and "ID" as integers (0 when absent or not a number).
  int64_t id = 0;
  int64_t Id = 0;
  int64_t ID = 0;
  // The raw "path" text ("" when absent or not a text).
  std::string path;
  std::string uid;
  std::string topic;

  // Reads a message dictionary; any other value gives an all-empty message.
  static PushMessage fromPropertyList(const PropertyList& message);

  bool anyIdIs(int64_t value) const { return id == value || Id == value || ID == value; }
  // The path, lower-cased then URL-decoded, names the out-of-box area.
  bool isOutOfBox() const;
};

// What the controller is doing when a message arrives.
struct PushContext {
  // The sync gate's answer: 1 unlinked, 2 not ready, 3 paused, 4 running.
  int gate = 4;
  bool reinitializing = false;
  // This computer's id; nullopt or "" when it cannot be read.
  std::optional<std::string> machineID;
};

enum class PushAccountEvent { kNone, kQuotaUpgraded, kPasswordChanged, kAccountCancelled };

// The reaction to one message, for the handler to carry out in this order:
// unlink notice, account event, timer resets and listing request, status
// text, pause mark.
struct PushReaction {
  bool ignored = false;           // the gate says the account is not ours now
  bool dummy = false;             // keep-alive: only the 900 s timer resets
  bool unlinkThisComputer = false;
  PushAccountEvent accountEvent = PushAccountEvent::kNone;
  bool queueListing = false;      // also resets the periodic and keep-alive timers
  std::string statusText;         // set on the monitor when queueListing
  bool duringPause = false;
  std::vector<std::string> traces;  // lines for the daemon trace

  bool operator==(const PushReaction&) const = default;
};

// The message table as a pure function.
//
// An account-cancelled message (1201) resets the timers and queues a listing
// like any other; with the login details gone, the cycle's gate keeps that
// listing from running. One choice differs from a plain reading of the
// table: an unlink message (1203) with an empty path or an unreadable machine
// id never unlinks this computer (an empty path would otherwise match an
// empty id).
PushReaction decidePushMessage(const PushMessage& message, const PushContext& context);

namespace pushids {
inline constexpr int64_t kDummy = 1;
inline constexpr int64_t kUpload = 1001;
inline constexpr int64_t kCreateFolderOld = 1002;
inline constexpr int64_t kDelete = 1003;
inline constexpr int64_t kDeleteOther = 1004;
inline constexpr int64_t kRename = 1005;
inline constexpr int64_t kRenameOther = 1006;
inline constexpr int64_t kCreateFolder = 1008;
inline constexpr int64_t kVersion = 1013;
inline constexpr int64_t kFolderMove = 1016;
inline constexpr int64_t kFolderMoveOther = 1017;
inline constexpr int64_t kAccountCancelled = 1201;
inline constexpr int64_t kPasswordChanged = 1202;
inline constexpr int64_t kUnlinked = 1203;
inline constexpr int64_t kQuotaUpgraded = 1205;
}  // namespace pushids

}  // namespace ulmora
