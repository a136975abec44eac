#pragma once

#include <string>
#include <string_view>

namespace ulmora::servicetexts {

// Texts and name rules shared by the service operations.

// Server names of thumbnails and video previews: an item whose name ends with
// one of these is the agent's own by-product and never reported as a user's.
inline constexpr std::string_view kThumbnailSuffixes[] = {"_THINT", "_THSML", "_THTIN", "_THVID"};
bool hasThumbnailSuffix(std::string_view path);

// The account messages reported ahead of the engine's own text.
inline constexpr std::string_view kMaintenanceMessage =
    "Your account is under maintenance or auth failed on module quellar Try later.";
inline constexpr std::string_view kBlockedMessage = "Your account has been blocked. Try later.";

bool isMaintenanceError(std::string_view error);  // maintenance or authentication
bool isBlockedError(std::string_view error);

// The first of the messages above that `error` calls for, "" for none.
std::string accountMessageFor(std::string_view error);

}  // namespace ulmora::servicetexts
