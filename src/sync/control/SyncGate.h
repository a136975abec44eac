#pragma once

#include <optional>
#include <string>

#include "foundation/LoginDetails.h"
#include "platform/PropertyList.h"

namespace ulmora {

// Whether the account may sync now, from the login details and the
// sync-folder list. A pure decision: the caller reads the files.
//
// Thread-safety: stateless.
namespace syncgate {

inline constexpr int kNoAccount = 0;        // no account name, or no sync folder for it
inline constexpr int kUnlinked = 1;         // "Unlink status"
inline constexpr int kPaused = 3;           // "Pause"
inline constexpr int kMaySync = 4;
inline constexpr int kMoveInProgress = 5;   // "Move in progress"
inline constexpr int kNoLoginDetails = 7;   // the login details are missing or unreadable

inline constexpr const char* kAccountUserKey = LoginDetails::kAccountUserKey;
inline constexpr const char* kUnlinkKey = LoginDetails::kUnlinkKey;
inline constexpr const char* kMoveKey = LoginDetails::kMoveKey;
inline constexpr const char* kPauseKey = LoginDetails::kPauseKey;

struct Input {
  // The controller's sync user name; nullopt or "" when it has none.
  std::optional<std::string> syncUserName;
  bool loginDetailsExist = false;
  // The login details as a dictionary; null when they cannot be read as one.
  const PropertyList* loginDetails = nullptr;
  // The sync-folder list (account name -> sync root); null when missing or
  // unreadable.
  const PropertyList* syncFolders = nullptr;
};

int shouldSync(const Input& input);

// Whether a gate value lets startSync go on (0, 4 and 7 do).
bool startMayProceed(int gate);

}  // namespace syncgate
}  // namespace ulmora
