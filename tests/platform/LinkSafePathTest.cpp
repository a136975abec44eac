#include "platform/LinkSafePath.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <string>
#include <vector>

#include "TestTempDir.h"
#include "platform/FileUtil.h"

namespace ulmora {
namespace {

using Parts = std::vector<std::string>;

TEST(LinkSafePathTest, SplitsIntoComponentsAndRefusesThoseThatLeave) {
  struct Case {
    std::string path;
    Parts all;
    std::optional<Parts> plain;
  } cases[] = {
      {"/a/b.txt", {"a", "b.txt"}, Parts{"a", "b.txt"}},
      {"a//b/", {"a", "b"}, Parts{"a", "b"}},
      {"/", {}, std::nullopt},
      {"", {}, std::nullopt},
      {"/a/../b", {"a", "..", "b"}, std::nullopt},
      {"/./a", {".", "a"}, std::nullopt},
      {"/a/..b/c.", {"a", "..b", "c."}, Parts{"a", "..b", "c."}},
      {std::string("/a\0b", 4), {std::string("a\0b", 3)}, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(linksafe::components(c.path), c.all);
    EXPECT_EQ(linksafe::plainComponents(c.path), c.plain);
  }
}

TEST(LinkSafePathTest, OpensTheFolderOfTheLeafWithoutFollowingALinkOnTheWay) {
  testing::TestTempDir tmp;
  const std::string root = tmp.sub("root");
  const std::string outside = tmp.sub("outside");
  fileutil::makeDirectories(root + "/a/b");
  fileutil::makeDirectories(outside);
  ASSERT_EQ(::symlink(outside.c_str(), (root + "/a/link").c_str()), 0);
  std::vector<std::string> made;
  linksafe::OpenOptions creating;
  creating.create = true;
  creating.made = [&made](int, const std::string& name) { made.push_back(name); };

  struct Case {
    const char* name;
    Parts parts;
    bool create;
    bool opened;
    Parts made;
  } cases[] = {
      {"existing folders", {"a", "b", "leaf"}, false, true, {}},
      {"a link on the way", {"a", "link", "leaf"}, false, false, {}},
      {"a link on the way, creating", {"a", "link", "x", "leaf"}, true, false, {}},
      {"missing folders", {"a", "new", "deeper", "leaf"}, false, false, {}},
      {"missing folders, creating", {"a", "new", "deeper", "leaf"}, true, true, {"new", "deeper"}},
      {"nothing", {}, true, false, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    made.clear();
    auto parent = linksafe::openParent(root, c.parts, c.create ? creating : linksafe::OpenOptions{});
    EXPECT_EQ(parent.has_value(), c.opened);
    EXPECT_EQ(made, c.made);
    if (!parent) continue;
    EXPECT_EQ(parent->leaf, c.parts.back());
    // The leaf is reached through the folder that was opened.
    ASSERT_EQ(::mkdirat(parent->folder.get(), parent->leaf.c_str(), 0700), 0);
    std::string full = root;
    for (const auto& part : c.parts) full += "/" + part;
    EXPECT_TRUE(fileutil::isDirectory(full));
  }
  auto names = fileutil::listDirectory(outside);
  ASSERT_TRUE(names);
  EXPECT_TRUE(names->empty());
}

}  // namespace
}  // namespace ulmora
