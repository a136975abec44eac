#include <gtest/gtest.h>

#include "sync/control/SyncGate.h"

namespace ulmora {
namespace {

PropertyList dict(std::initializer_list<std::pair<const std::string, PropertyList>> entries) {
  return PropertyList(PropertyList::Dict(entries));
}

TEST(SyncGateTest, AnswersFromTheLoginDetailsAndTheSyncFolderList) {
  const PropertyList folders = dict({{"ann", "/home/ann/Sync"}});
  const PropertyList otherFolders = dict({{"bob", "/home/bob/Sync"}});
  const PropertyList plain = dict({{"Ulmora username", "ann"}});
  const PropertyList paused = dict({{"Ulmora username", "ann"}, {"Pause", "1"}});
  const PropertyList unlinkedAndPaused =
      dict({{"Unlink status", "YES"}, {"Pause", "1"}, {"Move in progress", "1"}});
  const PropertyList movingAndPaused = dict({{"Move in progress", true}, {"Pause", "1"}});
  const PropertyList resumed = dict({{"Pause", "0"}, {"Unlink status", "NO"}});
  struct Case {
    const char* name;
    std::optional<std::string> user;
    bool exists;
    const PropertyList* login;
    const PropertyList* folders;
    int gate;
  } cases[] = {
      {"may sync", "ann", true, &plain, &folders, syncgate::kMaySync},
      {"flags off", "ann", true, &resumed, &folders, syncgate::kMaySync},
      {"paused", "ann", true, &paused, &folders, syncgate::kPaused},
      {"unlink wins over the rest", "ann", true, &unlinkedAndPaused, &folders, syncgate::kUnlinked},
      {"a move wins over a pause", "ann", true, &movingAndPaused, &folders,
       syncgate::kMoveInProgress},
      {"no login details", "ann", false, nullptr, &folders, syncgate::kNoLoginDetails},
      {"unreadable login details", "ann", true, nullptr, &folders, syncgate::kNoLoginDetails},
      {"no sync-folder list", "ann", true, &plain, nullptr, syncgate::kNoAccount},
      {"no folder for the account", "ann", true, &plain, &otherFolders, syncgate::kNoAccount},
      {"no folder and no login details", "ann", false, nullptr, nullptr,
       syncgate::kNoLoginDetails},
      {"no name: taken from the login details", std::nullopt, true, &paused, &folders,
       syncgate::kPaused},
      {"no name anywhere", std::nullopt, true, &resumed, &folders, syncgate::kNoAccount},
      {"no name and no login details", "", false, nullptr, &folders, syncgate::kNoAccount},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    syncgate::Input in;
    in.syncUserName = c.user;
    in.loginDetailsExist = c.exists;
    in.loginDetails = c.login;
    in.syncFolders = c.folders;
    EXPECT_EQ(syncgate::shouldSync(in), c.gate);
  }
}

TEST(SyncGateTest, StartGoesOnOnlyAtZeroFourAndSeven) {
  for (int gate = -1; gate <= 8; ++gate) {
    SCOPED_TRACE(gate);
    EXPECT_EQ(syncgate::startMayProceed(gate), gate == 0 || gate == 4 || gate == 7);
  }
}

}  // namespace
}  // namespace ulmora
