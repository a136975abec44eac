#pragma once

#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/ThreadAnnotations.h"

#include "engine/User.h"
#include "journal/RenameEntry.h"
#include "media/UserDetails.h"
#include "platform/Clock.h"
#include "platform/PropertyList.h"

namespace ulmora {

// The account's connection settings as read from the login details, the
// gate's view of the same file, the bandwidth throttle, the session log
// names, the connection records made from them and the renames held back
// while their file uploads.
//
// Bad input: a login-details or settings file that is missing, truncated or
// of the wrong type is traced and the last good values are kept; a corrected
// file is picked up by the next read.
//
// Thread-safety: every method may be called from any thread; one mutex
// guards the values, another the rename map, a third the session log choice.
class AccountSettings {
 public:
  // Keys of the login details.
  static constexpr const char* kAccountUserKey = "Ulmora username";
  static constexpr const char* kEngineUserKey = "UlmoraSync username";
  static constexpr const char* kPasswordKey = "UlmoraSync password";
  static constexpr const char* kUserAtServerKey = "UserAtServer";
  static constexpr const char* kIPKey = "IP";
  static constexpr const char* kServerNameKey = "serverName";
  static constexpr const char* kQuotaServerKey = "quotaServername";
  static constexpr const char* kAccountPlanKey = "Account plan";
  static constexpr const char* kPushServerKey = "Pnsserver";
  static constexpr const char* kPrivateKeyKey = "Ulmora privateKey";
  // The key of an account that set none of its own.
  static constexpr const char* kDefaultPrivateKey = "q4w8r2t6hb3n9k5s";
  // Keys of the daemon preferences.
  static constexpr const char* kEnableThrottleKey = "EnableBandwidthThrottleKey";
  static constexpr const char* kThrottleKey = "BandwidthThrottleKey";
  static constexpr const char* kThrottleIdleKey = "BandwidthThrottleForIdleKey";
  static constexpr const char* kThrottleAutoPauseKey = "BandwidthThrottleAutoPauseKey";
  // What a transfer runs at when the preferences cannot be read.
  static constexpr const char* kDefaultThrottle = "100";

  struct Values {
    std::string gUlmoraUserName;
    std::string guserName;
    std::string gPasswordString;
    std::string gUserAtServer;
    std::string gServerName;
    std::string gEPassword;
    std::optional<std::string> gQuotaServerName;
    std::string gAccountPlan;
    bool mIsBusinessUser = false;
    std::string gPNSServer;
    std::string gPvtKey;
    std::string gEPPassword;
    bool operator==(const Values&) const = default;
  };

  struct Files {
    std::string loginDetails;       // 26 LastUserLoginDetailsFilePath
    std::string syncFolders;        // 110 SyncFolderPath
    std::string defaultKeys;        // 94 DefaultKeyPath
    std::string daemonPreferences;  // 2 DeamonPreferencePath
    std::string idleMarker;         // 152 SystemInIdleState
    std::string sessionLogsFolder;  // 32 SessionLogsFolderPath (ends with "/")
    std::string sessionListing;     // "<application file 1>/SessionLogsNew/Sync"
    std::string proxySettings;      // 84 ProxySettingsFile
  };

  // Engine-encodes a password or key; nullopt when the encoder fails.
  using Encoder = std::function<std::optional<std::string>(const std::string&)>;
  // Turns a stored password or key back into text.
  using Decoder = std::function<std::string(const std::string&)>;

  AccountSettings(Files files, Encoder encoder, Decoder decoder);

  // ------------------------------------------------------------ login details
  struct Applied {
    // The sync-folder list's root for the account, when it names one.
    std::optional<std::string> syncRoot;
    // The plan makes this a business account (the over-quota marker goes).
    bool businessUser = false;
  };
  // setUserData: reads the login details and the sync-folder list. nullopt
  // (values unchanged) when the login details are missing or unusable.
  // Runs the encoder (the engine) on the calling thread; read(), the
  // encoding and commit() are the same in three steps.
  std::optional<Applied> load();
  // The files read and the values they give, but for the engine-encoded
  // secrets, which keep the values of the last commit until encodeSecrets.
  struct Reading {
    Values values;
    PropertyList login;
    Applied applied;
  };
  std::optional<Reading> read() const;
  // Engine-encodes the reading's password and key (the engine runs: minutes
  // on a hung one). Any thread; touches nothing of the settings.
  static void encodeSecrets(Values& values, const Encoder& encoder);
  // The reading's values (secrets encoded) become the settings.
  void commit(Reading reading);
  // The pure part: `values` updated from a login-details dictionary.
  static void apply(Values& values, const PropertyList& login, const Encoder& encoder,
                    const Decoder& decoder);
  Values values() const;
  // A storage server named by service discovery: every later connection
  // record takes it, and the login details keep it as "serverName" (when
  // they exist), until the next discovery. The next load() reads "IP" first,
  // so a login-details file naming one goes back to it.
  void useDiscoveredServer(const std::string& server);

