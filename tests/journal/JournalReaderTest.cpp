#include <gtest/gtest.h>

#include "JournalTestSupport.h"
#include "journal/JournalReader.h"
#include "journal/JournalWriter.h"

namespace ulmora::testing {
namespace {

class JournalReaderTest : public ::testing::Test {
 protected:
  JournalReaderTest() : stamps_(clock_), writer_(stamps_, clock_), folder_(dir_.sub("102")) {
    folder_.ensureExists();
  }
  std::string write(std::string_view suffix, std::vector<std::string> entries) {
    return writer_.writeTextList(folder_, entries, suffix).published.at(0);
  }
  std::string writeRaw(const std::string& name, const std::string& contents) {
    fileutil::writeFileAtomically(folder_.pathFor(name), contents);
    return name;
  }

  TestTempDir dir_;
  SteppingClock clock_;
  JournalStampGenerator stamps_;
  JournalWriter writer_;
  JournalFolder folder_;
};

TEST_F(JournalReaderTest, BatchRule) {
  struct Case {
    int published;
    int consumed;
    std::size_t taken;
  };
  const Case cases[] = {{20, 0, 10}, {15, 0, 15}, {15, 1, 10}, {16, 0, 10}, {9, 6, 9}};
  for (const auto& c : cases) {
    folder_.clear();
    for (int i = 0; i < c.published + c.consumed; ++i) write(journal::kUploadSuffix, {"/p" + std::to_string(i)});
    auto names = folder_.names();
    for (int i = 0; i < c.consumed; ++i) folder_.consume(names[static_cast<std::size_t>(i)]);
    auto taken = JournalReader::takeTextLists(folder_, true);
    EXPECT_EQ(taken.size(), c.taken) << c.published << "+" << c.consumed;
    // The oldest files go first.
    EXPECT_EQ(taken.front(), "/p" + std::to_string(c.consumed));
    // Unlimited readers take everything.
    EXPECT_EQ(JournalReader::takeTextLists(folder_, false).size(),
              static_cast<std::size_t>(c.published) - c.taken);
  }
}

TEST_F(JournalReaderTest, EventSetsFollowTheLeadingRunOfOneType) {
  write(journal::kDeleteSuffix, {"/d1"});
  write(journal::kDeleteSuffix, {"/d2", "/d3"});
  writer_.writeRenameList(folder_, {{"/r1", "/r2"}});
  write(journal::kDeleteSuffix, {"/d4"});

  auto first = JournalReader::takeEventSet(folder_);
  ASSERT_TRUE(first);
  EXPECT_EQ(first->type, "delete");
  EXPECT_EQ(first->paths, (std::vector<std::string>{"/d1", "/d2", "/d3"}));
  auto second = JournalReader::takeEventSet(folder_);
  ASSERT_TRUE(second);
  EXPECT_EQ(second->type, "rename");
  EXPECT_EQ(second->renames, (std::vector<RenameEntry>{{"/r1", "/r2"}}));
  auto third = JournalReader::takeEventSet(folder_);
  ASSERT_TRUE(third);
  EXPECT_EQ(third->paths, (std::vector<std::string>{"/d4"}));
  EXPECT_FALSE(JournalReader::takeEventSet(folder_));

  PropertyList form = first->toPropertyList();
  ASSERT_TRUE(form.find("delete"));
  EXPECT_EQ(form.find("delete")->asArray()->size(), 3u);
}

TEST_F(JournalReaderTest, AnUntypedFileAtTheHeadIsSetAsideNotBlocking) {
  writeRaw("2019-01-01 00-00-00-000", "/stray");
  write(journal::kDeleteSuffix, {"/d1"});
  auto set = JournalReader::takeEventSet(folder_);
  ASSERT_TRUE(set);
  EXPECT_EQ(set->paths, (std::vector<std::string>{"/d1"}));
  EXPECT_TRUE(fileutil::exists(folder_.pathFor("2019-01-01 00-00-00-000.read")));
  EXPECT_FALSE(folder_.hasEligible(journal::SkipRule::kPendingCheck));
}

TEST_F(JournalReaderTest, IgnoredNamesAreNeverReadOrConsumed) {
  writeRaw(".DS_Store", "/junk");
  writeRaw(".x.progress", "/half");
  writeRaw("2019-01-01 00-00-00-000_delete.read", "/aside");
  write(journal::kDeleteSuffix, {"/d1"});
  EXPECT_EQ(JournalReader::takeTextLists(folder_, true), (std::vector<std::string>{"/aside", "/d1"}));
  EXPECT_TRUE(fileutil::exists(folder_.pathFor(".DS_Store")));
  EXPECT_TRUE(fileutil::exists(folder_.pathFor(".x.progress")));
}

TEST_F(JournalReaderTest, BadInputContributesItsWellFormedEntriesAndIsConsumed) {
  // A rename list that is no array, and one with malformed elements.
  writeRaw("2020-01-01 00-00-00-001_rename", "not a property list");
  PropertyList::Array mixed;
  mixed.push_back(RenameEntry{"/a", "/b"}.toPropertyList());
  mixed.emplace_back("just a string");
  PropertyList::Dict oneKey;
  oneKey.emplace("OriginalPath", PropertyList("/c"));
  mixed.emplace_back(oneKey);
  writeRaw("2020-01-01 00-00-00-002_rename", PropertyList(mixed).toXml());
  auto set = JournalReader::takeEventSet(folder_);
  ASSERT_TRUE(set);
  EXPECT_EQ(set->renames, (std::vector<RenameEntry>{{"/a", "/b"}}));
  EXPECT_TRUE(folder_.eligibleNames(journal::SkipRule::kPendingCheck).empty());

  // A download list with values that are not texts.
  JournalFolder downloads(dir_.sub("105"));
  downloads.ensureExists();
  PropertyList::Dict d;
  d.emplace("/ok", PropertyList("12"));
  d.emplace("/number", PropertyList(int64_t{12}));
  d.emplace("/array", PropertyList(PropertyList::Array{}));
  fileutil::writeFileAtomically(downloads.pathFor("2020-01-01 00-00-00-003"), PropertyList(d).toXml());
  fileutil::writeFileAtomically(downloads.pathFor("2020-01-01 00-00-00-004"), "<plist><array/>");
  // An unreadable "file": a folder where a list should be.
  fileutil::makeDirectories(downloads.pathFor("2020-01-01 00-00-00-005"));
  auto merged = JournalReader::takeDownloadLists(downloads, true);
  EXPECT_EQ(merged.size(), 1u);
  EXPECT_EQ(merged.count("/ok"), 1u);
  EXPECT_TRUE(downloads.eligibleNames(journal::SkipRule::kReader).empty());
}

}  // namespace
}  // namespace ulmora::testing
