#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "TestTempDir.h"
#include "platform/FileUtil.h"
#include "platform/PropertyList.h"
#include "sync/StatusTestFakes.h"
#include "sync/status/UlmoraSyncStatus.h"

namespace ulmora {
namespace {

using testing::FakeStatusHost;
using testing::RecordingMonitor;
using testing::TestTempDir;

constexpr int kStatus = UlmoraSyncStatus::kStatusMessageType;

class UlmoraSyncStatusTest : public ::testing::Test {
 protected:
  UlmoraSyncStatusTest() : status(host, monitor) {
    host.statusFile = dir.sub("SyncStatus.plist");
    status.initialize();
  }

  std::string inProcess() const {
    auto plist = PropertyList::readFile(host.statusFile);
    if (!plist) return "<no file>";
    return plist->stringFor("InProcess").value_or("<no key>");
  }

  TestTempDir dir;
  FakeStatusHost host;
  RecordingMonitor monitor;
  UlmoraSyncStatus status;
};

TEST(StatusMergeTest, ItemsTakeTheirSlotsAtMostFourLines) {
  struct Case {
    const char* status;
    const char* item;
    const char* merged;
  };
  const Case cases[] = {
      {"", "Performing Sync Up...", "Performing Sync Up..."},
      {"All files are up to date", "Deleting file(s)..", "Deleting file(s).."},
      {"T1002||5||1.00 KB/s", "Performing Sync Up...", "T1002||5||1.00 KB/s"},
      {"T1005||2", "Performing Sync Down...", "T1005||2"},
      {"Performing Sync Up...", "T1002||5", "T1002||5"},
      {"T1002||5", "T1002||4||2.00 KB/s", "T1002||4||2.00 KB/s"},
      {"T1002||5", "Renaming file(s)...", "T1002||5\nRenaming file(s)..."},
      {"Renaming file(s)...\nT1016", "T1002||4", "T1002||4\nRenaming file(s)..."},
      {"Creating Folder...\nDeleting file(s)...", "T1005||1",
       "T1005||1\nDeleting file(s)...\nCreating Folder..."},
      // Five kinds at once: the fifth slot is left out.
      {"T1002||5\nT1005||3\nRenaming file(s)...\nDeleting file(s)...", "Creating Folder...",
       "T1002||5\nT1005||3\nRenaming file(s)...\nDeleting file(s)..."},
      {"T1002||5\nT1005||3\nRenaming file(s)...\nCreating Folder...", "Deleting file(s)...",
       "T1002||5\nT1005||3\nRenaming file(s)...\nDeleting file(s)..."},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(UlmoraSyncStatus::concatenateToolTip(c.status, c.item), c.merged)
        << c.status << " + " << c.item;
  }
}

TEST(StatusMergeTest, StatusMapsToCodes) {
  struct Case {
    const char* status;
    const char* code;
  };
  const Case cases[] = {
      {"", "T1001"},
      {"All files are up to date", "T1001"},
      {"Performing Sync Up...", "T1003"},
      {"Performing Sync Down...", "T1004"},
      {"T1002||5||1.00 KB/s||2 mins", "T1002||5||1.00 KB/s||2 mins"},
      {"T1002||5\nRenaming file(s)...", "T1002||5\nT1006"},
      {"Renaming file(s)..", "T1006"},
      {"Deleting file(s)...\nCreating Folder..", "T1007\nT1009"},
      {"T1016", "T1016"},
      {"T1017", "T1017"},
      {"Applying Selective Sync changes...", "T1001"},
      {"x T1002||5", "T1001"},  // something before the code: not a code
      {"T1002||1\nT1005||2\nRenaming file(s)..\nDeleting file(s)..\nCreating Folder..",
       "T1002||1\nT1005||2\nT1006\nT1007"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(UlmoraSyncStatus::getCurrentTooltipID(c.status), c.code) << c.status;
  }
}

TEST(StatusMergeTest, NotificationNamesAreShortenedByCharacters) {
  const std::string e = "\xC3\xA9";           // é, two bytes
  const std::string clef = "\xF0\x9D\x84\x9E";  // four bytes
  auto times = [](const std::string& s, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += s;
    return out;
  };
  struct Case {
    std::string name;
    std::string shown;
  };
  const std::string forty = "abcdefghijklmnopqrstuvwxyz0123456789ABCD";
  const Case cases[] = {
      {"", ""},
      {times("a", 38), times("a", 38)},
      {times("a", 39), times("a", 17) + "..." + times("a", 18)},
      {forty, "abcdefghijklmnopq...wxyz0123456789ABCD"},
      {times(e, 38), times(e, 38)},  // 76 bytes, 38 characters: kept
      {times(e, 40), times(e, 17) + "..." + times(e, 18)},
      {"a" + times(clef, 38) + "b", "a" + times(clef, 16) + "..." + times(clef, 17) + "b"},
      // A byte that is not UTF-8 counts as one character and is kept whole.
      {times("\xFF", 39), times("\xFF", 17) + "..." + times("\xFF", 18)},
      {"\xC3" + times("a", 38), "\xC3" + times("a", 16) + "..." + times("a", 18)},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(UlmoraSyncStatus::shortenedNotificationName(c.name), c.shown) << c.name;
  }
}

// A sequence of items and the status and last code it leaves.
struct Scenario {
  const char* name;
  std::vector<std::string> items;
  const char* status;
  const char* lastCode;
};

TEST_F(UlmoraSyncStatusTest, ItemSequences) {
  const Scenario scenarios[] = {
      {"upload with a rename",
       {"Performing Sync Up...", "T1002||5||1.00 KB/s", "Renaming file(s)..."},
       "T1002||5||1.00 KB/s\nRenaming file(s)...",
       "T1002||5||1.00 KB/s\nT1006"},
      {"start after progress keeps progress",
       {"T1002||5", "Performing Sync Up..."},
       "T1002||5",
       "T1002||5"},
      {"checking while uploading is ignored",
       {"Performing Sync Up...", "T1002||5", "T1016"},
       "T1002||5",
       "T1002||5"},
      {"checking while an operation runs is ignored",
       {"Deleting file(s)...", "T1016"},
       "Deleting file(s)...",
       "T1007"},
      {"checking when idle",
       {"T1016"},
       "T1016",
       "T1016"},
      {"an account state replaces everything",
       {"T1002||5", "Renaming file(s)...", "T1017"},
       "T1017",
       "T1017"},
      {"empty items change nothing",
       {"Performing Sync Down...", ""},
       "Performing Sync Down...",
       "T1004"},
  };
  for (const auto& s : scenarios) {
    status.initialize();
    monitor.sent.clear();
    for (const auto& item : s.items) status.setMonitorToolTip(item);
    EXPECT_EQ(status.currentStatus(), s.status) << s.name;
    EXPECT_EQ(monitor.lastOfType(kStatus), s.lastCode) << s.name;
  }
}

TEST_F(UlmoraSyncStatusTest, ProgressOfABatchNotStartedIsDropped) {
  host.backupStarted = false;
  host.restoreStarted = false;
  status.setMonitorToolTip("T1002||5");
  status.setMonitorToolTip("T1005||5");
  EXPECT_EQ(status.currentStatus(), "");
  EXPECT_TRUE(monitor.sent.empty());
  host.restoreStarted = true;
  status.setMonitorToolTip("T1005||5");
  EXPECT_EQ(status.currentStatus(), "T1005||5");
}

TEST_F(UlmoraSyncStatusTest, WithoutNetworkEveryItemSaysNoNetwork) {
  status.setMonitorToolTip("Performing Sync Up...");
  host.network = false;
  monitor.sent.clear();
  for (const char* item : {"T1002||4", "Renaming file(s)...", "", "T1016"}) {
    status.setMonitorToolTip(item);
  }
  EXPECT_EQ(monitor.sent, (std::vector<std::pair<std::string, int>>(4, {"T1012", kStatus})));
  EXPECT_EQ(status.currentStatus(), "Performing Sync Up...");
}

TEST_F(UlmoraSyncStatusTest, NetworkBackResendsWhatIsGoingOn) {
  struct Case {
    std::vector<std::string> before;
    bool listing;
    const char* code;
  };
  const Case cases[] = {
      {{"Performing Sync Up...", "T1002||7||3.00 KB/s"}, false, "T1002||7||3.00 KB/s"},
      {{"Deleting file(s)..."}, false, "T1007"},
      {{}, false, "T1001"},
      {{}, true, "T1016"},
  };
  for (const auto& c : cases) {
    status.initialize();
    host.listing = c.listing;
    for (const auto& item : c.before) status.setMonitorToolTip(item);
    monitor.sent.clear();
    status.removeItemFromToolTipFor("T1012");
    EXPECT_EQ(monitor.lastOfType(kStatus), c.code);
    EXPECT_EQ(inProcess(), std::string(c.code) == "T1001" ? "0" : "1") << c.code;
  }
}

TEST_F(UlmoraSyncStatusTest, Removals) {
  struct Case {
    const char* name;
    const char* status;
    const char* item;
    bool listing;
    const char* after;
    const char* code;
  };
  const Case cases[] = {
      {"whole upload", "T1002||5\nRenaming file(s)...", "Syncing Up", false,
       "Renaming file(s)...", "T1006"},
      {"start text of upload", "Performing Sync Up...\nDeleting file(s)...", "Syncing Up", false,
       "Deleting file(s)...", "T1007"},
      {"whole download", "T1005||5\nRenaming file(s)...", "Syncing Down", false,
       "Renaming file(s)...", "T1006"},
      {"last item while a listing runs", "T1002||5", "Syncing Up", true, "T1016", "T1016"},
      {"last item", "T1005||5", "T1005", false, "All files are up to date", "T1001"},
      {"an operation text", "T1002||5\nRenaming file(s)...", "Renaming file(s)...", false,
       "T1002||5", "T1002||5"},
      {"the operation's code too", "T1006\nT1002||5", "Renaming file(s)...", false, "T1002||5",
       "T1002||5"},
      {"creating folders", "Creating Folder...", "Creating Folder...", false,
       "All files are up to date", "T1001"},
      {"checking", "T1016", "T1016", false, "All files are up to date", "T1001"},
      {"selective sync", "T1014", "Applying Selective Sync changes...", false,
       "All files are up to date", "T1001"},
  };
  for (const auto& c : cases) {
    status.initialize();
    host.listing = false;
    status.WriteToCurrentStatus(c.status);
    host.listing = c.listing;
    monitor.sent.clear();
    status.removeItemFromToolTipFor(c.item);
    EXPECT_EQ(status.currentStatus(), c.after) << c.name;
    EXPECT_EQ(monitor.lastOfType(kStatus), c.code) << c.name;
  }
}

TEST_F(UlmoraSyncStatusTest, PushItemsGoWhenTheListingEnds) {
  status.WriteToCurrentStatus("T1002||5\nRenaming file(s)..\nDeleting file(s)...\nCreating Folder..");
  status.removePNSRelatedToolTipsOnMainThread();
  // The local text ("...", three dots) is not the push one.
  EXPECT_EQ(status.currentStatus(), "T1002||5\nDeleting file(s)...");
  status.WriteToCurrentStatus("T1016");
  status.removePNSRelatedToolTipsOnMainThread();
  EXPECT_EQ(status.currentStatus(), "All files are up to date");
}

TEST_F(UlmoraSyncStatusTest, QuotaRule) {
  struct Case {
    const char* status;
    bool subAccount;
    const char* code;
  };
  const Case cases[] = {
      {"T1002||5", false, "T1015"},
      {"Performing Sync Up...", false, "T1015"},
      {"All files are up to date", false, "T1015"},
      {"T1005||3||1.00 KB/s", false, "T1005||3||1.00 KB/s"},
      {"T1005||3\nRenaming file(s)...", false, "T1005||3\nT1006"},
      {"Performing Sync Down...", false, "T1004"},
      {"Renaming file(s)...", false, "T1006"},
      {"Deleting file(s)...", false, "T1007"},
      {"T1008", false, "T1008"},
      {"T1010", false, "T1010"},
      {"T1016", false, "T1015"},
      // Why nothing syncs matters more than the quota.
      {"T1012", false, "T1012"},
      {"T1017", false, "T1017"},
      {"T1018", false, "T1018"},
      {"T1019", false, "T1019"},
      {"T1020", false, "T1020"},
      {"T1021", false, "T1021"},
      {"T1022", false, "T1022"},
      {"T1002||5", true, "T1002||5"},
      {"T1016", true, "T1016"},
  };
  for (const auto& c : cases) {
    status.initialize();
    status.setQuotaFull(true);
    host.subAccount = c.subAccount;
    status.WriteToCurrentStatus(c.status);
    EXPECT_EQ(monitor.lastOfType(kStatus), c.code) << c.status;
    status.sendCurrentSyncStatus();
    EXPECT_EQ(monitor.lastOfType(kStatus), c.code) << c.status;
  }
}

TEST_F(UlmoraSyncStatusTest, QuotaReleaseAnnouncesTheCurrentCode) {
  status.WriteToCurrentStatus("T1002||5");
  monitor.sent.clear();
  status.setQuotaFull(false);
  status.setQuotaFull(true);
  status.setQuotaFull(true);
  EXPECT_TRUE(monitor.sent.empty());
  status.setQuotaFull(false);
  EXPECT_EQ(monitor.sent, (std::vector<std::pair<std::string, int>>{
                              {"T1002||5", UlmoraSyncStatus::kQuotaReleasedMessageType}}));
  EXPECT_FALSE(status.isQuotaFull());
}

TEST_F(UlmoraSyncStatusTest, NotificationsGoOutAsType501) {
  status.showDesktopPushNotification("N1007||3||added");
  EXPECT_EQ(monitor.sent, (std::vector<std::pair<std::string, int>>{
                              {"N1007||3||added", UlmoraSyncStatus::kNotificationMessageType}}));
}

TEST_F(UlmoraSyncStatusTest, StatusFileFollowsBusyAndKeepsOtherKeys) {
  PropertyList existing(PropertyList::Dict{});
  existing.set("Other", "kept");
  existing.set("InProcess", "0");
  ASSERT_TRUE(existing.writeFile(host.statusFile));

  struct Step {
    const char* status;
    const char* inProcess;
  };
  const Step steps[] = {
      {"Performing Sync Up...", "1"}, {"T1002||3", "1"},
      {"All files are up to date", "0"}, {"T1016", "1"},
      {"T1001", "0"},                  {"", "0"},
  };
  for (const auto& s : steps) {
    status.WriteToCurrentStatus(s.status);
    EXPECT_EQ(inProcess(), s.inProcess) << s.status;
  }
  auto plist = PropertyList::readFile(host.statusFile);
  ASSERT_TRUE(plist);
  EXPECT_EQ(plist->stringFor("Other"), "kept");
  // No temporary file is left beside it, only the hidden side file it trades
  // places with.
  auto names = fileutil::listDirectory(dir.path());
  ASSERT_TRUE(names);
  EXPECT_EQ(*names, (std::vector<std::string>{".SyncStatus.plist.swap", "SyncStatus.plist"}));
}

TEST_F(UlmoraSyncStatusTest, AFlagClearedByAnotherWriterIsSetAgain) {
  status.WriteToCurrentStatus("Performing Sync Up...");
  ASSERT_EQ(inProcess(), "1");
  // The service clears the flag when sync is turned off; the tracker keeps
  // the file in memory, but must not trust it once the file was replaced.
  PropertyList cleared(PropertyList::Dict{});
  cleared.set("InProcess", "0");
  ASSERT_TRUE(cleared.writeFile(host.statusFile));
  status.WriteToCurrentStatus("T1002||3");
  EXPECT_EQ(inProcess(), "1");
}

TEST_F(UlmoraSyncStatusTest, UnreadableStatusFileIsReplaced) {
  dir.writeFile("SyncStatus.plist", "not a property list");
  status.WriteToCurrentStatus("Performing Sync Down...");
  EXPECT_EQ(inProcess(), "1");
}

}  // namespace
}  // namespace ulmora
