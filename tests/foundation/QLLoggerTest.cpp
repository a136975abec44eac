#include "foundation/QLLogger.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "TestTempDir.h"
#include "foundation/QLBackupProgressLogger.h"
#include "platform/FileUtil.h"
#include "platform/ManualClock.h"

namespace ulmora {
namespace {

TEST(QLLogger, SessionFileNamesOfEveryOperation) {
  // 2024-03-05 07:08:09 UTC: single-digit month and day show the padding.
  ManualClock clock(Clock::WallTime(std::chrono::seconds(1709622489)));
  struct Case {
    int operation;
    std::string name;
  };
  const std::vector<Case> cases = {
      {1, " 03-05-2024_sync.sync-up"},    {12, " 03-05-2024_sync.sync-up"},
      {2, " 03-05-2024_sync.sync-down"},  {3, " 03-05-2024_sync.rename"},
      {9, " 03-05-2024_sync.rename"},     {13, " 03-05-2024_sync.rename"},
      {4, " 03-05-2024_sync.delete"},     {5, "Automatic_Sync 03-05-2024"},
      {6, "VersionRestore 03-05-2024"},   {7, "Put_Back 03-05-2024"},
      {8, "Empty_Trash 03-05-2024"},      {10, "Delete_Forever 03-05-2024"},
      {11, "Continuous_Backup 03-05-2024"}, {0, ""},
      {14, ""},                           {-1, ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(QLLogger::constructSessionFileNameforOperarion(c.operation, clock), c.name)
        << c.operation;
  }

  // The date is read at each call, not once.
  clock.setWallTime(Clock::WallTime(std::chrono::seconds(1735689599)));  // 2024-12-31 23:59:59
  EXPECT_EQ(QLLogger::constructSessionFileNameforOperarion(6, clock), "VersionRestore 12-31-2024");
  clock.advance(std::chrono::seconds(1));
  EXPECT_EQ(QLLogger::constructSessionFileNameforOperarion(6, clock), "VersionRestore 01-01-2025");
}

TEST(QLLogger, DaemonTraceLineIsWrittenAtOnceAfterBufferedLines) {
  ::ulmora::testing::TestTempDir dir;
  QLBackupProgressLogger& shared = QLBackupProgressLogger::progressLogger();
  shared.setLogFolder(dir.sub("Logs"));
  shared.logDaemonTrace("buffered before", false);
  QLLogger::logDaemonTrace("written now");

  std::string trace = fileutil::readFile(shared.daemonTracePath()).value_or("");
  size_t before = trace.find(" : buffered before \n");
  size_t now = trace.find(" : written now \n");
  ASSERT_NE(before, std::string::npos) << trace;
  ASSERT_NE(now, std::string::npos) << trace;
  EXPECT_LT(before, now);
  shared.setLogFolder("");
}

}  // namespace
}  // namespace ulmora
