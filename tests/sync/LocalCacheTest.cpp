#include "sync/server/LocalCache.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <functional>

#include "TestTempDir.h"
#include "foundation/ScopedEnv.h"
#include "platform/FileUtil.h"
#include "platform/ManualClock.h"
#include "sync/ServerRoadFakes.h"
#include "sync/ServerRoadTestSupport.h"

namespace ulmora {
namespace {

using namespace std::chrono_literals;
using testing::FakeFilters;
using testing::FakeQueue;
using testing::serverTime;
using testing::setModified;

constexpr const char* kTime = "2024-03-05 10:20:30";

using CacheFixture = testing::RoadWorld;

TEST(LocalCacheTest, DeletingTwiceOnOneDayKeepsTheLaterCopy) {
  CacheFixture f;
  f.put("/a.txt", "first", serverTime(kTime));
  ASSERT_TRUE(f.cache.moveToCache("/a.txt"));
  f.put("/a.txt", "second", serverTime(kTime));
  ASSERT_TRUE(f.cache.moveToCache(f.root + "/a.txt"));
  EXPECT_EQ(f.read("/.UMSCache/2020-01-01/a.txt"), "second");
  EXPECT_FALSE(fileutil::exists(f.root + "/a.txt"));
  EXPECT_TRUE(f.tally.snapshot().cacheFileMoved);

  f.clock.advance(24h);
  f.put("/d/b.txt", "b", serverTime(kTime));
  ASSERT_TRUE(f.cache.moveToCache("/d/b.txt"));
  EXPECT_EQ(f.read("/.UMSCache/2020-01-02/d/b.txt"), "b");
}

// A second cache of one path on one day: the earlier copy goes only when
// nothing is lost with it.
TEST(LocalCacheTest, AnEarlierCopyOfTheSameDayIsKeptWhenItHoldsSomethingElse) {
  const struct {
    const char* name;
    std::function<void(CacheFixture&)> earlier;  // what today's cache holds at /a.txt
    bool keptBeside;
  } cases[] = {
      {"the same content", [](auto& f) { f.put("/.UMSCache/2020-01-01/a.txt", "later", serverTime(kTime)); }, false},
      {"other content", [](auto& f) { f.put("/.UMSCache/2020-01-01/a.txt", "earlier", serverTime(kTime)); }, true},
      {"same size, other time",
       [](auto& f) { f.put("/.UMSCache/2020-01-01/a.txt", "early", serverTime(kTime, -60s)); }, true},
      {"a folder with a file", [](auto& f) { f.put("/.UMSCache/2020-01-01/a.txt/in/x", "x", serverTime(kTime)); },
       true},
      {"a folder of folders", [](auto& f) { fileutil::makeDirectories(f.root + "/.UMSCache/2020-01-01/a.txt/in"); },
       false},
      {"a link to the trash",
       [](auto& f) {
         fileutil::makeDirectories(f.root + "/.UMSCache/2020-01-01");
         ASSERT_EQ(::symlink(f.tmp.sub("Trash/a.txt").c_str(), (f.root + "/.UMSCache/2020-01-01/a.txt").c_str()), 0);
       },
       false},
  };
  for (const auto& c : cases) {
    CacheFixture f;
    c.earlier(f);
    f.put("/a.txt", "later", serverTime(kTime));
    ASSERT_TRUE(f.cache.moveToCache("/a.txt")) << c.name;
    EXPECT_EQ(f.read("/.UMSCache/2020-01-01/a.txt"), "later") << c.name;
    EXPECT_EQ(fileutil::exists(f.root + "/.UMSCache/2020-01-01/a (2).txt"), c.keptBeside) << c.name;
  }
  // A third cache keeps the second beside the first.
  CacheFixture f;
  for (const char* text : {"one", "second", "the third"}) {
    f.put("/a.txt", text, serverTime(kTime));
    ASSERT_TRUE(f.cache.moveToCache("/a.txt"));
  }
  EXPECT_EQ(f.read("/.UMSCache/2020-01-01/a (2).txt"), "one");
  EXPECT_EQ(f.read("/.UMSCache/2020-01-01/a (3).txt"), "second");
  EXPECT_EQ(f.read("/.UMSCache/2020-01-01/a.txt"), "the third");
}

TEST(LocalCacheTest, CacheRefusesUnsafePaths) {
  CacheFixture f;
  f.put("/a.txt", "A", serverTime(kTime));
  for (const char* bad : {"", "/", "/../a.txt", "/.UMSCache/x", "/./a.txt"}) {
    EXPECT_FALSE(f.cache.moveToCache(bad)) << bad;
    EXPECT_FALSE(f.cache.moveToCacheWithoutDate(bad)) << bad;
  }
  EXPECT_EQ(f.read("/a.txt"), "A");
}

TEST(LocalCacheTest, EveryConflictCopyKeepsItsOwnName) {
  CacheFixture f;
  for (const char* text : {"edit1", "edit2", "edit3"}) {
    f.put("/docs/report.txt", text, serverTime(kTime));
    ASSERT_TRUE(f.cache.moveToCacheWithoutDate("/docs/report.txt"));
  }
  f.put("/.hidden", "h", serverTime(kTime));
  f.put("/.UMSCache/ConflictData/.hidden", "old", serverTime(kTime));
  EXPECT_EQ(f.cache.moveToCacheWithoutDate("/.hidden"), "/.UMSCache/ConflictData/.hidden (2)");
  EXPECT_EQ(f.read("/.UMSCache/ConflictData/docs/report.txt"), "edit1");
  EXPECT_EQ(f.read("/.UMSCache/ConflictData/docs/report (2).txt"), "edit2");
  EXPECT_EQ(f.read("/.UMSCache/ConflictData/docs/report (3).txt"), "edit3");
  EXPECT_FALSE(f.cache.moveToCacheWithoutDate("/docs/missing.txt"));
}

TEST(LocalCacheTest, SearchTakesTheNewestDatedCopyAndSkipsConflicts) {
  struct Case {
    const char* name;
    std::vector<std::pair<std::string, int>> copies;  // folder, seconds after kTime
    std::optional<std::string> expected;
  } cases[] = {
      {"none", {}, std::nullopt},
      {"newest day wins", {{"2024-01-01", 5}, {"2024-01-02", 9}}, "/.UMSCache/2024-01-02/x.txt"},
      {"older later folder", {{"2024-01-01", 9}, {"2024-01-02", 5}}, "/.UMSCache/2024-01-01/x.txt"},
      {"tie keeps first listed", {{"2024-01-02", 5}, {"2024-01-01", 5}}, "/.UMSCache/2024-01-01/x.txt"},
      {"conflict copy never found", {{"ConflictData", 50}, {"2024-01-01", 1}}, "/.UMSCache/2024-01-01/x.txt"},
      {"only a conflict copy", {{"ConflictData", 50}}, std::nullopt},
  };
  for (const auto& c : cases) {
    CacheFixture f;
    for (const auto& [folder, secs] : c.copies)
      f.put("/.UMSCache/" + folder + "/x.txt", folder, serverTime(kTime, std::chrono::seconds(secs)));
    auto hit = f.cache.search("/x.txt");
    EXPECT_EQ(hit ? std::optional(hit->path) : std::nullopt, c.expected) << c.name;
  }
}

TEST(LocalCacheTest, RestoresOnlyTheServersVersion) {
  struct Case {
    const char* name;
    std::string size;
    std::chrono::nanoseconds offset;
    bool restored;
  } cases[] = {
      {"same size and second", "6", 0ns, true},
      {"nanoseconds do not count", "6", 700ms, true},
      {"one second later", "6", 1s, false},
      {"other size", "7", 0ns, false},
      {"size missing", "", 0ns, false},
      {"size garbage", "6x", 0ns, false},
  };
  for (const auto& c : cases) {
    CacheFixture f;
    f.put("/.UMSCache/2024-01-01/d/x.txt", "cached", serverTime(kTime, c.offset));
    bool got = f.cache.moveFromCache({"/d/x.txt", kTime, c.size, "R1"});
    EXPECT_EQ(got, c.restored) << c.name;
    if (c.restored) {
      EXPECT_EQ(f.read("/d/x.txt"), "cached") << c.name;
      EXPECT_EQ(f.queue.log, (std::vector<std::string>{"refid /d/x.txt=R1", "update /d/x.txt=Backup"}));
      EXPECT_EQ(f.tally.snapshot().updatedFromCache, 1);
    } else {
      EXPECT_FALSE(fileutil::exists(f.root + "/d/x.txt")) << c.name;
      EXPECT_EQ(f.read("/.UMSCache/2024-01-01/d/x.txt"), "cached") << c.name;
      EXPECT_TRUE(f.queue.log.empty()) << c.name;
    }
  }
}

TEST(LocalCacheTest, ComparesLocalTimesOutsideUtc) {
  for (const char* zone : {"Asia/Kolkata", "America/St_Johns", "UTC"}) {
    testing::ScopedEnv tz("TZ", zone);
    CacheFixture f;
    // The server's text is local time; the file keeps nanoseconds.
    f.put("/.UMSCache/2024-01-01/x.txt", "cached", serverTime(kTime, 250ms));
    EXPECT_TRUE(f.cache.moveFromCache({"/x.txt", kTime, "6", ""})) << zone;
  }
}

TEST(LocalCacheTest, NeverRestoresOverAnExistingFile) {
  CacheFixture f;
  f.put("/.UMSCache/2024-01-01/x.txt", "cached", serverTime(kTime));
  f.put("/x.txt", "user's", serverTime(kTime));
  EXPECT_FALSE(f.cache.moveFromCache({"/x.txt", kTime, "6", ""}));
  EXPECT_EQ(f.read("/x.txt"), "user's");
  EXPECT_EQ(f.read("/.UMSCache/2024-01-01/x.txt"), "cached");
}

TEST(LocalCacheTest, DanglingTrashLinkIsRemovedAndNotRestored) {
  CacheFixture f;
  fileutil::makeDirectories(f.root + "/.UMSCache/2024-01-01");
  std::string link = f.root + "/.UMSCache/2024-01-01/x.txt";
  ASSERT_EQ(::symlink(f.tmp.sub("trash/x.txt").c_str(), link.c_str()), 0);
  EXPECT_FALSE(f.cache.moveFromCache({"/x.txt", kTime, "6", ""}));
  EXPECT_FALSE(fileutil::exists(link));
}

TEST(LocalCacheTest, RestoresTheOldNameAtTheNewPlace) {
  CacheFixture f;
  f.put("/.UMSCache/2024-01-01/old.txt", "cached", serverTime(kTime));
  ServerRecord record;
  record.fname = "/new.txt";
  record.fnameOld = "/old.txt";
  record.modTime = kTime;
  record.size = "6";
  record.refId = "R9";
  EXPECT_TRUE(f.cache.moveFromCacheAtLocation(record, f.root + "/new.txt"));
  EXPECT_EQ(f.read("/new.txt"), "cached");
  EXPECT_EQ(f.queue.log, (std::vector<std::string>{"refid /new.txt=R9", "update /new.txt=Backup"}));

  record.fnameOld = "/../outside.txt";
  EXPECT_FALSE(f.cache.moveFromCacheAtLocation(record, "/other.txt"));
}

}  // namespace
}  // namespace ulmora
