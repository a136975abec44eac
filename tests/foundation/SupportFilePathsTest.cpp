#include "foundation/SupportFilePaths.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <vector>

#include "ScopedEnv.h"
#include "SourceStringTable.h"
#include "TestTempDir.h"
#include "foundation/QLLocalizedString.h"
#include "foundation/QLUtility.h"

namespace ulmora {
namespace {

using testing::ScopedEnv;
using testing::TestTempDir;

// Every index some part of the agent opens, and which of them belong to one
// account (they live under application file 1).
const std::vector<int> kNamedIndices = {0,   1,   2,   24,  25,  26,  31,  32,  50,  84,  94,
                                        101, 102, 103, 104, 105, 106, 107, 108, 109, 110, 113,
                                        114, 118, 120, 121, 124, 125, 126, 127, 128, 129, 130,
                                        131, 132, 133, 136, 137, 139, 140, 141, 142, 150, 152};
const std::vector<int> kUnderAccountFolder = {25,  32,  50,  101, 102, 103, 104, 105, 106, 107,
                                              108, 109, 113, 114, 118, 120, 121, 124, 125, 126,
                                              127, 128, 129, 130, 131, 132, 136, 137, 139, 140,
                                              141, 142, 150};
// Shared by every account of the console user.
const std::vector<int> kPerConsoleUser = {0, 2, 26, 31, 84, 94, 110, 152};

class SupportFilePathsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::loadSourceStringTable();
    paths_.setConsoleUserName(QLUtility::currentConsoleUserName());
    paths_.setSyncUserName("alice@example.com");
  }

  TestTempDir home_;
  ScopedEnv homeEnv_{"HOME", home_.path()};
  SupportFilePaths paths_;
};

TEST_F(SupportFilePathsTest, NamedIndicesAreDistinctPathsInTheHomeFolder) {
  std::set<std::string> seen;
  for (int index : kNamedIndices) {
    SCOPED_TRACE(index);
    std::string path = paths_.pathForApplicationFile(index);
    EXPECT_EQ(path.rfind(home_.path() + "/", 0), 0u) << path;
    EXPECT_EQ(path.find('%'), std::string::npos) << path;
    EXPECT_EQ(path.find("//"), std::string::npos) << path;
    EXPECT_TRUE(seen.insert(path).second) << "shared by two indices: " << path;
  }
}

TEST_F(SupportFilePathsTest, UnnamedAndOutOfRangeIndicesGiveNothing) {
  for (int index : {-1, 3, 47, 48, 155, 156, 100000}) {
    EXPECT_EQ(paths_.pathForApplicationFile(index), "") << index;
  }
}

TEST_F(SupportFilePathsTest, AccountFilesLieInTheAccountFolder) {
  const std::string accountFolder = paths_.pathForApplicationFile(1);
  EXPECT_NE(accountFolder.find("alice@example.com"), std::string::npos);
  for (int index : kUnderAccountFolder) {
    EXPECT_EQ(paths_.pathForApplicationFile(index).rfind(accountFolder + "/", 0), 0u) << index;
  }
  // New session logs are named by appending to this path.
  EXPECT_EQ(paths_.pathForApplicationFile(32), accountFolder + "/SessionLogsNew/Sync/");
}

TEST_F(SupportFilePathsTest, AccountsShareOnlyConsoleUserFiles) {
  SupportFilePaths other;
  other.setConsoleUserName(paths_.consoleUserName());
  other.setSyncUserName("bob");
  for (int index : kNamedIndices) {
    bool shared = std::count(kPerConsoleUser.begin(), kPerConsoleUser.end(), index) > 0;
    EXPECT_EQ(paths_.pathForApplicationFile(index) == other.pathForApplicationFile(index), shared)
        << index;
  }
}

TEST_F(SupportFilePathsTest, SyncUserThatIsNotOneFolderNameGivesNoAccountPaths) {
  for (const char* name : {"", "..", "../bob"}) {
    SCOPED_TRACE(name);
    paths_.setSyncUserName(name);
    EXPECT_EQ(paths_.pathForApplicationFile(1), "");
    EXPECT_EQ(paths_.pathForApplicationFile(101), "");
    EXPECT_NE(paths_.pathForApplicationFile(0), "");
    EXPECT_NE(paths_.pathForApplicationFile(110), "");
  }
}

TEST_F(SupportFilePathsTest, EachTemplateIsFoundUnderItsFilesOwnName) {
  TestTempDir tables;
  QLLocalizedStringLoadTable(tables.writeFile(
      "names.plist",
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
      "<key>ApplicationUserFolderPath</key><string>%HOME%/acct/%SYNCUSER%</string>"
      "<key>SyncBackupFilesDir</key><string>%HOME%/up</string>"
      "<key>LDBPath</key><string>%HOME%/db</string>"
      "<key>SystemInIdleState</key><string>%HOME%/idle</string>"
      "<key>AppFile105</key><string>%HOME%/numbered</string>"
      "</dict></plist>"));
  struct Case {
    int index;
    const char* key;
    std::string path;
  } cases[] = {
      {1, "ApplicationUserFolderPath", home_.path() + "/acct/alice@example.com"},
      {101, "SyncBackupFilesDir", home_.path() + "/up"},
      {107, "LDBPath", home_.path() + "/db"},
      {152, "SystemInIdleState", home_.path() + "/idle"},
      // Named, but the table has only a numbered key for it.
      {105, "SyncRestoreFilesDir", ""},
      {3, "", ""},
      {48, "", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(SupportFilePaths::keyForApplicationFile(c.index), c.key) << c.index;
    EXPECT_EQ(paths_.pathForApplicationFile(c.index), c.path) << c.index;
  }
  testing::loadSourceStringTable();
  for (int index : kNamedIndices) EXPECT_NE(SupportFilePaths::keyForApplicationFile(index), "") << index;
}

TEST_F(SupportFilePathsTest, UnknownConsoleUserGivesNoPaths) {
  paths_.setConsoleUserName("no-such-user-ulmora-test");
  EXPECT_EQ(paths_.pathForApplicationFile(0), "");
  EXPECT_EQ(paths_.pathForApplicationFile(101), "");
}

}  // namespace
}  // namespace ulmora
