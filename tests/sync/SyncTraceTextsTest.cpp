#include "sync/status/SyncTraceTexts.h"

#include <gtest/gtest.h>

#include <chrono>

#include "platform/ManualClock.h"
#include "platform/RunLoop.h"

namespace ulmora {
namespace {

using namespace synctexts;

// Tools and people search the traces for these lines word for word: any
// drift in a letter, a blank or a value's place is a fault.
TEST(SyncTraceTextsTest, LinesKeepTheirExactWording) {
  ManualClock clock;
  RunLoop loop(clock);
  auto syncTimer = loop.scheduleTimer(std::chrono::seconds(5), true, [](RunLoopTimer&) {});
  auto once = loop.scheduleTimer(std::chrono::milliseconds(2500), false, [](RunLoopTimer&) {});
  syncTimer->invalidate();
  const struct {
    std::string got;
    std::string want;
  } cases[] = {
      {resetTotalSize(0, "(null)"),
       "Reseted the pTotalSize to zero, pTotalSize:0  [backUpSetAfterDelete removeAllObjects]:(null)"},
      {idLoginUserFilePath("/Users/ann/Library/details.plist", true),
       "IdLoginUserFilePath /Users/ann/Library/details.plistand isSubAccount 1"},
      {std::string(kNotMatchingAnyCase),
       "removeItemFromToolTipFor not matching any case so sending all file update for monitor"},
      {backupRestore(true, false), "backup:1 restore:0"},
      {backupRestoreAtRunEnd(false, true), "backup:0\n restore:1"},
      {std::string(kRetryWithoutMatchingCase), "Retry Listing But no matichng cases"},
      {retryForNoData(false), "retryCount [mSynListingController IsRetryListingCalledForNoData]:0"},
      {serverFile("/it's/a.txt"), "serverFile:/it's/a.txt"},
      {quotedForLookup("/it's/o'k.txt"), "str:/it''s/o''k.txt"},
      {sameRestoreSetRepeatedCount(0), "sameRestoreSetRepeatedCount:0"},
      {std::string(kCase10), "Case 10"},
      {localFileOldPath("/root/x/a.txt"), "localFileOldPath:/root/x/a.txt"},
      {adfileToUpdate8("/a.txt", "R1"), "adfile to update8:{/a.txt = R1}"},
      {quotaUserNames("ann-sync", "ann"), "guserName:ann-sync; gUlmoraUserName:ann"},
      {quotaDict(describe(std::map<std::string, std::string>{{"USEDQUOTASIZE", "5"}, {"TOTALQUOTASIZE", "9"}})),
       "Quota Dict ({TOTALQUOTASIZE = 9; USEDQUOTASIZE = 5})  "},
      {describe(std::vector<std::string>{"/a", "/b c"}), "(/a, /b c)"},
      {std::string(kSyncTimerValid), "syncoperation timer valid."},
      {syncTimerNotValid(timerDescription(nullptr)), "syncoperation timer Not valid. (null)"},
      {syncTimerNotValid(timerDescription(syncTimer.get())),
       "syncoperation timer Not valid. <timer interval: 5.0 s, repeats: YES, valid: NO, next fire: none>"},
      {timerDescription(once.get()),
       "<timer interval: 2.5 s, repeats: NO, valid: YES, next fire: within one interval>"},
      {std::string(kQuiryMainDbAfterReinitialise), "mainsyncController calling quiery main db due to reinitialize"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.got, c.want);
}

}  // namespace
}  // namespace ulmora
