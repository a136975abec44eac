#include "sync/control/AccountEvents.h"

#include <gtest/gtest.h>

#include "OffLoopCalls.h"
#include "SyncFakes.h"
#include "TestTempDir.h"
#include "platform/FileUtil.h"
#include "platform/ManualClock.h"

namespace ulmora {
namespace {

using namespace std::chrono_literals;
using testing::RecordingMessenger;
using testing::TestTempDir;

class FakeEventsPort final : public AccountEventsPort {
 public:
  void requestAccountDetails() override { log.push_back("request"); }
  void reloadSettings() override { log.push_back("reload"); }
  void queryMainDB(bool b) override { log.push_back(std::string("query ") + (b ? "1" : "0")); }
  void exitProcess(int status) override { log.push_back("exit " + std::to_string(status)); }
  bool takeRestartDueToMaintenance() override { return std::exchange(restart, false); }
  bool accountLoggedOutUnlinked() override { return unlinked; }
  void setMonitorToolTip(const std::string& s) override { log.push_back("status " + s); }
  void showDesktopPushNotification(const std::string& c) override { log.push_back("notify " + c); }
  void sendCurrentSyncStatus() override { log.push_back("resend"); }
  std::shared_ptr<CompanionMessenger> monitorMessenger() override {
    return std::shared_ptr<CompanionMessenger>(std::shared_ptr<void>(), &monitor);
  }

  bool restart = false, unlinked = false;
  std::vector<std::string> log;
  RecordingMessenger monitor;
};

struct Rig {
  TestTempDir dir;
  ManualClock clock;
  RunLoop mainLoop{clock};
  FakeEventsPort port;
  AccountEvents::Paths paths{dir.sub("last.plist"), dir.sub("login.plist")};
  AccountEvents events{paths, port, mainLoop};

