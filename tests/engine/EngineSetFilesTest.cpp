#include "engine/EngineSetFiles.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "TestTempDir.h"
#include "platform/FileUtil.h"

namespace ulmora {
namespace {

struct PrefixCase {
  const char* path;
  const char* prefix;
  bool expected;
};

void PrintTo(const PrefixCase& c, std::ostream* os) { *os << c.path << " under " << c.prefix; }

class ComponentPrefix : public ::testing::TestWithParam<PrefixCase> {};

TEST_P(ComponentPrefix, MatchesWholeComponentsOnly) {
  const PrefixCase& c = GetParam();
  EXPECT_EQ(engineset::hasComponentPrefix(c.path, c.prefix), c.expected) << c.path << " / " << c.prefix;
}

INSTANTIATE_TEST_SUITE_P(Table, ComponentPrefix,
                         ::testing::Values(PrefixCase{"/A/b", "/A", true},          //
                                           PrefixCase{"/A/b", "/A/", true},         //
                                           PrefixCase{"/A", "/A", true},            //
                                           PrefixCase{"/Ab", "/A", false},          //
                                           PrefixCase{"/A/b", "/A/b/c", false},     //
                                           PrefixCase{"/A/b/c", "/A/b", true},      //
                                           PrefixCase{"/a/B", "/A", false},         //
                                           PrefixCase{"/A/b", "", false},           //
                                           PrefixCase{"/A/b", "/", true},           //
                                           PrefixCase{"/A/", "/A", true},           //
                                           PrefixCase{"/A.txt", "/A", false}));

TEST(EngineSetFiles, DedupeKeepsFirstOccurrenceOrder) {
  EXPECT_EQ(engineset::dedupe({"/b", "/a", "/b", "/c", "/a"}), (std::vector<std::string>{"/b", "/a", "/c"}));
}

std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t nl = text.find('\n', start);
    lines.push_back(text.substr(start, nl - start));
    start = nl + 1;
  }
  return lines;
}

TEST(EngineSetFiles, SplitsIntoFilesOfAtMost950PathsEachWithTheRootLine) {
  testing::TestTempDir dir;
  std::vector<std::string> entries;
  for (int i = 0; i < 2000; ++i) entries.push_back("/f" + std::to_string(i));
  auto files = engineset::writeSetFiles(dir.path(), "set1", entries, std::string("/root"));
  ASSERT_TRUE(files);
  ASSERT_EQ(files->size(), 3u);
  std::vector<std::string> all;
  for (const std::string& f : *files) {
    std::vector<std::string> lines = linesOf(*fileutil::readFile(f));
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front(), "/root");
    EXPECT_LE(lines.size() - 1, engineset::kMaxPathsPerSetFile);
    all.insert(all.end(), lines.begin() + 1, lines.end());
    struct stat st {};
    ASSERT_EQ(::stat(f.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
  }
  EXPECT_EQ(all, entries);
}

TEST(EngineSetFiles, PathsTheFormatCannotCarryAreLeftOut) {
  testing::TestTempDir dir;
  auto files = engineset::writeSetFiles(dir.path(), "s", {"/ok", "/bad\nline", std::string("/nul\0x", 6), "/ok2"},
                                        std::nullopt);
  ASSERT_TRUE(files);
  ASSERT_EQ(files->size(), 1u);
  EXPECT_EQ(*fileutil::readFile(files->front()), "/ok\n/ok2\n");
}

TEST(EngineSetFiles, NoEntriesNoFiles) {
  testing::TestTempDir dir;
  auto files = engineset::writeSetFiles(dir.path(), "s", {}, std::string("/root"));
  ASSERT_TRUE(files);
  EXPECT_TRUE(files->empty());
}

}  // namespace
}  // namespace ulmora
