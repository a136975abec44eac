#include "session/UMSMultipleACManager.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <thread>

#include "OffLoopCalls.h"
#include "SessionTestSupport.h"
#include "ipc/IpcClient.h"
#include "ipc/IpcMessage.h"
#include "ipc/IpcMessageTypes.h"
#include "ipc/IpcPaths.h"
#include "ipc/MessageSendingModule.h"
#include "journal/UMSDBSyncInputManger.h"
#include "foundation/QLUtility.h"
#include "platform/ManualClock.h"
#include "session/UMSSharedInstanceManager.h"

namespace ulmora {
namespace {

using ::testing::NiceMock;
using testing::MockSyncController;
using testing::pumpUntil;
using testing::RecordingSink;
using testing::TemporaryHome;
using testing::TestTempDir;
using testing::TraceLines;

class ManagerTest : public ::testing::Test {
 protected:
  ManagerTest() {
    UMSDBSyncInputManger::Options q;
    q.clock = &clock;
    queue = std::make_unique<UMSDBSyncInputManger>(q);
    UMSMultipleACManager::Options o;
    o.consoleUser = me;
    o.socketFolder = sockets.path();
    o.clock = &clock;
    o.loop = &loop;
    o.registry = &registry;
    o.inputQueue = queue.get();
    o.account.watchSyncRoot = false;
    o.account.journalSink = &sink;
    o.account.makeSyncController = [this](SyncContext ctx) {
      auto m = std::make_unique<NiceMock<MockSyncController>>();
      // As the real controller does, the start starts the input queue's writer.
      ON_CALL(*m, startSync()).WillByDefault([q = &ctx.inputQueue] { q->startDBSyncInput(false); });
      mocks.push_back(m.get());
      if (onNewMock) onNewMock(*m);
      return m;
    };
    manager = std::make_unique<UMSMultipleACManager>(std::move(o));
  }
  ~ManagerTest() override {
    manager.reset();
    queue.reset();
  }

  // One poll interval later.
  void nextPoll() {
    clock.advance(std::chrono::seconds(3));
    loop.runUntilIdle();
  }

  std::unique_ptr<IpcClient> connect(IpcChannel channel) {
    return IpcClient::connect(IpcPaths::channelSocketPath(sockets.path(), me, channel));
  }

