#include "foundation/QLUtility.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>

#include "ScopedEnv.h"
#include "SourceStringTable.h"
#include "TestTempDir.h"

namespace ulmora {
namespace {

using testing::ScopedEnv;
using testing::TestTempDir;
namespace fs = std::filesystem;

constexpr uid_t kNobody = 65534;

TEST(QLUtilityTest, FilePredicates) {
  TestTempDir dir;
  dir.writeFile("file", "12345");
  fs::create_directory(dir.sub("folder"));
  fs::create_symlink(dir.sub("file"), dir.sub("link-to-file"));
  fs::create_symlink(dir.sub("folder"), dir.sub("link-to-folder"));
  fs::create_symlink(dir.sub("gone"), dir.sub("dangling"));
  struct stat folderStat;
  ASSERT_EQ(lstat(dir.sub("folder").c_str(), &folderStat), 0);
  const std::string folderSize = std::to_string(folderStat.st_size);

  struct Case {
    std::string name;
    bool exists, folder, symlink;
    std::string size;  // of the item itself: a symlink's is its target's name
  } cases[] = {
      {"file", true, false, false, "5"},
      {"folder", true, true, false, folderSize},
      {"link-to-file", true, false, true, std::to_string(dir.sub("file").size())},
      {"link-to-folder", true, true, true, std::to_string(dir.sub("folder").size())},
      {"dangling", false, false, true, std::to_string(dir.sub("gone").size())},
      {"missing", false, false, false, "0"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string path = dir.sub(c.name);
    EXPECT_EQ(QLUtility::isFileExists(path), c.exists);
    EXPECT_EQ(QLUtility::isDirectory(path), c.folder);
    EXPECT_EQ(QLUtility::isSymbolicLink(path), c.symlink);
    EXPECT_EQ(QLUtility::getFileSize(path), c.size);
  }
  EXPECT_FALSE(QLUtility::isFileExists(""));
  EXPECT_FALSE(QLUtility::isDirectory(""));
  EXPECT_EQ(QLUtility::getFileSize(""), "0");
}

TEST(QLUtilityTest, RemoveFileNeverReachesThroughSymlinks) {
  TestTempDir dir;
  dir.writeFile("outside/keep", "x");
  dir.writeFile("tree/a/b", "y");
  fs::create_directory_symlink(dir.sub("outside"), dir.sub("tree/a/link"));
  fs::create_directory_symlink(dir.sub("outside"), dir.sub("top-link"));

  QLUtility::removeFile(dir.sub("tree"));
  QLUtility::removeFile(dir.sub("top-link"));
  QLUtility::removeFile(dir.sub("missing"));
  QLUtility::removeFile("");

  EXPECT_FALSE(fs::exists(fs::symlink_status(dir.sub("tree"))));
  EXPECT_FALSE(fs::exists(fs::symlink_status(dir.sub("top-link"))));
  EXPECT_TRUE(fs::exists(dir.sub("outside/keep")));
}

TEST(QLUtilityTest, DateFromString) {
  using namespace std::chrono;
  struct Case {
    const char* text;
    std::optional<int64_t> secondsSince1970;  // the tests run in UTC
  } cases[] = {
      {"2024-03-05 14:07:09", 1709647629},
      {"2024-03-05T14:07:09.250 +0200", 1709647629},  // separators and the rest are not read
      {"2024-02-29 23:59:59", 1709251199},
      {"1970-01-01 00:00:00", 0},
      {"2024-03-05 14:07:0", std::nullopt},  // one character short
      {"", std::nullopt},
      {"2024-0a-05 14:07:09", std::nullopt},
      {"+024-03-05 14:07:09", std::nullopt},
      {"2024-03-05 14: 7:09", std::nullopt},
      {"2023-02-29 00:00:00", std::nullopt},
      {"2024-13-01 00:00:00", std::nullopt},
      {"2024-00-01 00:00:00", std::nullopt},
      {"2024-01-01 24:00:00", std::nullopt},
      {"2024-01-01 00:60:00", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    std::optional<Clock::WallTime> date = QLUtility::dateFromString(c.text);
    ASSERT_EQ(date.has_value(), c.secondsSince1970.has_value());
    if (date) {
      EXPECT_EQ(duration_cast<seconds>(date->time_since_epoch()).count(), *c.secondsSince1970);
    }
  }
}

TEST(QLUtilityTest, DateFromStringIsLocalTime) {
  ScopedEnv tz("TZ", "CET-1CEST,M3.5.0,M10.5.0/3");
  auto date = QLUtility::dateFromString("2024-07-01 12:00:00");
  ASSERT_TRUE(date);
  EXPECT_EQ(std::chrono::system_clock::to_time_t(*date), 1719828000);  // 10:00 UTC
}

TEST(QLUtilityTest, CompareString) {
  struct Case {
    const char* a;
    const char* b;
    bool caseSensitive, equal;
  } cases[] = {
      {"abc", "abc", true, true},      {"abc", "abC", true, false},
      {"abc", "ABC", false, true},     {"a", "A", false, true},
      {"[", "{", false, false},        {"@", "`", false, false},
      {"^", "~", false, false},        {"a[", "A{", false, false},
      {"abc", "abcd", false, false},   {"", "", true, true},
      {"", "a", false, false},         {"\xC3\xA9", "\xC3\x89", false, false},
      {"x1", "X1", true, false},       {"x1", "X1", false, true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(QLUtility::CompareString(c.a, c.b, c.caseSensitive), c.equal)
        << c.a << " / " << c.b << " caseSensitive=" << c.caseSensitive;
  }
}

TEST(QLUtilityTest, IsStringContainsKeyString) {
  EXPECT_TRUE(QLUtility::isString("path/to/file", "to/"));
  EXPECT_FALSE(QLUtility::isString("path/to/file", "TO/"));
  EXPECT_FALSE(QLUtility::isString("path", ""));
  EXPECT_FALSE(QLUtility::isString(std::nullopt, "a"));
  EXPECT_FALSE(QLUtility::isString("a", std::nullopt));
}

TEST(QLUtilityTest, DoesContainsFile) {
  struct Case {
    const char* name;
    std::vector<std::string> files;    // relative to the folder examined
    std::vector<std::string> folders;
    bool expected;
  } cases[] = {
      {"empty folder", {}, {}, false},
      {"only empty folders", {}, {"a/b/c", "d"}, false},
      {"only finder metadata", {".DS_Store", "a/.DS_Store", "a/b/.DS_Store"}, {}, false},
      {"name merely contains the metadata name", {"x.DS_Store.txt"}, {}, true},
      {"deep file", {"a/b/c/d/journal"}, {"e"}, true},
      {"hidden file", {"a/.hidden"}, {}, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TestTempDir dir;
    fs::create_directory(dir.sub("top"));
    for (const auto& f : c.folders) fs::create_directories(dir.sub("top/" + f));
    for (const auto& f : c.files) dir.writeFile("top/" + f, "1");
    EXPECT_EQ(QLUtility::doesContainsFile(dir.sub("top")), c.expected);
  }

  TestTempDir dir;
  dir.writeFile("plain", "1");
  EXPECT_TRUE(QLUtility::doesContainsFile(dir.sub("plain")));
  EXPECT_TRUE(QLUtility::doesContainsFile(dir.sub("missing")));
  // A symlink is an entry in its own right and is not followed.
  fs::create_directories(dir.sub("empty"));
  fs::create_directories(dir.sub("with-link"));
  fs::create_directory_symlink(dir.sub("empty"), dir.sub("with-link/link"));
  EXPECT_TRUE(QLUtility::doesContainsFile(dir.sub("with-link")));
  // A symlink loop must not make the walk run forever.
  fs::create_directories(dir.sub("loop/a"));
  fs::create_directory_symlink(dir.sub("loop"), dir.sub("loop/a/back"));
  EXPECT_TRUE(QLUtility::doesContainsFile(dir.sub("loop")));
}

// Runs `check` in a child that has given up root (CI runs as root, which
// reads any folder) and returns what the child answered.
bool answerAsNobody(const std::function<bool()>& check) {
  pid_t child = fork();
  if (child == 0) {
    if (geteuid() == 0 && (setgid(kNobody) != 0 || setuid(kNobody) != 0)) _exit(3);
    _exit(check() ? 1 : 0);
  }
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_NE(WEXITSTATUS(status), 3) << "could not drop privileges";
  return WEXITSTATUS(status) == 1;
}

TEST(QLUtilityTest, UnreadableFolderCountsAsHoldingFiles) {
  TestTempDir dir;
  fs::create_directories(dir.sub("top/open"));
  fs::create_directories(dir.sub("top/locked/inner"));
  for (const char* p : {"", "/top", "/top/open"}) chmod((dir.path() + p).c_str(), 0755);
  chmod(dir.sub("top/locked").c_str(), 0);

  EXPECT_TRUE(answerAsNobody([&] { return QLUtility::doesContainsFile(dir.sub("top")); }));
  // The same tree, readable, holds nothing.
  chmod(dir.sub("top/locked").c_str(), 0755);
  chmod(dir.sub("top/locked/inner").c_str(), 0755);
  EXPECT_FALSE(answerAsNobody([&] { return QLUtility::doesContainsFile(dir.sub("top")); }));
}

TEST(QLUtilityTest, PortParam) {
  testing::loadSourceStringTable();
  TestTempDir home;
  ScopedEnv homeEnv("HOME", home.path());
  const std::string portFile = QLUtility::pathForTemplateKey("KVTPortFile", "");
  ASSERT_EQ(portFile.rfind(home.path() + "/", 0), 0u) << portFile;

  EXPECT_EQ(QLUtility::portParam(), "--port=443");
  struct Case {
    const char* contents;
    const char* expected;
  } cases[] = {
      {"8443", "--port=8443"}, {" 22\n", "--port=22"},   {"", "--port=443"},
      {"abc", "--port=443"},   {"80x", "--port=443"},    {"0", "--port=443"},
      {"70000", "--port=443"}, {"-1", "--port=443"},     {"99999999999999", "--port=443"},
  };
  for (const auto& c : cases) {
    home.writeFile(portFile.substr(home.path().size() + 1), c.contents);
    EXPECT_EQ(QLUtility::portParam(), c.expected) << "file holds '" << c.contents << "'";
  }
}

TEST(QLUtilityTest, FillPathTemplate) {
  TestTempDir home;
  ScopedEnv homeEnv("HOME", home.path() + "/");
  const std::string me = QLUtility::currentConsoleUserName();
  struct Case {
    std::string pathTemplate, syncUser;
    std::optional<std::string> expected;
  } cases[] = {
      {"%HOME%/a/%SYNCUSER%/b", "bob", home.path() + "/a/bob/b"},
      {"%HOME%/%CONSOLEUSER%", "", home.path() + "/" + me},
      {"/fixed/path", "", "/fixed/path"},
      {"%HOME%/%SYNCUSER%", "%HOME%", home.path() + "/%HOME%"},  // a name is never re-read
      {"%HOME%/%SYNCUSER%", "", std::nullopt},
      {"%HOME%/%SYNCUSER%", "..", std::nullopt},
      {"%HOME%/%SYNCUSER%", "a/b", std::nullopt},
      {"%HOME%/%SYNCUSER%", std::string("a\0b", 3), std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(QLUtility::fillPathTemplate(c.pathTemplate, me, c.syncUser), c.expected)
        << c.pathTemplate << " with " << c.syncUser;
  }
  EXPECT_EQ(QLUtility::fillPathTemplate("%HOME%/x", "no-such-user-ulmora-test"), std::nullopt);
}

}  // namespace
}  // namespace ulmora
