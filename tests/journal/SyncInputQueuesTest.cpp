// The ordered containers behind the sync input queues: first arrival fixes
// the order, a later value wins, and entries put back go ahead of newer ones.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "journal/RenameEntry.h"
#include "journal/SyncInputQueues.h"

namespace ulmora::testing {
namespace {

using Entries = std::vector<OrderedDict::Entry>;

TEST(OrderedDictTest, OrderOfFirstArrivalAndTheLatestValue) {
  struct Case {
    const char* name;
    Entries merged;
    Entries expected;
  } cases[] = {
      {"distinct keys keep arrival order",
       {{"/b", "1"}, {"/a", "2"}, {"/c", "3"}},
       {{"/b", "1"}, {"/a", "2"}, {"/c", "3"}}},
      {"a repeated key keeps its place and takes the new value",
       {{"/a", "old"}, {"/b", "1"}, {"/a", "new"}},
       {{"/a", "new"}, {"/b", "1"}}},
      {"keys differing only in bytes after a common prefix stay apart",
       {{"/dir/file", "1"}, {"/dir/file2", "2"}, {"/dir/fil", "3"}, {"", "4"}, {"/dir/file", "5"}},
       {{"/dir/file", "5"}, {"/dir/file2", "2"}, {"/dir/fil", "3"}, {"", "4"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    OrderedDict dict;
    for (const auto& [k, v] : c.merged) dict.merge(k, v);
    EXPECT_EQ(dict.items(), c.expected);
    EXPECT_EQ(dict.take(), c.expected);
    EXPECT_TRUE(dict.empty());
    // Taking forgets the keys too: the same key arrives as new.
    dict.merge("/a", "again");
    EXPECT_EQ(dict.items(), (Entries{{"/a", "again"}}));
  }
}

TEST(OrderedDictTest, PutBackGoesFirstAndNewerValuesWin) {
  OrderedDict dict;
  dict.merge("/a", "1");
  dict.merge("/b", "1");
  Entries taken = dict.take();
  // While the taken entries were being written, more arrived.
  dict.merge("/c", "2");
  dict.merge("/b", "2");
  dict.putBack(std::move(taken));
  EXPECT_EQ(dict.items(), (Entries{{"/a", "1"}, {"/b", "2"}, {"/c", "2"}}));
  dict.merge("/a", "3");
  EXPECT_EQ(dict.size(), 3u);
  EXPECT_EQ(dict.items().front(), (OrderedDict::Entry{"/a", "3"}));
}

// Enough keys for the index to grow many times over.
TEST(OrderedDictTest, ManyKeysEachFoundAgain) {
  OrderedDict dict;
  constexpr int kKeys = 20000;
  for (int i = 0; i < kKeys; ++i) dict.merge("/k" + std::to_string(i), "a");
  for (int i = kKeys - 1; i >= 0; i -= 2) dict.merge("/k" + std::to_string(i), "b");
  ASSERT_EQ(dict.size(), static_cast<std::size_t>(kKeys));
  for (int i = 0; i < kKeys; ++i) {
    const auto& [key, value] = dict.items()[static_cast<std::size_t>(i)];
    ASSERT_EQ(key, "/k" + std::to_string(i));
    ASSERT_EQ(value, i % 2 ? "b" : "a");
  }
}

// Each value is held once, so a repeated one is found again by its content
// alone, whatever came between; taken values go back ahead of newer ones,
// and a value queued again meanwhile keeps its newer place.
TEST(OrderedSetTest, FirstArrivalOrderRepeatsCollapsePutBackGoesFirst) {
  using Paths = std::vector<std::string>;
  struct Case {
    const char* name;
    Paths before, arrived, expected;
  } cases[] = {
      {"put back ahead of newer values", {"/a", "/b"}, {"/c"}, {"/a", "/b", "/c"}},
      {"a value queued again keeps its newer place", {"/a", "/b"}, {"/c", "/a"}, {"/b", "/c", "/a"}},
      {"repeats among the older values collapse", {"/a", "/a", "/b"}, {}, {"/a", "/b"}},
      {"names differing only after a common prefix stay apart", {"/d/f", "/d/f2"}, {"/d/fi", "/d/f"},
       {"/d/f2", "/d/fi", "/d/f"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    OrderedSet<std::string> set;
    for (const auto& v : c.arrived) EXPECT_TRUE(set.add(v));
    set.putBack(c.before);
    EXPECT_EQ(set.items(), c.expected);
    for (const auto& v : c.expected) EXPECT_FALSE(set.add(v)) << v;
    EXPECT_TRUE(set.add("/new"));
    EXPECT_EQ(set.size(), c.expected.size() + 1);
  }
  OrderedSet<RenameEntry> renames;
  EXPECT_TRUE(renames.add({"/a", "/b"}));
  EXPECT_TRUE(renames.add({"/b", "/a"}));
  EXPECT_FALSE(renames.add({"/a", "/b"}));
  renames.putBack({{"/x", "/y"}, {"/b", "/a"}});
  EXPECT_EQ(renames.items(), (std::vector<RenameEntry>{{"/x", "/y"}, {"/a", "/b"}, {"/b", "/a"}}));
}

}  // namespace
}  // namespace ulmora::testing
