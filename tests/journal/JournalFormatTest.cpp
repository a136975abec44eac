#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "journal/JournalFormat.h"
#include "journal/SyncRootPath.h"

namespace ulmora::journal {
namespace {

TEST(JournalFormatTest, SkipRules) {
  struct Case {
    const char* name;
    bool reader;   // skipped by readFileFor
    bool pending;  // skipped by the event reader and the pending checks
  };
  const Case cases[] = {
      {"2020-01-01 00-00-00-000_backup", false, false},
      {"2020-01-01 00-00-00-000_backup.delete", true, true},
      {"2020-01-01 00-00-00-000.progress", true, true},
      {".2020-01-01 00-00-00-000.aB12cd.progress", true, true},
      {"2020-01-01 00-00-00-000.Progress", false, false},  // a complete file: read it
      {"2020-01-01 00-00-00-000_delete.read", false, true},
      {".DS_Store", true, true},
      {".DS_Store2", false, false},
      {"x.deleted", false, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(isSkipped(c.name, SkipRule::kReader), c.reader) << c.name;
    EXPECT_EQ(isSkipped(c.name, SkipRule::kPendingCheck), c.pending) << c.name;
  }
}

TEST(JournalFormatTest, JournalOrderIsStampOrderWithNumericChunks) {
  const std::vector<std::string> expected = {
      "2019-12-31 23-59-59-999_delete",
      "2020-01-01 00-00-00-000_2",
      "2020-01-01 00-00-00-000_10",
      "2020-01-01 00-00-00-000_backup",
      "2020-01-01 00-00-00-001",
      "2020-01-01 00-00-00-001_rename",
      "2021-01-01 00-00-00-000_createdir",
      "a-file-without-stamp",
  };
  std::vector<std::string> names = expected;
  std::mt19937 rng(7);
  for (int round = 0; round < 20; ++round) {
    std::shuffle(names.begin(), names.end(), rng);
    sortJournalNames(names);
    ASSERT_EQ(names, expected);
  }
}

TEST(JournalFormatTest, EventTypeIsTheWordTheNameEndsWith) {
  EXPECT_EQ(eventTypeOf("2020-01-01 00-00-00-000_delete"), kEventDelete);
  EXPECT_EQ(eventTypeOf("2020-01-01 00-00-00-000_rename"), kEventRename);
  EXPECT_EQ(eventTypeOf("2020-01-01 00-00-00-000_createdir"), kEventCreateFolder);
  EXPECT_EQ(eventTypeOf("2020-01-01 00-00-00-000"), std::nullopt);
  EXPECT_EQ(eventTypeOf("2020-01-01 00-00-00-000_delete.Progress"), std::nullopt);
}

TEST(JournalFormatTest, TextListRoundTripNeverYieldsAnEmptyEntry) {
  struct Case {
    std::string contents;
    std::vector<std::string> entries;
  };
  const Case cases[] = {
      {"", {}},
      {"\n", {}},
      {"/a", {"/a"}},
      {"/a\n/b", {"/a", "/b"}},
      {"/a\n\n/b\n", {"/a", "/b"}},
      {"/with blank\n/\xff\xfe-not-utf8", {"/with blank", "/\xff\xfe-not-utf8"}},
  };
  for (const auto& c : cases) EXPECT_EQ(splitTextList(c.contents), c.entries) << c.contents;
  std::vector<std::string> entries = {"/x", "/y z", "/\xc3\xa9"};
  EXPECT_EQ(joinTextList(entries), "/x\n/y z\n/\xc3\xa9");
  EXPECT_EQ(splitTextList(joinTextList(entries)), entries);
}

TEST(JournalFormatTest, WhatEachFormCanCarry) {
  EXPECT_TRUE(canCarryInTextList("/a b/\xff"));
  EXPECT_FALSE(canCarryInTextList("/a\nb"));
  EXPECT_FALSE(canCarryInTextList(std::string("/a\0b", 4)));
  EXPECT_TRUE(canCarryInPropertyList("/caf\xc3\xa9/\xe2\x82\xac\tx\ny"));
  EXPECT_FALSE(canCarryInPropertyList("/\xff"));
  EXPECT_FALSE(canCarryInPropertyList("/\x01"));
  EXPECT_FALSE(canCarryInPropertyList("/\xc0\xaf"));  // overlong "/"
  EXPECT_FALSE(canCarryInPropertyList("/\xed\xa0\x80"));  // surrogate
}

TEST(SyncRootPathTest, WholeComponents) {
  struct Case {
    const char* root;
    const char* path;
    const char* relative;
    const char* full;
  };
  const Case cases[] = {
      {"/h/Sync", "/h/Sync/a.txt", "/a.txt", "/h/Sync/a.txt"},
      {"/h/Sync/", "/h/Sync/a/b", "/a/b", "/h/Sync/a/b"},
      {"/h/Sync", "/h/Sync", "", "/h/Sync"},
      {"/h/Sync", "/h/Sync/", "", "/h/Sync/"},
      {"/h/Sync", "/h/Sync2/x", "/h/Sync2/x", "/h/Sync/h/Sync2/x"},
      {"/h/Sync", "/a.txt", "/a.txt", "/h/Sync/a.txt"},
      {"/h/Sync", "a.txt", "a.txt", "/h/Sync/a.txt"},
      {"", "/h/Sync/a", "/h/Sync/a", "/h/Sync/a"},
  };
  for (const auto& c : cases) {
    SyncRootPath root(c.root);
    EXPECT_EQ(root.relative(c.path), c.relative) << c.root << " " << c.path;
    EXPECT_EQ(root.full(c.path), c.full) << c.root << " " << c.path;
  }
  EXPECT_TRUE(SyncRootPath("/h/Sync").isRoot("/h/Sync/"));
  EXPECT_FALSE(SyncRootPath("/h/Sync").isFullPath("/h/Syncing"));
}

}  // namespace
}  // namespace ulmora::journal
