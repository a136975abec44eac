#include "platform/UserDefaults.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <thread>
#include <vector>

#include "TestTempDir.h"
#include "platform/FileUtil.h"

namespace ulmora {
namespace {

TEST(UserDefaultsTest, ChangesReachTheFileAtOnce) {
  testing::TestTempDir tmp;
  const std::string path = tmp.sub("defaults.plist");
  {
    UserDefaults defaults(path);
    EXPECT_FALSE(fileutil::exists(path)) << "nothing to write yet";
    EXPECT_TRUE(defaults.setObject("CACHE_CLEARED_DATE", PropertyList::Date{1700000000}));
    EXPECT_TRUE(defaults.setObject("name", "caf\xC3\xA9"));
    EXPECT_TRUE(defaults.setObject("count", 3));
    EXPECT_TRUE(defaults.setObject("gone", "soon"));
    EXPECT_TRUE(defaults.setObject("also gone", true));
    EXPECT_TRUE(defaults.removeObjectForKey("gone"));
    EXPECT_TRUE(defaults.setObject("also gone", PropertyList()));
    EXPECT_TRUE(defaults.removeObjectForKey("never there"));
  }
  struct stat st;
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);

  UserDefaults reread(path);
  EXPECT_EQ(reread.objectForKey("CACHE_CLEARED_DATE"),
            PropertyList(PropertyList::Date{1700000000}));
  EXPECT_EQ(reread.stringForKey("name"), "caf\xC3\xA9");
  EXPECT_EQ(reread.objectForKey("count"), PropertyList(3));
  EXPECT_EQ(reread.stringForKey("count"), std::nullopt) << "not a string";
  EXPECT_EQ(reread.objectForKey("gone"), std::nullopt);
  EXPECT_EQ(reread.objectForKey("also gone"), std::nullopt);
}

TEST(UserDefaultsTest, DamagedFileIsKeptAsideBeforeWriting) {
  const std::pair<const char*, std::string> cases[] = {
      {"garbage", "\x01\x02 not a plist"},
      {"not a dictionary", "<plist><array><string>x</string></array></plist>"},
      {"empty file", ""},
  };
  for (const auto& [name, damaged] : cases) {
    SCOPED_TRACE(name);
    testing::TestTempDir tmp;
    const std::string path = tmp.writeFile("defaults.plist", damaged);
    tmp.writeFile("defaults.plist.corrupt-1", "an earlier one");

    UserDefaults defaults(path);
    EXPECT_EQ(defaults.objectForKey("x"), std::nullopt);
    EXPECT_EQ(fileutil::readFile(path), damaged) << "reading alone changes nothing";

    EXPECT_TRUE(defaults.setObject("key", "value"));
    EXPECT_EQ(fileutil::readFile(path + ".corrupt-1"), "an earlier one");
    EXPECT_EQ(fileutil::readFile(path + ".corrupt-2"), damaged);
    EXPECT_EQ(UserDefaults(path).stringForKey("key"), "value");

    EXPECT_TRUE(defaults.setObject("key", "again"));
    EXPECT_FALSE(fileutil::exists(path + ".corrupt-3")) << "moved aside only once";
  }
}

TEST(UserDefaultsTest, FailedWriteIsReportedAndKeptInMemory) {
  testing::TestTempDir tmp;
  UserDefaults defaults(tmp.sub("missing-folder/defaults.plist"));
  EXPECT_FALSE(defaults.setObject("key", "value"));
  EXPECT_FALSE(defaults.synchronize());
  EXPECT_EQ(defaults.stringForKey("key"), "value");

  ASSERT_TRUE(fileutil::makeDirectories(tmp.sub("missing-folder")));
  EXPECT_TRUE(defaults.synchronize());
  EXPECT_EQ(UserDefaults(defaults.path()).stringForKey("key"), "value");
}

TEST(UserDefaultsTest, ConcurrentWritersLoseNothing) {
  testing::TestTempDir tmp;
  const std::string path = tmp.sub("defaults.plist");
  UserDefaults defaults(path);
  constexpr int kThreads = 6, kKeys = 15;
  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t) {
    writers.emplace_back([&, t] {
      for (int k = 0; k < kKeys; ++k) {
        std::string key = std::to_string(t) + "-" + std::to_string(k);
        defaults.setObject(key, k);
        defaults.objectForKey(key);
      }
    });
  }
  for (std::thread& w : writers)
    w.join();

  std::optional<PropertyList> onDisk = PropertyList::readFile(path);
  ASSERT_TRUE(onDisk && onDisk->isDict());
  EXPECT_EQ(onDisk->asDict()->size(), size_t{kThreads * kKeys});
  EXPECT_EQ(fileutil::listDirectory(tmp.path()), std::vector<std::string>{"defaults.plist"});
}

}  // namespace
}  // namespace ulmora