  // Paths resolve only for the running user.
  const std::string me = QLUtility::currentConsoleUserName();
  TemporaryHome home;
  TestTempDir sockets;
  TraceLines traces;
  ManualClock clock;
  RunLoop loop{clock};
  UMSSharedInstanceManager registry;
  RecordingSink sink;
  std::unique_ptr<UMSDBSyncInputManger> queue;
  std::vector<MockSyncController*> mocks;
  std::function<void(MockSyncController&)> onNewMock;
  std::unique_ptr<UMSMultipleACManager> manager;
};

TEST_F(ManagerTest, UnusableLoginDetailsCreateNothingAndAreReadAgain) {
  manager->start();
  EXPECT_EQ(manager->accountCount(), 0u);
  EXPECT_EQ(traces.count("no sync account yet"), 1u);

  PropertyList folders(PropertyList::Dict{});
  folders.set("demo", home.sub("Sync"));
  home.writePlist(home.syncFoldersPath(), folders);
  PropertyList noName(PropertyList::Dict{});
  noName.set("UlmoraSync username", "demo");
  const std::function<void()> bad[] = {
      [&] { home.writeRaw(home.loginDetailsPath(), "not a property list"); },
      [&] { home.writePlist(home.loginDetailsPath(), noName); },
      [&] { home.logIn("demo", "relative/root"); },
  };
  for (const auto& write : bad) {
    write();
    nextPoll();
    EXPECT_EQ(manager->accountCount(), 0u);
  }
  EXPECT_EQ(traces.count("no sync account yet"), 4u);

  home.logIn("demo", home.sub("Sync"));
  nextPoll();
  ASSERT_EQ(mocks.size(), 1u);
  EXPECT_NE(manager->activeAccount(), nullptr);
  EXPECT_EQ(registry.userControllerForCUser(me, "demo"), manager->activeAccount());
  EXPECT_TRUE(fileutil::isDirectory(home.sub("Sync")));

  // Later polls, also of details that went bad, keep the one account.
  nextPoll();
  home.writeRaw(home.loginDetailsPath(), "garbage");
  nextPoll();
  EXPECT_EQ(mocks.size(), 1u);
  EXPECT_EQ(manager->accountCount(), 1u);
}

size_t threadCount() {
  return static_cast<size_t>(std::distance(std::filesystem::directory_iterator("/proc/self/task"),
                                           std::filesystem::directory_iterator()));
}

// A joined thread can stay listed under /proc/self/task for a moment after
// the join returns (the kernel reaps it a little later), so give the count a
// bounded while to come down before comparing.
size_t threadCountSettledTo(size_t expected) {
  size_t n = threadCount();
  testing::waitUntil([&] { return (n = threadCount()) <= expected; }, std::chrono::seconds(5));
  return n;
}

TEST_F(ManagerTest, AChangeOfAccountStopsTheOldOneAndAReturnRestartsIt) {
  home.logIn("demo", home.sub("Sync"));
  manager->start();
  ASSERT_EQ(mocks.size(), 1u);
  EXPECT_TRUE(queue->isDBThreadRunning());

  EXPECT_CALL(*mocks[0], stopSyncForUnlink(true));
  home.logIn("other", home.sub("Other"));
  nextPoll();
  ASSERT_EQ(mocks.size(), 2u);
  EXPECT_EQ(manager->accountCount(), 1u);
  EXPECT_EQ(registry.userControllerForCUser(me, "demo"), nullptr);
  EXPECT_TRUE(queue->isDBThreadRunning());

  EXPECT_CALL(*mocks[1], stopSyncForUnlink(true));
  home.logIn("demo", home.sub("Sync"));
  nextPoll();
  ASSERT_EQ(mocks.size(), 3u);  // built again
  EXPECT_EQ(manager->activeAccount(), registry.userControllerForCUser(me, "demo"));
  EXPECT_EQ(registry.userControllerForCUser(me, "other"), nullptr);
  // The returning account's input queue runs and takes its entries.
  EXPECT_TRUE(queue->isDBThreadRunning());
}

TEST_F(ManagerTest, SwitchingBackAndForthLeavesNoThreadsBehind) {
  home.logIn("demo", home.sub("Sync"));
  manager->start();
  home.logIn("other", home.sub("Other"));
  nextPoll();
  const size_t settled = threadCount();
  // Back and forth, and to accounts never seen before.
  for (int i = 0; i < 20; ++i) {
    const std::string name = i % 4 == 0 ? "demo" : i % 4 == 2 ? "other" : "acct" + std::to_string(i);
    home.logIn(name, home.sub(name));
    nextPoll();
    EXPECT_EQ(manager->activeAccount(), registry.userControllerForCUser(me, name));
  }
  EXPECT_EQ(manager->accountCount(), 1u);
  EXPECT_LE(threadCountSettledTo(settled), settled);
  EXPECT_TRUE(queue->isDBThreadRunning());
}

TEST_F(ManagerTest, CommandsReachTheSyncControllerOnTheCommandLoop) {
  home.logIn("demo", home.sub("Sync"));
  manager->start();
  ASSERT_EQ(mocks.size(), 1u);
  MockSyncController& sync = *mocks[0];
  auto monitor = connect(IpcChannel::kMonitor);
  ASSERT_TRUE(monitor);

  using Expect = std::function<void(MockSyncController&, std::function<void()> arrived)>;
  struct Case {
    int type;
    PropertyList payload;
    Expect expect;
  };
  const Case cases[] = {
      {48, "", [](auto& m, auto done) { EXPECT_CALL(m, startSync()).WillOnce(done); }},
      {502, "", [](auto& m, auto done) { EXPECT_CALL(m, PauseSync()).WillOnce(done); }},
      {503, "", [](auto& m, auto done) { EXPECT_CALL(m, ResumeSync()).WillOnce(done); }},
      {49, "",
       [](auto& m, auto done) {
         ::testing::InSequence order;
         EXPECT_CALL(m, UnlinkSync());
         EXPECT_CALL(m, stopSyncForUnlink(true)).WillOnce(done);
       }},
      {50, "",
       [](auto& m, auto done) {
         ::testing::InSequence order;
         EXPECT_CALL(m, UnlinkSync());
         EXPECT_CALL(m, stopSyncForUnlink(true)).WillOnce(done);
       }},
      {506, "", [](auto& m, auto done) { EXPECT_CALL(m, stopSyncForUnlink(true)).WillOnce(done); }},
      {508, "", [](auto& m, auto done) { EXPECT_CALL(m, RecalculateQuota()).WillOnce(done); }},
      {510, "", [](auto& m, auto done) { EXPECT_CALL(m, sendToolTip()).WillOnce(done); }},
      {513, "", [](auto& m, auto done) { EXPECT_CALL(m, selectiveSyncModefied()).WillOnce(done); }},
      {10, "/Sync/a.txt",
       [](auto& m, auto done) { EXPECT_CALL(m, ShowVersion("/Sync/a.txt")).WillOnce(done); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.type);
    std::atomic<bool> arrived{false};
    std::thread::id handledOn;
    c.expect(sync, [&] {
      handledOn = std::this_thread::get_id();
      arrived = true;
    });
    ASSERT_TRUE(monitor->send(IpcMessage{c.payload, c.type, "status monitor", "sync agent"}.toPropertyList()));
    ASSERT_TRUE(pumpUntil(loop, [&] { return arrived.load(); }));
    EXPECT_EQ(handledOn, std::this_thread::get_id());
    ::testing::Mock::VerifyAndClearExpectations(&sync);
  }
}

TEST_F(ManagerTest, PauseIsRecordedEchoedToTheFileManagerAndUnknownCommandsIgnored) {
  home.logIn("demo", home.sub("Sync"));
  manager->start();
  MockSyncController& sync = *mocks.at(0);
  auto monitor = connect(IpcChannel::kMonitor);
  auto finder = connect(IpcChannel::kFinder);
  ASSERT_TRUE(monitor && finder);
  // Both are greeted first.
  for (IpcClient* companion : {monitor.get(), finder.get()}) {
    std::optional<PropertyList> hello;
    ASSERT_TRUE(pumpUntil(loop, [&] { return (hello = companion->receiveNow()).has_value(); }));
    EXPECT_EQ(IpcMessage::fromPropertyList(*hello)->type, messagetype::kAgentAnnouncement);
  }
  ASSERT_TRUE(pumpUntil(loop, [&] { return traces.count("session: the status monitor connected") == 1; }));

  std::atomic<bool> pinged{false};
  EXPECT_CALL(sync, PauseSync());
  EXPECT_CALL(sync, sendToolTip()).WillOnce([&] { pinged = true; });
  monitor->send(IpcMessage{"", 999, "status monitor", "sync agent"}.toPropertyList());
  monitor->send(IpcMessage{"", 502, "status monitor", "sync agent"}.toPropertyList());
  monitor->send(IpcMessage{"", 510, "status monitor", "sync agent"}.toPropertyList());
  ASSERT_TRUE(pumpUntil(loop, [&] { return pinged.load(); }));

  EXPECT_EQ(traces.count("command type 999"), 1u);
  EXPECT_EQ(PropertyList::readFile(home.loginDetailsPath())->stringFor("Pause"), "1");
  std::optional<PropertyList> echo;
  ASSERT_TRUE(pumpUntil(loop, [&] { return (echo = finder->receiveNow()).has_value(); }));
  auto message = IpcMessage::fromPropertyList(*echo);
  ASSERT_TRUE(message);
  EXPECT_EQ(message->type, 502);
}

TEST_F(ManagerTest, CommandsWithoutAnAccountAreIgnored) {
  manager->start();
  auto monitor = connect(IpcChannel::kMonitor);
  ASSERT_TRUE(monitor);
  monitor->send(IpcMessage{"", 502, "status monitor", "sync agent"}.toPropertyList());
  ASSERT_TRUE(pumpUntil(loop, [&] { return traces.count("command type 502 ignored") == 1; }));
}

TEST_F(ManagerTest, AConnectingFileManagerIsSentTheSyncRoot) {
  home.logIn("demo", home.sub("Sync"));
  manager->start();
  MockSyncController& sync = *mocks.at(0);
  std::atomic<bool> sent{false};
  EXPECT_CALL(sync, SendPathRootSet()).WillOnce([&] { sent = true; });
  EXPECT_CALL(sync, updateIconOverlay());
  auto finder = connect(IpcChannel::kFinder);
  ASSERT_TRUE(finder);
  ASSERT_TRUE(pumpUntil(loop, [&] { return sent.load(); }));
}

TEST_F(ManagerTest, EveryConnectionOfACompanionIsToldWhichAgentServesIt) {
  manager->start();
  for (IpcChannel channel : {IpcChannel::kFinder, IpcChannel::kMonitor}) {
    // The second connection replaces the first while that is still open, as
    // a restarted companion does.
    std::vector<std::unique_ptr<IpcClient>> companions;
    for (int connection = 0; connection < 2; ++connection) {
      SCOPED_TRACE(connection);
      companions.push_back(connect(channel));
      IpcClient& companion = *companions.back();
      std::optional<IpcMessage> hello;
      ASSERT_TRUE(pumpUntil(loop, [&] {
        if (auto body = companion.receiveNow()) hello = IpcMessage::fromPropertyList(*body);
        return hello.has_value();
      }));
      EXPECT_EQ(hello->type, messagetype::kAgentAnnouncement);
      EXPECT_EQ(hello->payload, IpcMessage::payloadFromTexts(
                                    {"sync agent", me, std::to_string(getpid())}));
    }
  }
}

#ifndef NDEBUG
// The accounts and the channels belong to the loop given in the options: a
// poll or a command from any other thread stops the test at once.
TEST_F(ManagerTest, CallsFromAnotherThreadStopTheProcess) {
  testing::expectEachStopsOffItsLoop({
      {"start", [&] { manager->start(); }},
      {"poll", [&] { manager->pollLoginDetails(); }},
      {"command", [&] { manager->handleCommand(IpcMessage{"", messagetype::kPause, "status monitor", "sync agent"}); }},
      {"shutdown", [&] { manager->shutdown(); }},
  });
}
#endif

}  // namespace
}  // namespace ulmora
