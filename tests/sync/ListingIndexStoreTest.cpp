#include "sync/server/ListingIndexStore.h"

#include <gtest/gtest.h>

#include "TestTempDir.h"
#include "platform/FileUtil.h"

namespace ulmora {
namespace {

TEST(ListingIndexStoreTest, ReadsLeadingDecimalDigits) {
  struct Case {
    std::string text;
    int64_t index;
  } cases[] = {
      {"0", 0},
      {"12345", 12345},
      {"9223372036854775807", INT64_MAX},
      {"9223372036854775808", 0},  // beyond 64 bits
      {"  42\n", 42},
      {"+7", 7},
      {"17abc", 17},
      {"-5", 0},
      {"abc", 0},
      {"", 0},
      {std::string("12\0 9", 5), 12},
  };
  for (const auto& c : cases) EXPECT_EQ(ListingIndexStore::parse(c.text), c.index) << c.text;
}

TEST(ListingIndexStoreTest, WritesWholeDecimalTextAndReadsItBack) {
  testing::TestTempDir tmp;
  ListingIndexStore store(tmp.sub("indexFile.txt"));
  EXPECT_EQ(store.read(), 0);  // missing
  ASSERT_TRUE(store.write(5000000000LL));
  EXPECT_EQ(fileutil::readFile(store.path()), "5000000000");
  EXPECT_EQ(store.read(), 5000000000LL);
  ASSERT_TRUE(store.write(-3));
  EXPECT_EQ(store.read(), 0);

  ListingIndexStore fresh(tmp.sub("new/folder/indexFile.txt"));
  EXPECT_TRUE(fresh.write(9));
  EXPECT_EQ(fresh.read(), 9);
  tmp.writeFile("plain", "a file");
  ListingIndexStore unwritable(tmp.sub("plain/indexFile.txt"));
  EXPECT_FALSE(unwritable.write(9));
  // An unknown account folder never puts the file beside the process.
  ListingIndexStore relative("indexFile.txt");
  EXPECT_FALSE(relative.write(9));
  EXPECT_FALSE(fileutil::exists("indexFile.txt"));
}

TEST(ListingIndexStoreTest, IndexMovesOnlyWhenNoDownloadIsOutstanding) {
  IndexCommitFacts clear;
  clear.itemsFound = true;
  struct Case {
    const char* name;
    IndexCommitFacts facts;
    IndexCommit expected;
  } cases[] = {
      {"all clear", clear, IndexCommit::kWrite},
      {"nothing found", [&] { auto f = clear; f.itemsFound = false; return f; }(), IndexCommit::kKeepOld},
      {"download cancelled", [&] { auto f = clear; f.restoreCancelledDuringListing = true; return f; }(),
       IndexCommit::kListAgain},
      {"download running", [&] { auto f = clear; f.downloadRunning = true; return f; }(), IndexCommit::kHold},
      {"pending in journal", [&] { auto f = clear; f.downloadsPendingInJournal = true; return f; }(),
       IndexCommit::kHold},
      {"queued", [&] { auto f = clear; f.downloadsQueued = 1; return f; }(), IndexCommit::kHold},
      {"being written", [&] { auto f = clear; f.downloadsBeingWritten = 2; return f; }(), IndexCommit::kHold},
      {"last run failed", [&] { auto f = clear; f.lastDownloadRunFailed = true; return f; }(), IndexCommit::kHold},
  };
  for (const auto& c : cases) EXPECT_EQ(decideIndexCommit(c.facts), c.expected) << c.name;
}

}  // namespace
}  // namespace ulmora
