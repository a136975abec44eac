#include "session/UMSSharedInstanceManager.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace ulmora {
namespace {

// Only the addresses matter to the registry.
MessageSendingModule* fakeChannel(int n) { return reinterpret_cast<MessageSendingModule*>(0x1000 * n); }
UlmoraSyncUserController* fakeController(int n) {
  return reinterpret_cast<UlmoraSyncUserController*>(0x1000 * n);
}

TEST(UMSSharedInstanceManagerTest, ChannelsAreKeptPerConsoleUser) {
  UMSSharedInstanceManager r;
  r.setFinderMessenger(fakeChannel(1), "ann");
  r.setMonitorMessenger(fakeChannel(2), "ann");
  r.setMonitorMessenger(fakeChannel(3), "bob");
  EXPECT_EQ(r.FinderMessForCUser("ann"), fakeChannel(1));
  EXPECT_EQ(r.MonitorMessForCUser("ann"), fakeChannel(2));
  EXPECT_EQ(r.FinderMessForCUser("bob"), nullptr);
  EXPECT_EQ(r.MonitorMessForCUser("bob"), fakeChannel(3));
  EXPECT_EQ(r.MonitorMessForCUser("carl"), nullptr);
  r.removeChannels("ann");
  EXPECT_EQ(r.FinderMessForCUser("ann"), nullptr);
  EXPECT_EQ(r.MonitorMessForCUser("bob"), fakeChannel(3));
}

TEST(UMSSharedInstanceManagerTest, AccountsAreKeptPerConsoleAndSyncUser) {
  UMSSharedInstanceManager r;
  SupportFilePaths paths;
  paths.setConsoleUserName("ann");
  paths.setSyncUserName("work");
  r.setUserController(fakeController(1), "ann", "work");
  r.setSupportFilePaths(paths, "ann", "work");
  r.setUserController(fakeController(2), "ann", "home");

  struct Lookup {
    const char* console;
    const char* sync;
    UlmoraSyncUserController* controller;
    bool hasPaths;
  } cases[] = {
      {"ann", "work", fakeController(1), true},
      {"ann", "home", fakeController(2), false},
      {"bob", "work", nullptr, false},
      {"ann", "", nullptr, false},
  };
  for (const Lookup& c : cases) {
    SCOPED_TRACE(std::string(c.console) + "/" + c.sync);
    EXPECT_EQ(r.userControllerForCUser(c.console, c.sync), c.controller);
    EXPECT_EQ(r.SupportFilePathsForCUser(c.console, c.sync).has_value(), c.hasPaths);
  }
  EXPECT_EQ(r.SupportFilePathsForCUser("ann", "work")->syncUserName(), "work");

  r.removeAccount("ann", "work");
  EXPECT_EQ(r.userControllerForCUser("ann", "work"), nullptr);
  EXPECT_FALSE(r.SupportFilePathsForCUser("ann", "work"));
  EXPECT_EQ(r.userControllerForCUser("ann", "home"), fakeController(2));
}

TEST(UMSSharedInstanceManagerTest, LookupsWhileOtherThreadsRegister) {
  UMSSharedInstanceManager r;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&r, t] {
      const std::string user = "user" + std::to_string(t);
      for (int i = 1; i <= 200; ++i) {
        r.setUserController(fakeController(i), user, "sync");
        r.setFinderMessenger(fakeChannel(i), user);
        EXPECT_EQ(r.userControllerForCUser(user, "sync"), fakeController(i));
        EXPECT_EQ(r.FinderMessForCUser(user), fakeChannel(i));
        (void)r.MonitorMessForCUser("user0");
      }
    });
  }
  for (auto& t : threads) t.join();
}

}  // namespace
}  // namespace ulmora
