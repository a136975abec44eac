#include "sync/control/AccountSettings.h"

#include <gtest/gtest.h>

#include "TestTempDir.h"
#include "platform/FileUtil.h"

namespace ulmora {

void PrintTo(const AccountSettings::Values& v, std::ostream* os) {
  *os << "{" << v.gUlmoraUserName << "|" << v.guserName << "|" << v.gPasswordString << "|"
      << v.gUserAtServer << "|" << v.gServerName << "|" << v.gEPassword << "|"
      << v.gQuotaServerName.value_or("(none)") << "|" << v.gAccountPlan << "|"
      << v.mIsBusinessUser << "|" << v.gPNSServer << "|" << v.gPvtKey << "|" << v.gEPPassword
      << "}";
}

namespace {

using Values = AccountSettings::Values;

PropertyList dict(std::initializer_list<std::pair<const std::string, PropertyList>> entries) {
  return PropertyList(PropertyList::Dict(entries));
}

// Encoding and decoding that show what they were given.
std::optional<std::string> encode(const std::string& s) { return "enc(" + s + ")"; }
std::string decode(const std::string& s) { return "dec(" + s + ")"; }

TEST(AccountSettingsTest, LoginDetailsFillTheSettingsKeyByKey) {
  Values before;
  before.gServerName = "old.server";
  before.gAccountPlan = "P";
  before.gQuotaServerName = "old.quota";
  before.gPNSServer = "https://old/pns/broadcast";
  struct Case {
    const char* name;
    PropertyList login;
    std::function<void(Values&)> expect;  // changes from `before`
  } cases[] = {
      {"IP wins over serverName",
       dict({{"IP", "10.0.0.1"}, {"serverName", "name.server"}}),
       [](Values& v) { v.gServerName = "10.0.0.1"; }},
      {"serverName without IP", dict({{"serverName", "name.server"}}),
       [](Values& v) { v.gServerName = "name.server"; }},
      {"names, password and the user at the server",
       dict({{"Ulmora username", "ann"},
             {"UlmoraSync username", "ann-sync"},
             {"UlmoraSync password", "secret"},
             {"UserAtServer", "Ann@Server.EXAMPLE"}}),
       [](Values& v) {
         v.gUlmoraUserName = "ann";
         v.guserName = "ann-sync";
         v.gPasswordString = "dec(secret)";
         v.gEPassword = "enc(dec(secret))";
         v.gUserAtServer = "ann@server.example";
       }},
      {"plan F is not a business plan", dict({{"Account plan", "F"}}),
       [](Values& v) {
         v.gAccountPlan = "F";
         v.mIsBusinessUser = false;
       }},
      {"an empty plan is a business plan", dict({{"Account plan", ""}}),
       [](Values& v) { v.gAccountPlan = ""; }},
      {"own private key", dict({{"Ulmora privateKey", "k"}}),
       [](Values& v) {
         v.gPvtKey = "dec(k)";
         v.gEPPassword = "enc(dec(k))";
       }},
      {"push server", dict({{"Pnsserver", "push.example"}}),
       [](Values& v) { v.gPNSServer = "https://push.example/pns/broadcast"; }},
      {"quota server", dict({{"quotaServername", "q.example"}}),
       [](Values& v) { v.gQuotaServerName = "q.example"; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Values got = before;
    AccountSettings::apply(got, c.login, encode, decode);
    Values want = before;
    // What every reading sets: the default key when none is given, the
    // quota server only when given, the business flag from the plan.
    want.gPvtKey = AccountSettings::kDefaultPrivateKey;
    want.gEPPassword = "enc(" + std::string(AccountSettings::kDefaultPrivateKey) + ")";
    want.gQuotaServerName.reset();
    want.mIsBusinessUser = true;
    want.gEPassword = "enc()";
    c.expect(want);
    EXPECT_EQ(got, want);
  }
}

TEST(AccountSettingsTest, AFailingEncoderLeavesTheEncodedValuesAlone) {
  Values v;
  v.gEPassword = "kept";
  v.gEPPassword = "kept too";
  AccountSettings::apply(v, dict({{"UlmoraSync password", "p"}}),
                         [](const std::string&) { return std::optional<std::string>(); }, decode);
  EXPECT_EQ(v.gEPassword, "kept");
  EXPECT_EQ(v.gEPPassword, "kept too");
}

class SettingsFiles : public ::testing::Test {
 protected:
  AccountSettings::Files files() const {
    AccountSettings::Files f;
    f.loginDetails = dir.sub("login.plist");
    f.syncFolders = dir.sub("folders.plist");
    f.defaultKeys = dir.sub("keys.plist");
    f.daemonPreferences = dir.sub("prefs.plist");
    f.idleMarker = dir.sub("idle");
    f.sessionLogsFolder = dir.sub("logs") + "/";
    f.sessionListing = dir.sub("logs");
    f.proxySettings = dir.sub("proxy.plist");
    return f;
  }
  testing::TestTempDir dir;
  AccountSettings settings{files(), encode, decode};
};

TEST_F(SettingsFiles, BadLoginDetailsKeepTheLastGoodValuesUntilCorrected) {
  dict({{"Ulmora username", "ann"}, {"IP", "srv1"}}).writeFile(files().loginDetails);
  dict({{"ann", "/home/ann/Sync"}}).writeFile(files().syncFolders);
  auto applied = settings.load();
  ASSERT_TRUE(applied);
  EXPECT_EQ(applied->syncRoot, "/home/ann/Sync");
  EXPECT_EQ(settings.values().gServerName, "srv1");

  struct Case {
    const char* name;
    std::optional<std::string> bytes;  // nullopt: no file
  } bad[] = {
      {"missing", std::nullopt},
      {"truncated", std::string("<?xml version=\"1.0\"?><plist><dict><key>IP</key><str")},
      {"not a dictionary", PropertyList(PropertyList::Array{PropertyList("IP")}).toXml()},
      {"empty", std::string()},
  };
  for (const Case& c : bad) {
    SCOPED_TRACE(c.name);
    fileutil::removeAll(files().loginDetails);
    if (c.bytes) fileutil::writeFileAtomically(files().loginDetails, *c.bytes);
    EXPECT_FALSE(settings.load());
    EXPECT_EQ(settings.values().gServerName, "srv1");
    EXPECT_EQ(settings.values().gUlmoraUserName, "ann");
  }
  dict({{"Ulmora username", "ann"}, {"IP", "srv2"}}).writeFile(files().loginDetails);
  EXPECT_TRUE(settings.load());
  EXPECT_EQ(settings.values().gServerName, "srv2");
}

// A discovered server serves every later connection record until the next
// reading of the login details, which takes "IP" before "serverName".
TEST_F(SettingsFiles, BothRecordsCarryTheValuesReadAndWhetherTheKeyIsTheDefault) {
  ASSERT_TRUE(dict({{"Ulmora username", "ann"},
                    {"UlmoraSync username", "ann-sync"},
                    {"UlmoraSync password", "pw"},
                    {"Ulmora privateKey", "pk"},
                    {"IP", "10.0.0.1"},
                    {"quotaServername", "quota.example"}})
                  .writeFile(files().loginDetails));
  ASSERT_TRUE(settings.load());
  const Values v = settings.values();
  struct Case {
    const char* name;
    std::optional<PropertyList> defaultKeys;  // nullopt: no file
    bool isDefault;
  } cases[] = {
      {"no list of default keys", std::nullopt, false},
      {"the engine user's key is the default", dict({{"ann-sync", "DEFAULT"}}), true},
      {"another user's key is", dict({{"ann", "DEFAULT"}, {"bob", "DEFAULT"}}), false},
      {"the user's key is set", dict({{"ann-sync", "OWN"}}), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fileutil::removeAll(files().defaultKeys);
    if (c.defaultKeys) {
      ASSERT_TRUE(c.defaultKeys->writeFile(files().defaultKeys));
    }

    const User u = settings.connectionRecord();
    EXPECT_EQ(u.userName(), "ann-sync");
    EXPECT_EQ(u.ulmoraUsername(), "ann");
    EXPECT_EQ(u.password(), v.gPasswordString);
    EXPECT_EQ(u.privateKey(), v.gPvtKey);
    EXPECT_EQ(u.kvtServerIP(), "10.0.0.1");
    EXPECT_EQ(u.webServer(), "quota.example");
    EXPECT_EQ(u.encPassword(), v.gEPassword);
    EXPECT_EQ(u.encPvtPassword(), v.gEPPassword);
    EXPECT_EQ(u.proxySettingsFilePath(), files().proxySettings);
    EXPECT_FALSE(u.port().empty());
    EXPECT_EQ(u.isDefaultKey(), c.isDefault);

    const UserDetails d = settings.mediaDetails("/opt/engine", "/home/ann/Sync");
    EXPECT_EQ(d.userName, "ann-sync");
    EXPECT_EQ(d.password, v.gPasswordString);
    EXPECT_EQ(d.server, "10.0.0.1");
    EXPECT_EQ(d.exePath, "/opt/engine");
    EXPECT_EQ(d.syncFolderPath, "/home/ann/Sync");
    EXPECT_EQ(d.encPassword, v.gEPassword);
    EXPECT_EQ(d.encPvtPassword, v.gEPPassword);
    EXPECT_EQ(d.isDefaultKey, c.isDefault);
  }
}

TEST_F(SettingsFiles, ADiscoveredServerHoldsUntilTheLoginDetailsAreReadAgain) {
  struct Case {
    const char* name;
    std::optional<PropertyList> login;  // nullopt: no file
    std::string discovered;
    std::string afterDiscovery, fileServerName, afterReload;
  } cases[] = {
      {"IP in the login details", dict({{"IP", "10.0.0.1"}, {"serverName", "old.example"}}), "new.example",
       "new.example", "new.example", "10.0.0.1"},
      {"serverName only", dict({{"serverName", "old.example"}}), "new.example", "new.example", "new.example",
       "new.example"},
      {"no login details", std::nullopt, "new.example", "new.example", "", "new.example"},
      {"an empty answer changes nothing", dict({{"serverName", "old.example"}}), "", "old.example",
       "old.example", "old.example"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fileutil::removeAll(files().loginDetails);
    AccountSettings s{files(), encode, decode};
    if (c.login) {
      ASSERT_TRUE(c.login->writeFile(files().loginDetails));
      ASSERT_TRUE(s.load());
    }
    s.useDiscoveredServer(c.discovered);
    EXPECT_EQ(s.values().gServerName, c.afterDiscovery);
    auto file = PropertyList::readFile(files().loginDetails);
    EXPECT_EQ(file ? file->stringFor("serverName").value_or("") : "", c.fileServerName);
    s.load();
    EXPECT_EQ(s.values().gServerName, c.afterReload);
  }
}

TEST_F(SettingsFiles, OnlyAUsableSyncRootReplacesTheAccountsRoot) {
  dict({{"Ulmora username", "ann"}}).writeFile(files().loginDetails);
  struct Case {
    const char* name;
    std::optional<std::string> root;  // nullopt: no entry
    std::optional<std::string> applied;
  } cases[] = {
      {"absolute", "/home/ann/Sync/", "/home/ann/Sync"},
      {"relative", "Sync", std::nullopt},
      {"climbing out", "/home/ann/../bob", std::nullopt},
      {"the file system root", "/", std::nullopt},
      {"no entry", std::nullopt, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PropertyList folders(PropertyList::Dict{});
    if (c.root) folders.set("ann", *c.root);
    folders.writeFile(files().syncFolders);
    const auto applied = settings.load();
    ASSERT_TRUE(applied);
    EXPECT_EQ(applied->syncRoot, c.applied);
  }
}

TEST_F(SettingsFiles, TheGateUsesTheLastGoodLoginDetailsWhileTheFileCannotBeRead) {
  dict({{"ann", "/home/ann/Sync"}}).writeFile(files().syncFolders);
  // Never read: an unreadable file is gate 7.
  fileutil::writeFileAtomically(files().loginDetails, "<plist><dict><key>Pau");
  EXPECT_EQ(settings.gate("ann"), 7);
  dict({{"Ulmora username", "ann"}, {"Pause", "1"}}).writeFile(files().loginDetails);
  EXPECT_EQ(settings.gate("ann"), 3);
  // Half-written now: the pause read last still holds.
  fileutil::writeFileAtomically(files().loginDetails, "<plist><dict><key>Pau");
  EXPECT_EQ(settings.gate("ann"), 3);
  // Gone: as the gate says.
  fileutil::removeAll(files().loginDetails);
  EXPECT_EQ(settings.gate("ann"), 7);
}

TEST(AccountSettingsThrottleTest, TheKeyDependsOnTheManagerTheSwitchAndIdleness) {
  const PropertyList prefs = dict({{"BandwidthThrottleKey", 300},
                                   {"BandwidthThrottleForIdleKey", "900"},
                                   {"BandwidthThrottleAutoPauseKey", 50}});
  const PropertyList enabled = dict({{"EnableBandwidthThrottleKey", true},
                                     {"BandwidthThrottleKey", 300},
                                     {"BandwidthThrottleForIdleKey", "900"},
                                     {"BandwidthThrottleAutoPauseKey", 50}});
  const PropertyList notADict = PropertyList("300");
  struct Case {
    const char* name;
    const PropertyList* prefs;
    bool upload;
    bool idle;
    const char* value;
  } cases[] = {
      {"no preferences", nullptr, true, false, "100"},
      {"unusable preferences", &notADict, true, false, "100"},
      {"upload, switch off", &prefs, true, true, "300"},
      {"download, switch off", &prefs, false, false, "300"},
      {"upload, switch on, busy", &enabled, true, false, "50"},
      {"upload, switch on, idle", &enabled, true, true, "900"},
      {"download ignores the switch", &enabled, false, true, "300"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(AccountSettings::throttleFrom(c.prefs, c.upload, c.idle), c.value);
  }
}

TEST_F(SettingsFiles, TheIdleMarkerChoosesTheIdleThrottle) {
  dict({{"EnableBandwidthThrottleKey", "1"},
        {"BandwidthThrottleForIdleKey", 900},
        {"BandwidthThrottleAutoPauseKey", 50}})
      .writeFile(files().daemonPreferences);
  EXPECT_EQ(settings.bandwidthThrottle(true), "51200");
  fileutil::writeFileAtomically(files().idleMarker, "");
  EXPECT_EQ(settings.bandwidthThrottle(true), "921600");
}

TEST_F(SettingsFiles, WithoutPreferencesTheEngineGetsTheDefaultInBytesPerSecond) {
  EXPECT_EQ(settings.bandwidthThrottle(true), "102400");
  EXPECT_EQ(settings.bandwidthThrottle(false), "102400");
  // A new run of a user who never set a limit is not capped by that default.
  EXPECT_EQ(settings.runStartThrottle(true), "");
  EXPECT_EQ(settings.runStartThrottle(false), "");
  PropertyList(PropertyList::Dict{{"BandwidthThrottleKey", 300}}).writeFile(files().daemonPreferences);
  EXPECT_EQ(settings.runStartThrottle(true), "307200");
  EXPECT_EQ(settings.runStartThrottle(false), "307200");
}

TEST(AccountSettingsThrottleTest, KilobytesPerSecondBecomeTheEnginesBytesPerSecond) {
  struct Case {
    const char* preference;
    const char* engine;
  } cases[] = {
      {"100", "102400"},  {"1", "1024"},     {"0.5", "512"}, {"0.0001", "1"},
      {"0", "0"},         {"", ""},          {"-1", "-1"},   {"-5", "-5"},
      {"fast", "fast"},   {"12k", "12k"},    {"1e300", "0"}, {"inf", "0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.preference);
    EXPECT_EQ(AccountSettings::engineRateFrom(c.preference), c.engine);
  }
}

TEST_F(SettingsFiles, ASessionLogOfTodayIsFoundAgainOnlyByItsOperationName) {
  fileutil::makeDirectories(files().sessionListing);
  fileutil::writeFileAtomically(dir.sub("logs/VersionRestore 12-07-2026"), "");
  fileutil::writeFileAtomically(dir.sub("logs/ 12-07-2026_sync.sync-up"), "");
  struct Case {
    const char* name;
    const char* wanted;
    const char* operation;
    bool isNew;
  } cases[] = {
      {"version restore of today", "VersionRestore 12-07-2026", "VersionRestore", false},
      {"another operation name", "VersionRestore 12-07-2026", "Sync-Up", true},
      {"a sync log never matches", " 12-07-2026_sync.sync-up", "Sync-Up", true},
      {"not there yet", "VersionRestore 13-07-2026", "VersionRestore", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const AccountSettings::SessionFile f = settings.sessionFileFor(c.wanted, c.operation);
    EXPECT_EQ(f.isNew, c.isNew);
    EXPECT_EQ(f.path, files().sessionLogsFolder + c.wanted);
  }
}

TEST(AccountSettingsSessionTest, ASessionLogPathIsNeverABareName) {
  testing::TestTempDir dir;
  struct Case {
    const char* name;
    std::string folder;
    std::string path;  // of "Sync-Up 12-07-2026"
  } cases[] = {
      {"no folder known", "", ""},
      {"folder with its slash", dir.sub("logs") + "/", dir.sub("logs") + "/Sync-Up 12-07-2026"},
      {"folder without it", dir.sub("logs"), dir.sub("logs") + "/Sync-Up 12-07-2026"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    AccountSettings::Files files;
    files.sessionLogsFolder = c.folder;
    files.sessionListing = c.folder;
    AccountSettings settings{files, encode, decode};
    EXPECT_EQ(settings.sessionFileFor("Sync-Up 12-07-2026", "Sync-Up").path, c.path);
  }
}

TEST(AccountSettingsRenameTest, ARenameOfTheOnlyUploadingFileIsHeldBack) {
  struct Case {
    const char* name;
    bool running;
    std::vector<std::string> set;
    std::vector<RenameEntry> earlier;  // held before
    RenameEntry rename;
    bool held;
  } cases[] = {
      {"upload idle", false, {"/a"}, {}, {"/a", "/b"}, false},
      {"the only file", true, {"/a"}, {}, {"/a", "/b"}, true},
      {"two files uploading", true, {"/a", "/c"}, {}, {"/a", "/b"}, false},
      {"another file", true, {"/a"}, {}, {"/x", "/y"}, false},
      {"a file renamed while held", true, {"/a"}, {{"/a", "/b"}}, {"/b", "/c"}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing::TestTempDir dir;
    AccountSettings settings({}, encode, decode);
    for (const RenameEntry& e : c.earlier) ASSERT_TRUE(settings.holdRenameForUpload(e, true, {"/a"}));
    EXPECT_EQ(settings.holdRenameForUpload(c.rename, c.running, c.set), c.held);
    if (c.held) {
      EXPECT_EQ(settings.takeRenameAfterBackup(c.rename.originalPath), c.rename.renamedPath);
      EXPECT_EQ(settings.takeRenameAfterBackup(c.rename.originalPath), std::nullopt);
    }
  }
}

// A rename handed on for a file whose upload never arrived: the server's
// rename of it finds it, once, and uploads the new name.
TEST(AccountSettingsRenameTest, ARenameHandedOnBeforeItsUploadArrivedIsFoundOnce) {
  AccountSettings settings({}, encode, decode);
  settings.uploadAfterRename({"/a", "/c"});
  EXPECT_TRUE(settings.takeRenamesAfterBackup().empty());  // not held for a running upload
  EXPECT_EQ(settings.takeRenameAfterBackup("/a"), std::optional<std::string>("/c"));
  EXPECT_EQ(settings.takeRenameAfterBackup("/a"), std::nullopt);
}

}  // namespace
}  // namespace ulmora
