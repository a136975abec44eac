#include "session/AccountSyncFilesHost.h"

#include <gtest/gtest.h>

#include <memory>

#include "SessionTestSupport.h"
#include "ipc/IpcClient.h"
#include "ipc/IpcMessage.h"
#include "ipc/MessageSendingModule.h"
#include "journal/CompanionMessenger.h"
#include "session/UMSSharedInstanceManager.h"

namespace ulmora {
namespace {

constexpr const char* kUser = "ann";

class HostTest : public ::testing::Test {
 protected:
  std::unique_ptr<MessageSendingModule> channel(IpcChannel which, const std::string& socket) {
    MessageSendingModule::Options o;
    o.channel = which;
    o.socketPath = socket.empty() ? std::string() : dir.sub(socket);
    o.commandLoop = &loop;
    return std::make_unique<MessageSendingModule>(std::move(o));
  }

  testing::TestTempDir dir;
  RunLoop loop;
  UMSSharedInstanceManager registry;
  AccountSyncFilesHost host{"/home/ann/Sync", registry, kUser};
};

TEST_F(HostTest, ChannelsOnlyWhileTheAccountIsActiveAndTheyAreRegistered) {
  auto finder = channel(IpcChannel::kFinder, "");
  auto monitor = channel(IpcChannel::kMonitor, "");
  struct Case {
    const char* name;
    bool active;
    bool finderRegistered;
    bool monitorRegistered;
  } cases[] = {
      {"inactive with both channels", false, true, true},
      {"inactive without channels", false, false, false},
      {"active with both channels", true, true, true},
      {"active with the monitor only", true, false, true},
      {"active without channels", true, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    registry.setFinderMessenger(c.finderRegistered ? finder.get() : nullptr, kUser);
    registry.setMonitorMessenger(c.monitorRegistered ? monitor.get() : nullptr, kUser);
    host.setActive(c.active);
    EXPECT_EQ(host.finderMessenger() != nullptr, c.active && c.finderRegistered);
    EXPECT_EQ(host.monitorMessenger() != nullptr, c.active && c.monitorRegistered);
    // Journals are written whether or not the companions may be told.
    EXPECT_EQ(host.syncRootPath(), "/home/ann/Sync");
  }
}

TEST_F(HostTest, EachMessengerSendsOnItsOwnChannel) {
  auto finder = channel(IpcChannel::kFinder, "finder.sock");
  auto monitor = channel(IpcChannel::kMonitor, "monitor.sock");
  registry.setFinderMessenger(finder.get(), kUser);
  registry.setMonitorMessenger(monitor.get(), kUser);
  host.setActive(true);
  auto finderPeer = IpcClient::connect(finder->socketPath());
  auto monitorPeer = IpcClient::connect(monitor->socketPath());
  ASSERT_TRUE(finderPeer && monitorPeer);
  ASSERT_TRUE(testing::pumpUntil(
      loop, [&] { return finder->isPeerConnected() && monitor->isPeerConnected(); }));

  host.finderMessenger()->sendIPCMessage(PropertyList("to the finder"), 7, false);
  host.monitorMessenger()->sendIPCMessage(PropertyList(""), 300, false);

  struct Case {
    IpcClient* peer;
    int type;
    PropertyList payload;
  } cases[] = {{finderPeer.get(), 7, PropertyList("to the finder")},
               {monitorPeer.get(), 300, PropertyList("")}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.type);
    auto frame = c.peer->receive(std::chrono::duration_cast<std::chrono::milliseconds>(
        testing::kPatience));
    ASSERT_TRUE(frame);
    auto message = IpcMessage::fromPropertyList(*frame);
    ASSERT_TRUE(message);
    EXPECT_EQ(message->type, c.type);
    EXPECT_EQ(message->payload, c.payload);
  }
}

}  // namespace
}  // namespace ulmora
