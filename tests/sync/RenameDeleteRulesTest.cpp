// The pure rules of the rename and delete worker.
#include "sync/server/RenameDeleteRules.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace ulmora {
namespace {

using namespace renamedelete;

RenameEntry R(const char* a, const char* b) { return RenameEntry{a, b}; }

struct CutRow {
  const char* name;
  std::vector<RenameEntry> snapshot;
  std::vector<std::vector<RenameEntry>> batches;  // every cut until empty
};

class CutRenameBatchTable : public ::testing::TestWithParam<CutRow> {};

TEST_P(CutRenameBatchTable, DrainsInBatches) {
  std::vector<RenameEntry> collection = GetParam().snapshot;
  std::vector<std::vector<RenameEntry>> batches;
  while (!collection.empty()) {
    RenameBatch cut = cutRenameBatch(collection);
    ASSERT_FALSE(cut.taken.empty()) << "a cut must shorten the collection";
    for (auto it = cut.taken.rbegin(); it != cut.taken.rend(); ++it) collection.erase(collection.begin() + *it);
    batches.push_back(cut.batch);
    ASSERT_LE(batches.size(), GetParam().snapshot.size());
  }
  EXPECT_EQ(batches, GetParam().batches);
}

INSTANTIATE_TEST_SUITE_P(
    Cuts, CutRenameBatchTable,
    ::testing::Values(
        CutRow{"RepeatDroppedWithBatch", {R("/A", "/A2"), R("/A", "/A2"), R("/B", "/B2")},
               {{R("/A", "/A2"), R("/B", "/B2")}}},
        CutRow{"InnerRenameWaitsForFolder", {R("/X", "/Y"), R("/Y/a", "/Y/b")}, {{R("/X", "/Y")}, {R("/Y/a", "/Y/b")}}},
        CutRow{"DifferentDepths", {R("/a", "/b"), R("/c/d", "/c/e")}, {{R("/a", "/b")}, {R("/c/d", "/c/e")}}},
        CutRow{"LoopTerminates", {R("/A", "/B"), R("/B", "/A"), R("/A", "/B")},
               {{R("/A", "/B")}, {R("/B", "/A")}, {R("/A", "/B")}}},
        CutRow{"SameDepthRun", {R("/p/1", "/p/one"), R("/p/2", "/p/two"), R("/q", "/r")},
               {{R("/p/1", "/p/one"), R("/p/2", "/p/two")}, {R("/q", "/r")}}}),
    [](const auto& info) { return std::string(info.param.name); });

LocalChangeSet D(std::vector<std::string> paths) { return LocalChangeSet{"delete", std::move(paths), {}}; }
LocalChangeSet N(std::vector<RenameEntry> renames) { return LocalChangeSet{"rename", {}, std::move(renames)}; }

struct OrderRow {
  const char* name;
  std::vector<LocalChangeSet> in;
  std::vector<LocalChangeSet> out;
};

class OrderForUserTable : public ::testing::TestWithParam<OrderRow> {};

TEST_P(OrderForUserTable, DeletesFollowTheRenamesTheyUndo) { EXPECT_EQ(orderForUser(GetParam().in), GetParam().out); }

INSTANTIATE_TEST_SUITE_P(
    Orders, OrderForUserTable,
    ::testing::Values(
        OrderRow{"RenameThenDeleteOfNewName", {D({"/b"}), N({R("/a", "/b")})}, {N({R("/a", "/b")}), D({"/b"})}},
        OrderRow{"DeleteInsideRenamedFolder", {D({"/c/x", "/z"}), N({R("/a", "/c")})},
                 {D({"/z"}), N({R("/a", "/c")}), D({"/c/x"})}},
        OrderRow{"UnrelatedKeepOrder", {D({"/q"}), N({R("/a", "/b")})}, {D({"/q"}), N({R("/a", "/b")})}},
        OrderRow{"SiblingPrefixIsNotInside", {D({"/bc"}), N({R("/a", "/b")})}, {D({"/bc"}), N({R("/a", "/b")})}},
        OrderRow{"AfterTheLastMatchingRename",
                 {D({"/b"}), N({R("/a", "/b")}), N({R("/b", "/c")}), N({R("/x", "/b")})},
                 {N({R("/a", "/b")}), N({R("/b", "/c")}), N({R("/x", "/b")}), D({"/b"})}},
        OrderRow{"OtherTypesUntouched", {LocalChangeSet{"createdir", {"/n"}, {}}, D({"/n"})},
                 {LocalChangeSet{"createdir", {"/n"}, {}}, D({"/n"})}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(RenameDeleteRules, ConnectionErrorsAreTheFiveTexts) {
  for (const char* e : {"rsync: connection unexpectedly closed (0 bytes)", "read: Connection reset by peer",
                        "op timed out", "umkvt error: timeout waiting", "error in umkvt protocol data stream (code 12)"}) {
    EXPECT_TRUE(isConnectionError(e)) << e;
  }
  for (const char* e : {"", "No such file or directory", "Timed Out", "password mismatch"}) {
    EXPECT_FALSE(isConnectionError(e)) << e;
  }
}

TEST(RenameDeleteRules, EngineTextsShowTheAccountUserName) {
  EXPECT_EQ(withAccountUserName("auth failed for u123 at u123.srv", "u123", "ann@example"),
            "auth failed for ann@example at ann@example.srv");
  EXPECT_EQ(withAccountUserName("x", "", "ann"), "x");
  EXPECT_EQ(withAccountUserName("aa", "a", "aa"), "aaaa");  // no endless replacement
}

TEST(RenameDeleteRules, PathChecks) {
  EXPECT_TRUE(namesFoldersOrFiles({"/Notes", "/doc.txt"}));
  EXPECT_TRUE(namesFoldersOrFiles({"/Folder/"}));
  EXPECT_FALSE(namesFoldersOrFiles({"/Notes", "/.hidden", "/trailing."}));
  EXPECT_TRUE(isUsableRelativePath("/a/b"));
  EXPECT_FALSE(isUsableRelativePath("/a/../../etc"));
  EXPECT_FALSE(isUsableRelativePath("a/b"));
  EXPECT_FALSE(isUsableRelativePath("/"));
  EXPECT_FALSE(isUsableRelativePath(std::string("/a\0b", 4)));
  EXPECT_TRUE(isAtOrUnder("/c/x/", "/c"));
  EXPECT_FALSE(isAtOrUnder("/cx", "/c"));
  EXPECT_EQ(format("Renamed item %@ to %@", {"/a", "/b"}), "Renamed item /a to /b");
}

TEST(RenameDeleteRules, SetsReadFromTheJournalShape) {
  PropertyList set(PropertyList::Dict{});
  PropertyList::Array entries{RenameEntry{"/a", "/b"}.toPropertyList(), PropertyList("junk")};
  set.set("rename", PropertyList(entries));
  auto parsed = LocalChangeSet::fromPropertyList(set);
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->renames, (std::vector<RenameEntry>{RenameEntry{"/a", "/b"}}));
  EXPECT_FALSE(LocalChangeSet::fromPropertyList(PropertyList("rename")));
}

}  // namespace
}  // namespace ulmora
