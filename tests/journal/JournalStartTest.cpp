// What a start of the writers finds in the journal folders: unfinished files
// of a run that crashed, and names an earlier run drew from a local time that
// has since fallen back.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <chrono>

#include "JournalTestSupport.h"
#include "foundation/QLUtility.h"

namespace ulmora::testing {
namespace {

using namespace std::chrono_literals;
using journal::kEventFolder;
using journal::kUploadFolder;

// Writes a file and sets its modification time `age` before now.
void writeAged(const std::string& path, std::chrono::seconds age) {
  ASSERT_TRUE(fileutil::writeFileAtomically(path, "/x"));
  auto when = std::chrono::system_clock::now() - age;
  auto secs = std::chrono::time_point_cast<std::chrono::seconds>(when);
  struct timespec times[2];
  times[0].tv_sec = times[1].tv_sec = secs.time_since_epoch().count();
  times[0].tv_nsec = times[1].tv_nsec = 0;
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

TEST(JournalStartTest, UnfinishedFilesOfAnEarlierRunAreRemovedAndNeverCountAsWork) {
  QueueFixture<> f;
  UMSDBSyncInputManger& q = f.queue();
  JournalFolder uploads = f.folder(kUploadFolder);
  const std::string leftover = uploads.pathFor(".2020-01-01 00-00-00-000_backup.Ab12Cd.progress");
  const std::string current = uploads.pathFor(".2020-01-01 00-00-00-001_backup.Xy34Zw.progress");
  const std::string complete = uploads.pathFor("2020-01-01 00-00-00-002_backup.Progress");
  writeAged(leftover, 1h);
  writeAged(current, 0s);

  // Before any start: the unfinished files are there but are no work.
  EXPECT_FALSE(q.doesIPFileAvailableFor("1"));
  EXPECT_TRUE(QLUtility::doesContainsFile(uploads.path()));  // it counts every entry

  q.setFolderPaths();  // what every start of the queue does
  EXPECT_FALSE(fileutil::exists(leftover));
  // One this process may be writing right now is left to its writer.
  EXPECT_TRUE(fileutil::exists(current));

  // A complete file under the capitalised extension is work.
  ASSERT_TRUE(fileutil::writeFileAtomically(complete, "/y"));
  EXPECT_TRUE(q.doesIPFileAvailableFor("1"));
}

TEST(JournalStartTest, NewNamesSortAfterEveryNameAlreadyInTheFolders) {
  struct Case {
    const char* what;
    std::string existing;  // in the event folder before the start
    bool newerThanExisting;
  };
  // The fixture's clock reads 2020-01-01 00:00:00 local time.
  const std::vector<Case> cases = {
      {"an hour ahead: written before the clock fell back",
       "2020-01-01 00-59-59-999_delete", true},
      {"already consumed", "2020-01-01 00-30-00-000_rename.delete", true},
      {"older than the clock", "2019-12-31 23-00-00-000_delete", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    QueueFixture<> f;
    JournalFolder events = f.folder(kEventFolder);
    ASSERT_TRUE(fileutil::writeFileAtomically(events.pathFor(c.existing), "/old"));
    f.queue().setFolderPaths();
    f.queue().addDeleteFiles(f.full("/new"));
    f.queue().runWriterPass();
    auto names = events.names();
    ASSERT_EQ(names.size(), 2u);
    EXPECT_EQ(names.front(), c.existing) << names.back();
    EXPECT_GT(names.back().substr(0, journal::kStampLength),
              c.existing.substr(0, journal::kStampLength));
  }
}

TEST(JournalStampFloorTest, KeepAboveRaisesOnlyForWellFormedNewerStamps) {
  struct Case {
    const char* stamp;
    const char* next;
  };
  const std::vector<Case> cases = {
      {"2020-01-01 01-00-00-000_delete", "2020-01-01 01-00-00-001"},
      {"2020-01-02 00-00-00-999", "2020-01-02 00-00-01-000"},
      {"2019-12-31 23-59-59-999", "2020-01-01 00-00-00-000"},  // older: the clock wins
      {"2020-01-01 01-00-00", "2020-01-01 00-00-00-000"},        // too short
      {"2020-01-01 01:00:00-000", "2020-01-01 00-00-00-000"},    // not the stamp's shape
  };
  for (const Case& c : cases) {
    ManualClock clock;
    JournalStampGenerator stamps(clock);
    stamps.keepAbove(c.stamp);
    EXPECT_EQ(stamps.next(), c.next) << c.stamp;
  }
}

}  // namespace
}  // namespace ulmora::testing
