#include <gtest/gtest.h>

#include "service/ServerPath.h"
#include "service/ServerRecord.h"

namespace ulmora::testing {
namespace {

TEST(ServerPathTest, OnlyItemsStrictlyInsideTheRootAreSafe) {
  const std::string nul("/a\0b", 4);
  const std::vector<std::pair<std::string, bool>> cases = {
      {"/a.txt", true},
      {"a.txt", true},
      {"/dir/", true},
      {"/a/b/c", true},
      {"/a..b", true},
      {"/...", true},
      {"/x/.UMSCache", true},
      {"/.UMSCacheX", true},
      {"//a", true},
      {"", false},
      {"/", false},
      {"//", false},
      {"/..", false},
      {"/a/../b", false},
      {"../a", false},
      {"/a/..", false},
      {"/./a", false},
      {"/a/.", false},
      {nul, false},
      {"/.UMSCache", false},
      {"/.UMSCache/f", false},
      {"//.UMSCache/f", false},
  };
  for (const auto& [path, safe] : cases) EXPECT_EQ(safe, serverpath::isSafeItemPath(path)) << path;
}

TEST(ServerPathTest, TraceFormCannotForgeLines) {
  EXPECT_EQ("/a\\x0a\\x09b\\x00", serverpath::forTrace(std::string("/a\n\tb\0", 6)));
  EXPECT_EQ(515u, serverpath::forTrace(std::string(2000, 'x')).size());
}

TEST(ServerRecordTest, OperationCodeAndDictionaryForm) {
  struct Case {
    std::string inTrash, fname, fnameOld, code;
  };
  const std::vector<Case> cases = {
      {"0", "/a", "", "4"},   {"0", "/a", "/b", "3"}, {"1", "/a", "", "2"},
      {"2", "/a", "/b", "2"}, {"0", "/d/", "", "4"},
  };
  for (const Case& c : cases) {
    ServerRecord r;
    r.inTrash = c.inTrash;
    r.fname = c.fname;
    r.fnameOld = c.fnameOld;
    r.refId = "17";
    EXPECT_EQ(c.code, r.operationCode()) << c.fname << " " << c.inTrash;
    EXPECT_EQ(r, ServerRecord::fromPropertyList(r.toPropertyList()));
  }
  EXPECT_FALSE(ServerRecord::fromPropertyList(PropertyList("/a")));
  EXPECT_FALSE(ServerRecord::fromPropertyList(PropertyList(PropertyList::Dict{{"fname", ""}})));
}

}  // namespace
}  // namespace ulmora::testing