  // shouldSync's reading of the two files. A login-details file that exists
  // but cannot be read gives the last good reading (traced) when there is one.
  int gate(const std::optional<std::string>& syncUserName);

  bool isDefaultKeySetForUser(const std::string& user) const;

  // ------------------------------------------------------------ records
  // The connection record every engine run and service client of the account
  // takes: the values as they are now, this agent's port, whether the user's
  // key is the default one, the proxy settings file.
  User connectionRecord() const;
  // The same for the media extras, which run the engine at `enginePath` on
  // the sync root `syncRoot`.
  UserDetails mediaDetails(const std::string& enginePath, const std::string& syncRoot) const;

  // ------------------------------------------------------------ throttle
  // The value for the upload (true) or download manager from the daemon
  // preferences, in the engine's unit (bytes per second).
  std::string bandwidthThrottle(bool uploadManager) const;
  // The limit a new run starts with: bandwidthThrottle() while the user has a
  // readable preferences file, else "" (unlimited). Runs always started
  // unlimited; the default of 100 KB/s for a missing file would otherwise cap
  // every run of a user who never set a limit.
  std::string runStartThrottle(bool uploadManager) const;
  // The preference as written (kilobytes per second).
  static std::string throttleFrom(const PropertyList* preferences, bool uploadManager, bool idle);
  // A preference in kilobytes per second as the engine's bytes per second.
  // Anything but a positive whole number ("", "0", "-1", text) is passed on
  // unchanged: the engine reads those as unlimited or held.
  static std::string engineRateFrom(const std::string& kilobytesPerSecond);

  // ------------------------------------------------------------ session logs
  // The session log path for an operation whose log of today is named
  // `wantedName`, and whether it is new (the caller writes the log-on line).
  // An empty path (not new) while the session-log folder is unknown.
  struct SessionFile {
    std::string path;
    bool isNew = true;
  };
  SessionFile sessionFileFor(const std::string& wantedName, const std::string& operationName);

  // ------------------------------------------------------------ renames
  // checkRenamedFileisUnderBackup, given whether the upload runs and its
  // current set.
  bool holdRenameForUpload(const RenameEntry& rename, bool uploadRunning,
                           const std::vector<std::string>& uploadSet);
  // The held renames (old relative path -> new), taken out.
  std::map<std::string, std::string> takeRenamesAfterBackup();
  // The held rename of one path, taken out; nullopt when none is held. A
  // rename handed on with uploadAfterRename counts as held here, so the
  // server's rename of it uploads the new name.
  std::optional<std::string> takeRenameAfterBackup(const std::string& oldPath);
  // A held rename handed on while the file's content never reached the
  // server (its upload failed or was cancelled first).
  void uploadAfterRename(const RenameEntry& rename);
  std::map<std::string, std::string> renamesAfterBackup() const;

 private:
  const Files files_;
  const Encoder encoder_;
  const Decoder decoder_;

  mutable Mutex mu_;
  Values values_ ULMORA_GUARDED_BY(mu_);
  std::optional<PropertyList> lastGoodLogin_ ULMORA_GUARDED_BY(mu_);

  mutable Mutex renameMu_;
  std::map<std::string, std::string> mRenameDicAfterBackup_ ULMORA_GUARDED_BY(renameMu_);
  std::map<std::string, std::string> uploadAfterRename_ ULMORA_GUARDED_BY(renameMu_);

  // The listing of the session logs and the choice among them are one step;
  // what it guards is on disk.
  Mutex sessionLogLock_;
};

}  // namespace ulmora
