#include "sync/status/RecentItems.h"

#include <gtest/gtest.h>

#include <thread>

#include "TestTempDir.h"

namespace ulmora {
namespace {

using testing::TestTempDir;

std::vector<std::pair<std::string, std::string>> entriesOf(const RecentItems& items) {
  std::vector<std::pair<std::string, std::string>> out;
  for (const auto& e : items.fileEntries())
    out.emplace_back(e.stringFor(RecentItems::kFileNameKey).value_or("?"),
                     e.stringFor(RecentItems::kOperationKey).value_or("?"));
  return out;
}

struct FileCase {
  const char* name;
  std::vector<std::pair<std::string, std::string>> writes;
  std::vector<std::pair<std::string, std::string>> expected;  // newest first
};

class RecentItemsFileTest : public ::testing::TestWithParam<FileCase> {};

TEST_P(RecentItemsFileTest, KeepsTheNewestDistinctEntriesFirst) {
  TestTempDir dir;
  RecentItems items(dir.sub("RecentItems.plist"));
  for (const auto& [path, op] : GetParam().writes) items.setRecentlyModifiedItems(path, op);
  EXPECT_EQ(entriesOf(items), GetParam().expected);
}

const std::string up = RecentItems::kSyncedUp;
const std::string down = RecentItems::kSyncedDown;

INSTANTIATE_TEST_SUITE_P(
    Cases, RecentItemsFileTest,
    ::testing::Values(
        FileCase{"six_leave_five_newest",
                 {{"/1", up}, {"/2", up}, {"/3", up}, {"/4", up}, {"/5", up}, {"/6", up}},
                 {{"/6", up}, {"/5", up}, {"/4", up}, {"/3", up}, {"/2", up}}},
        FileCase{"repeat_keeps_its_place",
                 {{"/a", up}, {"/b", up}, {"/c", up}, {"/a", up}},
                 {{"/c", up}, {"/b", up}, {"/a", up}}},
        FileCase{"other_operation_is_new", {{"/a", up}, {"/a", down}}, {{"/a", down}, {"/a", up}}},
        FileCase{"odd_bytes_survive", {{"/caf\xc3\xa9 <&>", up}}, {{"/caf\xc3\xa9 <&>", up}}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(RecentItemsTest, AnUnreadableFileCountsAsEmpty) {
  TestTempDir dir;
  const std::string file = dir.writeFile("RecentItems.plist", "not a property list");
  RecentItems items(file);
  items.setRecentlyModifiedItems("/x", up);
  EXPECT_EQ(entriesOf(items), (std::vector<std::pair<std::string, std::string>>{{"/x", up}}));
}

TEST(RecentItemsTest, AFileReplacedByAnotherWriterIsReadAgain) {
  TestTempDir dir;
  const std::string file = dir.sub("RecentItems.plist");
  RecentItems items(file);
  items.setRecentlyModifiedItems("/ours", up);
  PropertyList theirs(PropertyList::Dict{});
  theirs.set(RecentItems::kFileNameKey, "/theirs");
  theirs.set(RecentItems::kOperationKey, down);
  ASSERT_TRUE(PropertyList(PropertyList::Array{theirs}).writeFile(file));
  items.setRecentlyModifiedItems("/next", up);
  EXPECT_EQ(entriesOf(items), (std::vector<std::pair<std::string, std::string>>{{"/next", up}, {"/theirs", down}}));
}

TEST(RecentItemsTest, ConcurrentWritersLoseNoEntry) {
  TestTempDir dir;
  RecentItems items(dir.sub("RecentItems.plist"));
  std::vector<std::thread> writers;
  for (int t = 0; t < 4; ++t)
    writers.emplace_back([&items, t] { items.setRecentlyModifiedItems("/t" + std::to_string(t), up); });
  for (auto& w : writers) w.join();
  EXPECT_EQ(items.fileEntries().size(), 4u);
}

TEST(RecentItemsTest, InMemoryListKeepsFiveOldestFirstAndReportsByOptype) {
  RecentItems items("/nonexistent/RecentItems.plist");
  for (int i = 1; i <= 7; ++i) items.storeRecentItem("/f" + std::to_string(i), i % 2);
  items.addFileUpdatedFromCache("/cached");

  std::vector<std::tuple<std::string, int, int>> reports;
  auto sink = [&](const PropertyList& r, int optype, int state) {
    reports.emplace_back(r.stringFor("filename").value_or("?"), optype, state);
  };
  items.sendRecentItemsList(sink);
  const std::vector<std::tuple<std::string, int, int>> expected = {
      {"/f3", 3, 1}, {"/f4", 4, 1}, {"/f5", 3, 1}, {"/f6", 4, 1}, {"/f7", 3, 1}, {"/cached", 5, 1}};
  EXPECT_EQ(reports, expected);

  // The files restored from the cache are reported once; the recent list
  // stays until the listing clears it.
  reports.clear();
  items.sendRecentItemsList(sink);
  EXPECT_EQ(reports.size(), 5u);
  items.clearItems();
  reports.clear();
  items.sendRecentItemsList(sink);
  EXPECT_TRUE(reports.empty());
}

}  // namespace
}  // namespace ulmora