  Rig() {
    PropertyList d(PropertyList::Dict{});
    d.set("UlmoraSync username", "alice");
    d.set("Pause", "0");
    d.writeFile(paths.lastUserLoginDetails);
  }
  void advance(Clock::Duration d) {
    for (auto t = Clock::Duration::zero(); t < d; t += 1s) {
      clock.advance(1s);
      mainLoop.runUntilIdle();
    }
  }
  static PropertyList reply(const std::string& server) {
    PropertyList r(PropertyList::Dict{});
    r.set("kvtsrvrip", server);
    r.set("status", "ok");
    return r;
  }
};

TEST(AccountEventsTest, MaintenanceWaitsOnATimerAndCollapsesRepeats) {
  Rig rig;
  rig.events.HandleAccountUnderMaintainence();
  rig.events.HandleAccountUnderMaintainence();
  rig.advance(119s);
  EXPECT_TRUE(rig.port.log.empty());
  rig.advance(1s);
  EXPECT_EQ(rig.port.log, std::vector<std::string>{"request"});
  rig.events.HandleAccountUnderMaintainence();
  rig.advance(120s);
  EXPECT_EQ(rig.port.log.size(), 2u);
}

struct ReplyCase {
  const char* name;
  PropertyList reply;
  bool ownClient;
  bool stored;
};

class AccountDetailsReplyTest : public ::testing::TestWithParam<ReplyCase> {};

TEST_P(AccountDetailsReplyTest, StoresOnlyAUsableServerOfItsOwnClient) {
  Rig rig;
  rig.events.didScriptControllerFinishedSuccessfully(GetParam().reply, GetParam().ownClient);
  auto last = PropertyList::readFile(rig.paths.lastUserLoginDetails);
  auto login = PropertyList::readFile(rig.paths.loginDetails);
  if (GetParam().stored) {
    EXPECT_EQ(last->stringFor("IP"), "10.0.0.7");
    EXPECT_EQ(last->stringFor("UserAtServer"), "alice@10.0.0.7::quellar");
    ASSERT_TRUE(login);
    EXPECT_EQ(login->stringFor("Pause"), "0");
    EXPECT_EQ(rig.port.log, (std::vector<std::string>{"reload", "query 0"}));
  } else {
    EXPECT_FALSE(last->stringFor("IP"));
    EXPECT_FALSE(login);
    EXPECT_TRUE(rig.port.log.empty());
  }
}

PropertyList oneKey() {
  PropertyList r(PropertyList::Dict{});
  r.set("kvtsrvrip", "10.0.0.7");
  return r;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AccountDetailsReplyTest,
    ::testing::Values(ReplyCase{"good", Rig::reply("10.0.0.7"), true, true},
                      ReplyCase{"other_client", Rig::reply("10.0.0.7"), false, false},
                      ReplyCase{"too_small", oneKey(), true, false},
                      ReplyCase{"not_a_dictionary", PropertyList("10.0.0.7"), true, false},
                      ReplyCase{"empty_server", Rig::reply(""), true, false},
                      ReplyCase{"server_with_path", Rig::reply("evil/../x"), true, false},
                      ReplyCase{"server_with_user", Rig::reply("a@b"), true, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(AccountEventsTest, RestartAfterMaintenanceIsATimerAndHappensOnce) {
  Rig rig;
  rig.port.restart = true;
  rig.events.didScriptControllerFinishedSuccessfully(Rig::reply("10.0.0.7"), true);
  rig.port.restart = true;  // the listing asks again meanwhile
  rig.events.didScriptControllerFinishedSuccessfully(Rig::reply("10.0.0.7"), true);
  rig.advance(59s);
  EXPECT_EQ(rig.port.log, (std::vector<std::string>{"reload", "reload"}));
  rig.advance(1s);
  EXPECT_EQ(rig.port.log.back(), "exit 0");
}

TEST(AccountEventsTest, UnreadableLoginDetailsStillReload) {
  Rig rig;
  fileutil::removeAll(rig.paths.lastUserLoginDetails);
  rig.events.didScriptControllerFinishedSuccessfully(Rig::reply("10.0.0.7"), true);
  EXPECT_EQ(rig.port.log, (std::vector<std::string>{"reload", "query 0"}));
  EXPECT_FALSE(fileutil::exists(rig.paths.loginDetails));
}

struct FolderCase {
  const char* name;
  std::vector<std::string> calls;  // "missing", "invalid", "found", "password"
  bool unlinked;
  std::vector<std::string> log;
  std::vector<int> messages;
  bool detailsKept;
};

class FolderEventsTest : public ::testing::TestWithParam<FolderCase> {};

TEST_P(FolderEventsTest, ReportsOnceUntilTheFolderIsBack) {
  Rig rig;
  rig.port.unlinked = GetParam().unlinked;
  for (const auto& c : GetParam().calls) {
    if (c == "missing") rig.events.ifSyncFolderDoNotExist();
    else if (c == "invalid") rig.events.notAbleTOCreateFolderAtPath();
    else if (c == "found") rig.events.syncFolderFound();
    else if (c == "password") rig.events.passwordChangedFromWeb();
    else if (c == "tooltip") rig.events.sendToolTip();
  }
  EXPECT_EQ(rig.port.log, GetParam().log);
  EXPECT_EQ(rig.port.monitor.types(), GetParam().messages);
  EXPECT_EQ(fileutil::exists(rig.paths.lastUserLoginDetails), GetParam().detailsKept);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FolderEventsTest,
    ::testing::Values(
        FolderCase{"missing_every_tick", {"missing", "missing", "missing"}, false,
                   {"status T1020", "notify N1029"}, {512}, false},
        FolderCase{"missing_again_after_found", {"missing", "found", "missing"}, false,
                   {"status T1020", "notify N1029", "status T1020", "notify N1029"}, {512, 512}, false},
        FolderCase{"missing_after_unlink", {"missing"}, true, {}, {}, true},
        FolderCase{"invalid", {"invalid", "invalid"}, false, {"status T1021", "notify N1028"},
                   {512, 511}, false},
        FolderCase{"invalid_after_missing", {"missing", "invalid", "missing", "invalid"}, false,
                   {"status T1020", "notify N1029", "status T1021", "notify N1028"}, {512, 512, 511},
                   false},
        FolderCase{"missing_after_invalid", {"invalid", "missing"}, false,
                   {"status T1021", "notify N1028", "status T1020", "notify N1029"}, {512, 511, 512},
                   false},
        FolderCase{"both_again_after_found", {"missing", "invalid", "found", "invalid", "missing"},
                   false,
                   {"status T1020", "notify N1029", "status T1021", "notify N1028", "status T1021",
                    "notify N1028", "status T1020", "notify N1029"},
                   {512, 512, 511, 512, 511, 512}, false},
        FolderCase{"password_changed", {"password"}, false, {"notify N1012"}, {509}, false},
        FolderCase{"status_request", {"tooltip"}, false, {"resend"}, {}, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(AccountEventsTest, TemporaryFilePredicates) {
  using V = std::vector<std::string>;
  const std::vector<std::pair<V, bool>> deletes = {
      {{}, true},
      {{"/d/~$doc.docx", "/d/noext"}, true},
      {{"/d/~$doc.docx", "/d/folder/"}, false},
      {{"/d/report.docx"}, false},
      {{"/d/~$lock/"}, true},
      {{"/d/.hidden"}, true},
  };
  for (const auto& [paths, expected] : deletes)
    EXPECT_EQ(AccountEvents::AreAllToBeExcludedDelete(paths), expected) << ::testing::PrintToString(paths);

  EXPECT_TRUE(AccountEvents::AreAllToBeExcluded({}));
  EXPECT_TRUE(AccountEvents::AreAllToBeExcluded({{"/a/~$x.doc", "/a/~$y.doc"}}));
  EXPECT_FALSE(AccountEvents::AreAllToBeExcluded({{"/a/~$x.doc", "/a/x.doc"}}));
  EXPECT_FALSE(AccountEvents::AreAllToBeExcluded({{"/a/~$x.doc", "/a/~$y.doc"}, {"/b", "/c"}}));
}

#ifndef NDEBUG
// The details reply and the folder reports change state only the main loop
// touches; the maintenance report, which comes from the engine's thread,
// stays callable from anywhere.
TEST(AccountEventsDeathTest, MainLoopReportsFromAnotherThreadStopTheProcess) {
  Rig rig;
  std::thread([&] { rig.events.HandleAccountUnderMaintainence(); }).join();
  testing::expectEachStopsOffItsLoop({
      {"details_reply", [&] { rig.events.didScriptControllerFinishedSuccessfully(Rig::reply("s1"), true); }},
      {"folder_missing", [&] { rig.events.ifSyncFolderDoNotExist(); }},
      {"status_request", [&] { rig.events.sendToolTip(); }},
  });
}
#endif

}  // namespace
}  // namespace ulmora
