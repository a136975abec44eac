#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "platform/ManualClock.h"
#include "sync/status/ProgressTracker.h"
#include "sync/StatusTestFakes.h"

namespace ulmora {
namespace {

using namespace std::chrono_literals;
using testing::FakeProgressHost;
using testing::FakeRunView;
using testing::RecordingStatusSink;

double secondsOf(Clock::WallTime t) {
  return std::chrono::duration<double>(t.time_since_epoch()).count();
}

KVTProgressRecord record(int64_t total, int64_t backedUp, int64_t transferred,
                         int64_t runSize = 0, const char* mode = KVTProgressRecord::kFullBackup,
                         const char* status = KVTProgressRecord::kDone) {
  KVTProgressRecord r;
  r.filename = "/f";
  r.transferMode = mode;
  r.fileTransferedStatus = status;
  r.totalFileCount = total;
  r.backedUpFileCount = backedUp;
  r.speed = "1";
  r.totalTransferedSize = transferred;
  r.totalBackupSize = runSize;
  r.restorePendingSize = runSize;
  return r;
}

// A tracker over fakes, both managers' runs started at the clock's start.
struct Rig {
  Rig() { upload.startTime = download.startTime = secondsOf(clock.wallNow()); }

  ManualClock clock;
  RecordingStatusSink sink;
  FakeProgressHost host;
  FakeRunView upload;
  FakeRunView download;
  ProgressTracker tracker{clock, sink, host, upload, download};
};

class ProgressTrackerTest : public ::testing::Test, protected Rig {};

TEST(ProgressTextTest, RemainingTimeHasOneRoundedUnit) {
  struct Case {
    int64_t seconds;
    const char* text;
  };
  const Case cases[] = {
      {-1, ""},
      {0, "1 sec"},
      {1, "1 sec"},
      {2, "2 secs"},
      {59, "59 secs"},
      {60, "1 min"},
      {89, "1 min"},
      {90, "2 mins"},
      {149, "2 mins"},
      {150, "3 mins"},
      {3599, "60 mins"},
      {3600, "1 hr"},
      {5399, "1 hr"},
      {5400, "2 hrs"},
      {86399, "24 hrs"},
      {86400, "1 day"},
      {86400 + 11 * 3600 + 3599, "1 day"},
      {86400 + 12 * 3600, "2 days"},
      {2 * 86400, "2 days"},
      {2 * 86400 + 11 * 3600, "2 days"},
      {2 * 86400 + 12 * 3600, "3 days"},
      {30 * 86400, "30 days"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ProgressTracker::remainingTimeText(c.seconds), c.text) << c.seconds;
  }
}

TEST(ProgressTextTest, RateUsesTheDecimalFactorsAndIsCapped) {
  struct Case {
    double bytesPerSecond;
    const char* text;
  };
  const Case cases[] = {
      {0, "0.00 KB/s"},
      {-5, "0.00 KB/s"},
      {std::numeric_limits<double>::quiet_NaN(), "0.00 KB/s"},
      {1024, "1.00 KB/s"},
      {1536, "1.50 KB/s"},
      {1048525.5, "1023.99 KB/s"},  // still below 1024 KB/s
      {1048576, "1.00 MB/s"},
      {1536000, "1.46 MB/s"},
      {1073000000, "1023.32 MB/s"},
      {1073712909, "1.00 GB/s"},  // 1024 MB/s and up
      {5e12, "1.00 GB/s"},
      {std::numeric_limits<double>::infinity(), "1.00 GB/s"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ProgressTracker::TransferRateConversion(c.bytesPerSecond), c.text)
        << c.bytesPerSecond;
  }
}

TEST_F(ProgressTrackerTest, MovingAverageNeedsThreeSamplesWithoutARememberedRate) {
  struct Step {
    double rate;
    int64_t pending;
    const char* text;
    int32_t samplesAfter;
  };
  // Averages: 500 (alpha 1/2), 700 (2/5), 800 (1/3), 857.14 (2/7).
  const Step steps[] = {
      {1000, 0, "", 0},            // nothing pending: no sample
      {1000, 10000, "", 1},        // first sample, no remembered rate
      {1000, 10000, "", 2},        // second sample, still none
      {1000, 10000, "20 secs", 3},  // 10000 / 501 + 1
      {0, 10000, "20 secs", 3},     // no rate: the average stands
      {1000, 10000, "15 secs", 4},
      {1000, 10000, "13 secs", 5},
      {1000, 10000, "12 secs", 6},
      {1000, 1000000, "19 mins", 7},  // about 1000000 / 878 s
  };
  for (const auto& s : steps) {
    EXPECT_EQ(tracker.totalTimeRemainingForBackup(s.rate, s.pending, true), s.text)
        << s.rate << " " << s.pending;
    EXPECT_EQ(tracker.counters(TransferDirection::kUpload).samples, s.samplesAfter);
  }
  // The sixth sample onward remembers the rate; the download average is apart.
  EXPECT_EQ(tracker.counters(TransferDirection::kUpload).rememberedRate, 1000);
  EXPECT_EQ(tracker.counters(TransferDirection::kDownload).samples, 0);

  // A reset keeps the remembered rate, so the next average starts at once.
  tracker.resetValsForEMACalculation_Up();
  EXPECT_EQ(tracker.counters(TransferDirection::kUpload).samples, 0);
  EXPECT_EQ(tracker.totalTimeRemainingForBackup(4000, 10000, true), "10 secs");  // 1000 + 1
}

TEST_F(ProgressTrackerTest, HugeBacklogAtACrawlStaysFinite) {
  for (int i = 0; i < 3; ++i) tracker.totalTimeRemainingForBackup(0.001, INT64_MAX, true);
  std::string text = tracker.totalTimeRemainingForBackup(0.001, INT64_MAX, true);
  EXPECT_TRUE(text.ends_with(" days")) << text;
}

struct ReportCase {
  const char* name;
  int optype;
  std::optional<int64_t> dbCount;  // a database count before the record
  KVTProgressRecord rec;
  Clock::Duration elapsed;  // since the run started
  std::optional<std::string> item;
};

TEST_F(ProgressTrackerTest, ProgressReportForms) {
  KVTProgressRecord noSpeed = record(10, 3, 100);
  noSpeed.speed.reset();
  const ReportCase cases[] = {
      {"no speed", 1, std::nullopt, noSpeed, 10s, ""},
      {"other optype", 3, std::nullopt, record(10, 3, 100), 10s, std::nullopt},
      {"count from the record", 1, std::nullopt, record(10, 3, 0), 10s, "T1002||7"},
      {"never below one", 1, std::nullopt, record(5, 5, 0), 10s, "T1002||1"},
      {"rate without time yet", 1, std::nullopt, record(10, 3, 10240, 102400), 10s,
       "T1002||7||1.00 KB/s"},
      {"zero elapsed: no rate", 1, std::nullopt, record(10, 3, 10240, 102400), 0s, "T1002||7"},
      {"database count", 1, 20, record(10, 3, 0), 10s, "T1002||19"},
      {"sync file not counted", 1, 20,
       record(10, 3, 0, 0, KVTProgressRecord::kSyncFile), 10s, "T1002||20"},
      {"unfinished file not counted", 1, 20,
       record(10, 3, 0, 0, KVTProgressRecord::kFullBackup, "Uploading"), 10s, "T1002||20"},
      {"download", 2, std::nullopt,
       record(4, 1, 2048, 8192, KVTProgressRecord::kFullRestore), 2s, "T1005||3||1.00 KB/s"},
      {"download database count", 2, 9,
       record(4, 1, 0, 0, KVTProgressRecord::kFullRestore), 2s, "T1005||8"},
  };
  for (const auto& c : cases) {
    Rig r;
    ProgressTracker& t = r.tracker;
    r.clock.advance(c.elapsed);
    if (c.dbCount) {
      if (c.optype == 1) {
        t.SetTotalBackupCount(*c.dbCount);
      } else {
        t.SetTotalRestoreCount(*c.dbCount);
      }
    }
    EXPECT_EQ(t.sendDataToMonitor(c.rec, c.optype), c.item) << c.name;
    ASSERT_EQ(r.sink.set.size(), 1u) << c.name;
    EXPECT_EQ(r.sink.set[0], c.item.value_or("")) << c.name;
  }
}

TEST_F(ProgressTrackerTest, GarbageNumbersFromTheEngineDoNotOverflow) {
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
  tracker.SetTotalBackupCount(kMax);
  tracker.SetTotalBackupSize(kMax);
  tracker.SetTotalRestoreSize(kMin);
  upload.previousTransferedSize = kMin;
  clock.advance(1s);
  for (int64_t n : {kMax, kMin, int64_t{-1}}) {
    const int64_t other = n == kMin ? kMax : kMin;
    EXPECT_TRUE(tracker.sendDataToMonitor(record(n, other, n, other), 1).has_value());
    EXPECT_TRUE(tracker.sendDataToMonitor(record(other, n, other, n), 1).has_value());
    EXPECT_TRUE(
        tracker.sendDataToMonitor(record(n, n, n, other, KVTProgressRecord::kFullRestore), 2)
            .has_value());
  }
}

TEST_F(ProgressTrackerTest, ElapsedTimeBackwardsGivesNoRate) {
  upload.startTime += 100;  // the wall clock was stepped back since the start
  clock.advance(1s);
  EXPECT_EQ(tracker.sendDataToMonitor(record(10, 3, 10240, 102400), 1), "T1002||7");
}

TEST_F(ProgressTrackerTest, UploadReportsGiveRateAndThenTimeLeft) {
  const std::string expected[] = {"T1002||9||1.00 KB/s", "T1002||8||1.00 KB/s",
                                  "T1002||7||1.00 KB/s||2 mins"};  // 71680 / 513 + 1 s
  for (int i = 0; i < 3; ++i) {
    clock.advance(10s);
    EXPECT_EQ(tracker.sendDataToMonitor(record(10, i + 1, 10240 * (i + 1), 102400), 1),
              expected[i]);
  }
  EXPECT_EQ(tracker.PreviousTransferedSizeForBackupMainSync(), 30720);
}

TEST_F(ProgressTrackerTest, ShrinkingTransferredSizeFallsBackToTheRememberedRate) {
  upload.previousTransferedSize = 5000;
  clock.advance(10s);
  EXPECT_EQ(tracker.sendDataToMonitor(record(10, 3, 4000, 102400), 1), "T1002||7");
  EXPECT_EQ(upload.resetsOfPrevious, 1);
  EXPECT_EQ(upload.previousTransferedSize, 0);
}

TEST_F(ProgressTrackerTest, ClosingRecordFoldsTheRunOnce) {
  tracker.SetTotalBackupCount(5);
  tracker.SetTotalBackupSize(5000);
  clock.advance(1s);
  tracker.sendDataToMonitor(record(2, 1, 1000, 2000), 1);
  EXPECT_EQ(tracker.sendDataToMonitor(record(2, 2, 2000, 2000), 1).value().substr(0, 8),
            "T1002||3");
  // The engine repeats the closing line: the run is already counted.
  EXPECT_EQ(tracker.sendDataToMonitor(record(2, 2, 2000, 2000), 1).value().substr(0, 8),
            "T1002||3");
  ProgressTracker::Counters c = tracker.counters(TransferDirection::kUpload);
  EXPECT_EQ(c.doneCount, 2);
  EXPECT_EQ(c.setCount, 2);
  EXPECT_EQ(c.transferredSize, 2000);

  // The next run of the same batch counts on from there.
  upload.startTime = secondsOf(clock.wallNow());
  tracker.ResetSetVariablesForBackup();
  clock.advance(1s);
  EXPECT_EQ(tracker.sendDataToMonitor(record(1, 1, 500, 500), 1).value().substr(0, 8),
            "T1002||2");
  c = tracker.counters(TransferDirection::kUpload);
  EXPECT_EQ(c.doneCount, 3);
  EXPECT_EQ(c.transferredSize, 2500);
}

TEST_F(ProgressTrackerTest, FreshDatabaseCountTakesTheRunBaseline) {
  clock.advance(1s);
  tracker.sendDataToMonitor(record(10, 4, 4000, 10000), 1);
  // The count arrives the way the database delivers it.
  tracker.SetTotalBackupCount(6);
  tracker.SetTotalBackupSize(6000);
  tracker.ResetNecessaryVariablesForBackup();
  tracker.SetQueriedForBackup(true);
  tracker.sendDataToMonitor(record(10, 5, 5000, 10000), 1);
  ProgressTracker::Counters c = tracker.counters(TransferDirection::kUpload);
  EXPECT_FALSE(c.queried);
  EXPECT_EQ(c.setTransferredSize, 4000);
  EXPECT_EQ(c.setCount, 1);
}

TEST_F(ProgressTrackerTest, ResetsClearTheirFields) {
  tracker.SetTotalBackupCount(5);
  tracker.SetTotalBackupSize(50);
  tracker.SetQueriedForBackup(true);
  tracker.SetTotalRestoreCount(7);
  clock.advance(1s);
  tracker.sendDataToMonitor(record(2, 2, 20, 20), 1);
  tracker.ResetCumulativeCountVariablesForBackup();
  ProgressTracker::Counters up = tracker.counters(TransferDirection::kUpload);
  EXPECT_EQ(up.totalCount, 0);
  EXPECT_EQ(up.totalSize, 0);
  EXPECT_EQ(up.doneCount, 0);
  EXPECT_EQ(up.transferredSize, 0);
  EXPECT_EQ(up.setCount, 0);
  EXPECT_FALSE(up.queried);
  EXPECT_EQ(up.previousTransferredSize, 20);  // kept: only a batch start clears it
  EXPECT_EQ(tracker.counters(TransferDirection::kDownload).totalCount, 7);
  tracker.ResetSetVariablesForBackup();
  EXPECT_EQ(tracker.PreviousTransferedSizeForBackupMainSync(), 0);
}

TEST_F(ProgressTrackerTest, TotalsAreAskedForOnlyWhenUnknownOrStale) {
  struct Case {
    int64_t knownTotal;
    bool recountAsked;
    int requests;
  };
  const Case cases[] = {{0, false, 1}, {0, true, 1}, {5, false, 0}, {5, true, 1}};
  for (const auto& c : cases) {
    Rig r;
    ProgressTracker& t = r.tracker;
    t.SetTotalBackupCount(c.knownTotal);
    t.SetQueryMainDBforCountBackup(c.recountAsked);
    t.SetTotalRestoreCount(c.knownTotal);
    t.SetQueryMainDBforCountRestore(c.recountAsked);
    t.GetTotalCountAndTotalSizeOfBackupFiles();
    t.GetTotalCountAndTotalSizeOfRestoreFiles();
    EXPECT_EQ(r.host.backupTotalRequests, c.requests);
    EXPECT_EQ(r.host.restoreTotalRequests, c.requests);
    EXPECT_FALSE(t.counters(TransferDirection::kUpload).queryMainDBforCount);
  }
}

TEST_F(ProgressTrackerTest, BatchMarkersAnnounceOnceAndWithdrawWhenNothingWaits) {
  struct Case {
    const char* name;
    bool start;
    TransferDirection direction;
    std::optional<TransferDirection> finished;
    bool uploadPending, restoreInMemory, restoreJournal;
    std::vector<std::string> announced;
    std::vector<std::string> withdrawn;
  };
  using D = TransferDirection;
  const Case cases[] = {
      {"upload", true, D::kUpload, D::kUpload, false, false, false,
       {"Performing Sync Up..."}, {"Syncing Up"}},
      {"upload, more pending", true, D::kUpload, D::kUpload, true, false, false,
       {"Performing Sync Up..."}, {}},
      {"download", true, D::kDownload, D::kDownload, true, false, false,
       {"Performing Sync Down..."}, {"Syncing Down"}},
      {"download, list in memory", true, D::kDownload, D::kDownload, false, true, false,
       {"Performing Sync Down..."}, {}},
      {"download, journal waits", true, D::kDownload, D::kDownload, false, false, true,
       {"Performing Sync Down..."}, {}},
      {"finish without start", false, D::kUpload, D::kUpload, false, false, false, {}, {}},
      {"other manager", true, D::kUpload, std::nullopt, false, false, false,
       {"Performing Sync Up..."}, {}},
  };
  for (const auto& c : cases) {
    Rig r;
    ProgressTracker& t = r.tracker;
    r.host.uploadPending = c.uploadPending;
    r.host.restoreInMemory = c.restoreInMemory;
    r.host.restoreJournal = c.restoreJournal;
    if (c.start) {
      t.BackupRestoreStarted(c.direction);
      t.BackupRestoreStarted(c.direction);  // already marked: silent
    }
    t.BackupRestoreFinised(c.finished);
    EXPECT_EQ(r.sink.set, c.announced) << c.name;
    EXPECT_EQ(r.sink.removed, c.withdrawn) << c.name;
    const bool stillMarked = c.start && !c.finished;
    EXPECT_EQ(c.direction == D::kUpload ? t.isbackupStarted() : t.isrestoreStarted(),
              stillMarked)
        << c.name;
  }
}

}  // namespace
}  // namespace ulmora
