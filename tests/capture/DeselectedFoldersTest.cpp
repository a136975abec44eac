#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>

#include "TestTempDir.h"
#include "capture/DeselectedFolders.h"
#include "platform/FileUtil.h"
#include "platform/ManualClock.h"
#include "platform/PropertyList.h"

namespace ulmora {
namespace {

using testing::TestTempDir;

void writeList(const std::string& path, const PropertyList::Dict& entries, int stampSeconds) {
  ASSERT_TRUE(PropertyList(entries).writeFile(path));
  const timespec times[2] = {{stampSeconds, 0}, {stampSeconds, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

TEST(DeselectedFoldersTest, FoldersMarkedZeroAndEverythingBelowThemAreLeftOut) {
  TestTempDir dir;
  ManualClock clock;
  const std::string list = dir.sub("SelectiveSync.plist");
  DeselectedFolders deselected(list, clock);
  EXPECT_FALSE(deselected.contains("/A/f"));  // no list: nothing left out

  writeList(list,
            {{"/A", PropertyList("0")}, {"B", PropertyList("0")}, {"/Kept", PropertyList("1")},
             {"/Odd", PropertyList(PropertyList::Dict{})}, {"/", PropertyList("0")}},
            1000);
  clock.advance(DeselectedFolders::kRecheckInterval);
  struct Case {
    const char* path;
    bool leftOut;
  };
  for (const Case& c : {Case{"/A", true}, Case{"/A/f", true}, Case{"/A/sub/g", true},
                        Case{"/AB", false}, Case{"/B/x", true}, Case{"/Kept/x", false},
                        Case{"/Odd/x", false}, Case{"/other", false}}) {
    EXPECT_EQ(deselected.contains(c.path), c.leftOut) << c.path;
  }

  // A changed list is read again, once the recheck interval has passed.
  writeList(list, {{"/Kept", PropertyList("0")}}, 2000);
  EXPECT_TRUE(deselected.contains("/A/f"));
  clock.advance(DeselectedFolders::kRecheckInterval);
  EXPECT_FALSE(deselected.contains("/A/f"));
  EXPECT_TRUE(deselected.contains("/Kept/x"));

  // A list that cannot be read leaves nothing out.
  ASSERT_TRUE(fileutil::writeFileAtomically(list, "not a property list"));
  clock.advance(DeselectedFolders::kRecheckInterval);
  EXPECT_FALSE(deselected.contains("/Kept/x"));
}

// The start walk and the watcher read the list the same way.
TEST(DeselectedFoldersTest, TheListIsReadOnceForEveryReader) {
  TestTempDir dir;
  const std::string list = dir.sub("SelectiveSync.plist");
  EXPECT_FALSE(DeselectedFolders::readList(list));
  EXPECT_FALSE(DeselectedFolders::readList(""));
  ASSERT_TRUE(fileutil::writeFileAtomically(list, "not a property list"));
  EXPECT_FALSE(DeselectedFolders::readList(list));

  writeList(list,
            {{"/A/", PropertyList("0")}, {"B", PropertyList("0")}, {"/Kept", PropertyList("1")},
             {"/Odd", PropertyList(PropertyList::Dict{})}, {"/", PropertyList("0")}},
            1000);
  auto folders = DeselectedFolders::readList(list);
  ASSERT_TRUE(folders);
  std::sort(folders->begin(), folders->end());
  EXPECT_EQ(*folders, (std::vector<std::string>{"/A", "/B"}));
}

}  // namespace
}  // namespace ulmora
