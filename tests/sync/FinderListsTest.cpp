#include "sync/status/FinderLists.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "SyncFakes.h"

namespace ulmora {
namespace {

using testing::RecordingMessenger;
using testing::RecordingPoster;

struct AnnounceCase {
  const char* name;
  std::vector<std::string> folders;
  std::optional<std::vector<std::string>> expected;  // sorted
};

class FoldersToAnnounceTest : public ::testing::TestWithParam<AnnounceCase> {};

TEST_P(FoldersToAnnounceTest, WalksUpToTheRoot) {
  auto got = FinderLists::foldersToAnnounce(GetParam().folders, "/h/Sync");
  if (got) std::sort(got->begin(), got->end());
  EXPECT_EQ(got, GetParam().expected);
}

std::vector<std::string> many(int n) {
  std::vector<std::string> out;
  for (int i = 0; i < n; ++i) out.push_back("/h/Sync/d" + std::to_string(i));
  return out;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FoldersToAnnounceTest,
    ::testing::Values(
        AnnounceCase{"none", {}, std::nullopt},
        AnnounceCase{"ten_is_too_many", many(10), std::nullopt},
        AnnounceCase{"nine_are_sent", many(9), many(9)},
        AnnounceCase{"two_levels", {"/h/Sync/a/b"}, std::vector<std::string>{"/h/Sync/a", "/h/Sync/a/b"}},
        AnnounceCase{"shared_parent_once",
                     {"/h/Sync/a/b", "/h/Sync/a/c/"},
                     std::vector<std::string>{"/h/Sync/a", "/h/Sync/a/b", "/h/Sync/a/c"}},
        AnnounceCase{"root_only", {"/h/Sync", "/h/Sync/"}, std::nullopt},
        AnnounceCase{"sibling_root_is_not_walked",
                     {"/h/Sync2/x/y"},
                     std::vector<std::string>{"/h/Sync2/x/y"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FinderListsTest, PostsTheSyncListAndTellsTheRootOnItsChannel) {
  RecordingMessenger finder;
  RecordingPoster poster;
  std::shared_ptr<CompanionMessenger> channel;
  FinderLists lists("/h/Sync", [&] { return channel; }, poster);

  EXPECT_FALSE(lists.sendMessageToFinder({}));
  EXPECT_TRUE(lists.sendMessageToFinder({"/h/Sync/a"}));
  ASSERT_EQ(poster.posted.size(), 1u);
  EXPECT_EQ(poster.posted[0].first, "FilessyncListGot");
  EXPECT_EQ(testing::texts(poster.posted[0].second.find("syncList")),
            std::vector<std::string>{"/h/Sync/a"});

  lists.SendPathRootSet();  // no channel: dropped
  channel = std::shared_ptr<CompanionMessenger>(std::shared_ptr<void>(), &finder);
  lists.SendPathRootSet();
  lists.VersionRestoreStarted();
  lists.VersionRestoreEnded();
  const std::vector<std::pair<int, std::string>> expected = {{3, "/h/Sync"}, {22, ""}, {23, ""}};
  EXPECT_EQ(finder.sent(), expected);
}

TEST(FinderListsTest, ASyncListIsPostedAsGivenAndAnEmptyOneToo) {
  const std::vector<std::vector<std::string>> cases = {
      {"/h/Sync/b.txt", "/h/Sync/a.txt"},  // order kept, nothing walked up
      {"/a.txt"},                          // relative: as given
      {},
  };
  for (const auto& paths : cases) {
    RecordingPoster poster;
    FinderLists lists("/h/Sync", nullptr, poster);
    lists.postSyncList(paths);
    ASSERT_EQ(poster.posted.size(), 1u);
    EXPECT_EQ(poster.posted[0].first, FinderLists::kSyncListNotification);
    EXPECT_EQ(testing::texts(poster.posted[0].second.find(FinderLists::kSyncListKey)), paths);
  }
}

TEST(FinderListsTest, FullPathFor) {
  const std::vector<std::tuple<std::string, std::string, std::string>> cases = {
      {"/h/Sync", "/a/b.txt", "/h/Sync/a/b.txt"},
      {"/h/Sync", "/h/Sync/a", "/h/Sync/a"},
      {"/h/Sync", "/h/Sync", "/h/Sync"},
      {"/h/Sync", "/h/Sync2/a", "/h/Sync/h/Sync2/a"},
      {"", "/a", "/a"},
  };
  for (const auto& [root, path, expected] : cases)
    EXPECT_EQ(FinderLists::getFullPathFor(path, root), expected) << root << " " << path;
}

}  // namespace
}  // namespace ulmora
