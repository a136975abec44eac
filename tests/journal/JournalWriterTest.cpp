#include <gtest/gtest.h>

#include "JournalTestSupport.h"
#include "journal/JournalReader.h"
#include "journal/JournalWriter.h"

namespace ulmora::testing {
namespace {

std::vector<std::string> paths(std::size_t n, const std::string& prefix = "/f") {
  std::vector<std::string> out;
  for (std::size_t i = 0; i < n; ++i) out.push_back(prefix + std::to_string(i));
  return out;
}

class JournalWriterTest : public ::testing::Test {
 protected:
  JournalWriterTest() : stamps_(clock_), writer_(stamps_, clock_), folder_(dir_.sub("101")) {
    folder_.ensureExists();
  }
  TestTempDir dir_;
  SteppingClock clock_;  // frozen wall time: every stamp comes from the generator's step
  JournalStampGenerator stamps_;
  JournalWriter writer_;
  JournalFolder folder_;
};

TEST_F(JournalWriterTest, ChunksOfAThousandWithoutAnEmptyLastFile) {
  struct Case {
    std::size_t entries;
    std::vector<std::size_t> fileSizes;
  };
  const Case cases[] = {
      {1, {1}}, {999, {999}}, {1000, {1000}}, {1001, {1000, 1}}, {2500, {1000, 1000, 500}}};
  for (const auto& c : cases) {
    folder_.clear();
    auto input = paths(c.entries);
    auto result = writer_.writeTextList(folder_, input, journal::kUploadSuffix);
    ASSERT_EQ(result.published.size(), c.fileSizes.size()) << c.entries;
    EXPECT_TRUE(result.unwritten.empty());
    auto names = folder_.eligibleNames(journal::SkipRule::kReader);
    ASSERT_EQ(names, result.published);
    for (std::size_t i = 0; i < names.size(); ++i) {
      EXPECT_EQ(JournalReader::parseTextList(*folder_.read(names[i])).size(), c.fileSizes[i]);
      EXPECT_TRUE(names[i].ends_with("_backup"));
    }
    // Read back in journal order: exactly the entries, in order.
    EXPECT_EQ(JournalReader::takeTextLists(folder_, false), input) << c.entries;
  }
}

TEST_F(JournalWriterTest, EmptyListWritesNothing) {
  auto result = writer_.writeTextList(folder_, {"", ""}, journal::kDeleteSuffix);
  EXPECT_TRUE(result.published.empty());
  EXPECT_TRUE(folder_.names().empty());
}

TEST_F(JournalWriterTest, NewlineInAPathIsRefusedAndTheRestIsWritten) {
  auto result = writer_.writeTextList(folder_, {"/a", "/b\nc", "", "/d"}, journal::kUploadSuffix);
  EXPECT_EQ(result.refused, 1u);
  EXPECT_EQ(JournalReader::takeTextLists(folder_, false), (std::vector<std::string>{"/a", "/d"}));
}

TEST_F(JournalWriterTest, PacingGoesThroughTheClock) {
  writer_.writeTextList(folder_, paths(2500), journal::kUploadSuffix);
  // 10 + 10 + 5 pauses of 10 ms while building the three files.
  EXPECT_EQ(clock_.slept(), 25 * JournalWriter::kPause);
}

TEST_F(JournalWriterTest, TheExtraPauseBetweenFilesFallsWhereEachWriterTakesIt) {
  using FilePause = JournalWriter::FilePause;
  struct Case {
    std::size_t files;
    FilePause rule;
    int pauses;  // beyond the 10 per full file
  } cases[] = {
      {99, FilePause::kAfterEveryHundredthFile, 0},
      {99, FilePause::kBeforeEveryHundredthFile, 1},
      {100, FilePause::kAfterEveryHundredthFile, 1},
      {100, FilePause::kBeforeEveryHundredthFile, 1},
  };
  for (const Case& c : cases) {
    folder_.clear();
    const auto before = clock_.slept();
    auto result = writer_.writeTextList(folder_, paths(c.files * journal::kEntriesPerFile), {},
                                        JournalWriter::ChunkNames::kNumbered, c.rule);
    ASSERT_EQ(result.published.size(), c.files);
    EXPECT_EQ(clock_.slept() - before, (static_cast<int>(c.files) * 10 + c.pauses) * JournalWriter::kPause)
        << c.files << " files, rule " << static_cast<int>(c.rule);
  }
}

TEST_F(JournalWriterTest, CollidingStampsNeverReplaceAFile) {
  // Two writers whose generators share a frozen clock draw the same stamps.
  JournalStampGenerator otherStamps(clock_);
  JournalWriter other(otherStamps, clock_);
  std::vector<std::string> expected;
  for (int i = 0; i < 5; ++i) {
    auto mine = paths(3, "/mine" + std::to_string(i) + "-");
    auto theirs = paths(3, "/theirs" + std::to_string(i) + "-");
    ASSERT_EQ(writer_.writeTextList(folder_, mine, journal::kUploadSuffix).published.size(), 1u);
    ASSERT_EQ(other.writeTextList(folder_, theirs, journal::kUploadSuffix).published.size(), 1u);
    expected.insert(expected.end(), mine.begin(), mine.end());
    expected.insert(expected.end(), theirs.begin(), theirs.end());
  }
  auto all = JournalReader::takeTextLists(folder_, false);
  std::sort(all.begin(), all.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(all, expected);
  // No in-progress file is left behind.
  for (const auto& name : folder_.names()) EXPECT_NE(journal::extensionOf(name), "progress");
}

TEST_F(JournalWriterTest, NumberedChunksShareOneStampAndSortNumerically) {
  auto input = paths(12000);
  auto result = writer_.writeTextList(folder_, input, {}, JournalWriter::ChunkNames::kNumbered);
  ASSERT_EQ(result.published.size(), 12u);
  std::string stamp = result.published[0].substr(0, journal::kStampLength);
  for (std::size_t i = 0; i < 12; ++i)
    EXPECT_EQ(result.published[i], stamp + "_" + std::to_string(i + 1));
  EXPECT_EQ(JournalReader::takeTextLists(folder_, false), input);
}

TEST_F(JournalWriterTest, DownloadListsMergeEqualPathsLaterValueWins) {
  std::vector<JournalWriter::DownloadEntry> entries;
  for (int i = 0; i < 1500; ++i) entries.emplace_back("/d" + std::to_string(i), "10");
  entries.emplace_back("/d7", "99");
  entries.emplace_back("/bad\xff", "1");
  auto result = writer_.writeDownloadLists(folder_, entries);
  EXPECT_EQ(result.published.size(), 2u);
  EXPECT_EQ(result.refused, 1u);
  auto merged = JournalReader::takeDownloadLists(folder_, false);
  EXPECT_EQ(merged.size(), 1500u);
  EXPECT_EQ(merged.at("/d7"), PropertyList("99"));
}

TEST_F(JournalWriterTest, RenameListRoundTrip) {
  std::vector<RenameEntry> entries = {{"/a", "/b"}, {"/b", "/c"}, {"/x", ""}};
  auto result = writer_.writeRenameList(folder_, entries);
  ASSERT_EQ(result.published.size(), 1u);
  EXPECT_TRUE(result.published[0].ends_with("_rename"));
  auto set = JournalReader::takeEventSet(folder_);
  ASSERT_TRUE(set);
  EXPECT_EQ(set->type, "rename");
  EXPECT_EQ(set->renames, (std::vector<RenameEntry>{{"/a", "/b"}, {"/b", "/c"}}));
}

TEST_F(JournalWriterTest, AFolderThatCannotBeWrittenHandsTheEntriesBack) {
  JournalFolder missing(dir_.sub("not-there/101"));
  auto result = writer_.writeTextList(missing, {"/a", "/b"}, journal::kUploadSuffix);
  EXPECT_TRUE(result.published.empty());
  EXPECT_EQ(result.unwritten, (std::vector<std::string>{"/a", "/b"}));
  EXPECT_FALSE(writer_.writeMarker(JournalFolder("")));
}

TEST_F(JournalWriterTest, EveryChangeBumpsTheFolderCounterForAllItsObjects) {
  JournalFolder sameFolder(folder_.path() + "/");
  uint64_t before = sameFolder.changeCount();
  auto name = writer_.writeMarker(folder_);
  ASSERT_TRUE(name);
  uint64_t published = sameFolder.changeCount();
  EXPECT_GT(published, before);
  folder_.consume(*name);
  EXPECT_GT(sameFolder.changeCount(), published);
  uint64_t consumed = sameFolder.changeCount();
  folder_.clear();
  EXPECT_GT(sameFolder.changeCount(), consumed);
}

}  // namespace
}  // namespace ulmora::testing
