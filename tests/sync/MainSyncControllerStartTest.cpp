#include <gtest/gtest.h>

#include "ipc/IpcMessageTypes.h"
#include "sync/SyncTestSupport.h"

namespace ulmora {
namespace {

using testing::SyncFixture;

TEST(MainSyncControllerStartTest, TellsTheFileManagerTheRootTwiceTwoSecondsApart) {
  SyncFixture f;
  MainSyncController& c = f.make();
  c.startSync();
  EXPECT_EQ(f.owner.finder->types(), std::vector<int>{messagetype::kFinderSyncRoot});
  f.advance(std::chrono::milliseconds(1999));
  EXPECT_EQ(f.owner.finder->types(), std::vector<int>{messagetype::kFinderSyncRoot});
  f.advance(std::chrono::milliseconds(1));
  const std::vector<std::pair<int, std::string>> expected = {
      {messagetype::kFinderSyncRoot, f.root}, {messagetype::kFinderSyncRootAgain, f.root}};
  EXPECT_EQ(f.owner.finder->sent(), expected);
}

}  // namespace
}  // namespace ulmora
