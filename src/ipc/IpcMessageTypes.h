#pragma once

namespace ulmora::messagetype {

// Commands the companions send to the agent.
inline constexpr int kFileVersion = 10;
inline constexpr int kStartSync = 48;
inline constexpr int kUnlink = 49;
inline constexpr int kUnlinkToo = 50;
inline constexpr int kPause = 502;
inline constexpr int kResume = 503;
inline constexpr int kDisableSync = 506;
inline constexpr int kRecalculateQuota = 508;
inline constexpr int kPing = 510;
inline constexpr int kSelectiveSyncChanged = 513;
inline constexpr int kReinitialize = 517;

// Messages the agent sends.
// Sent to a companion as soon as it connects: payload ["sync agent",
// console user, process id], so it knows which agent serves it. A number no
// other message uses (0 is the monitor's over-quota message).
inline constexpr int kAgentAnnouncement = 900;
inline constexpr int kFinderSyncRoot = 3;
inline constexpr int kFinderSyncRootAgain = 47;
inline constexpr int kMonitorSyncFolderDisabled = 512;
inline constexpr int kMonitorSyncFolderInvalid = 511;

}  // namespace ulmora::messagetype
