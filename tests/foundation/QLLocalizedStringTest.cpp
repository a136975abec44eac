#include "foundation/QLLocalizedString.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "SourceStringTable.h"
#include "TestTempDir.h"

namespace ulmora {
namespace {

using testing::TestTempDir;

class QLLocalizedStringTest : public ::testing::Test {
 protected:
  void SetUp() override { testing::loadSourceStringTable(); }
  void TearDown() override { testing::loadSourceStringTable(); }
};

TEST_F(QLLocalizedStringTest, LooksKeysUp) {
  struct Case {
    const char* key;
    const char* expected;
  } cases[] = {
      {"SyncDaemonShortCut", "ulmora-kvt"},
      {"ApplicationUserFolderPath", "%HOME%/.local/share/ulmora/%SYNCUSER%"},
      {"SyncBackupFilesDir", "%HOME%/.local/share/ulmora/%SYNCUSER%/Journal/Backup"},
      {"AppFile1", "AppFile1"},
      {"NoSuchKeyInTheTable", "NoSuchKeyInTheTable"},
      {"Some of the files are not transferred.", "Some of the files are not transferred."},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(QLLocalizedString(c.key), c.expected) << c.key;
}

TEST_F(QLLocalizedStringTest, EnginePathIsBesideTheProgram) {
  char self[4096] = {};
  ASSERT_GT(readlink("/proc/self/exe", self, sizeof self - 1), 0);
  std::string folder(self);
  folder.resize(folder.rfind('/'));
  EXPECT_EQ(QLLocalizedString("ExecuterPathKVT"), folder + "/ulmora-kvt");
}

TEST_F(QLLocalizedStringTest, MissingOrBrokenTableGivesKeys) {
  TestTempDir dir;
  for (std::string path : {dir.sub("absent.plist"), dir.writeFile("broken.plist", "<plist><dict>"),
                           dir.writeFile("array.plist", "<plist><array/></plist>")}) {
    SCOPED_TRACE(path);
    QLLocalizedStringLoadTable(path);
    EXPECT_EQ(QLLocalizedString("SyncDaemonShortCut"), "SyncDaemonShortCut");
    EXPECT_EQ(QLLocalizedString(""), "");
  }
}

TEST_F(QLLocalizedStringTest, OnlyTextsCountAsEntries) {
  TestTempDir dir;
  QLLocalizedStringLoadTable(dir.writeFile("t.plist",
                                           "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                                           "<plist version=\"1.0\"><dict>"
                                           "<key>text</key><string>caf\xC3\xA9 &amp; more</string>"
                                           "<key>number</key><integer>7</integer>"
                                           "</dict></plist>"));
  EXPECT_EQ(QLLocalizedString("text"), "caf\xC3\xA9 & more");
  EXPECT_EQ(QLLocalizedString("number"), "number");
}

}  // namespace
}  // namespace ulmora
