#include <gtest/gtest.h>

#include "journal/RenameFollower.h"

namespace ulmora {
namespace {

TEST(RenameFollowerTest, QueuedPathsFollowRenamesOnWholeComponentsInOrder) {
  struct Case {
    const char* name;
    std::vector<RenameEntry> renames;
    std::string queued;
    std::optional<std::string> after;
  };
  const Case cases[] = {
      {"the item itself", {{"/x.tmp", "/x"}}, "/x.tmp", "/x"},
      {"below a renamed folder", {{"/new", "/renamed"}}, "/new/d/f", "/renamed/d/f"},
      {"a sibling sharing a prefix", {{"/a/b", "/c"}}, "/a/bc", std::nullopt},
      {"a parent of the renamed item", {{"/a/b", "/c"}}, "/a", std::nullopt},
      {"a chain", {{"/a", "/b"}, {"/b", "/c"}}, "/a", "/c"},
      {"a chain through a folder", {{"/d", "/e"}, {"/e/f", "/g"}}, "/d/f/h", "/g/h"},
      {"a rename before the item came", {{"/b", "/c"}, {"/a", "/b"}}, "/a", "/b"},
      {"a swap", {{"/a", "/t"}, {"/b", "/a"}, {"/t", "/b"}}, "/a", "/b"},
      {"the folder, then the item inside", {{"/p", "/q"}, {"/q/f", "/q/g"}}, "/p/f", "/q/g"},
      {"trailing slashes", {{"/p/", "/q/"}}, "/p/f/", "/q/f"},
      {"onto its own ancestor", {{"/a/b", "/a"}}, "/a/b/f", "/a/f"},
      {"a rename to itself", {{"/a", "/a"}}, "/a", std::nullopt},
      {"an incomplete rename", {{"", "/a"}, {"/b", ""}}, "/b", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(RenameFollower(c.renames).follow(c.queued), c.after);
  }
  EXPECT_TRUE(RenameFollower(std::vector<RenameEntry>{{"/a", "/a"}}).empty());
}

}  // namespace
}  // namespace ulmora
