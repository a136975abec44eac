#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <memory>
#include <string>
#include <vector>

#include "IpcTestSupport.h"
#include "TestTempDir.h"
#include "ipc/BusNotification.h"
#include "ipc/IpcClient.h"
#include "ipc/IpcPaths.h"
#include "ipc/NotificationBus.h"

namespace ulmora {
namespace {

using namespace std::chrono_literals;
using testing::closedByAgent;
using testing::eventually;
using testing::TraceCapture;

class NotificationBusTest : public ::testing::Test {
 protected:
  std::unique_ptr<NotificationBus> makeBus() {
    return std::make_unique<NotificationBus>(NotificationBus::Options{path_});
  }

  std::vector<std::unique_ptr<IpcClient>> subscribe(NotificationBus& bus, size_t n) {
    std::vector<std::unique_ptr<IpcClient>> clients;
    for (size_t i = 0; i < n; ++i) clients.push_back(IpcClient::connect(path_));
    EXPECT_TRUE(eventually([&] { return bus.subscriberCount() == n; }));
    return clients;
  }

  static std::optional<BusNotification> next(
      IpcClient& client, std::chrono::milliseconds timeout = testing::kPatience) {
    std::optional<PropertyList> frame = client.receive(timeout);
    if (!frame) return std::nullopt;
    return BusNotification::fromPropertyList(*frame);
  }

  static PropertyList syncList(std::vector<std::string> paths) {
    PropertyList info;
    info.set("syncList", PropertyList(PropertyList::Array(paths.begin(), paths.end())));
    return info;
  }

  TraceCapture trace_;
  ulmora::testing::TestTempDir dir_;
  std::string path_ = IpcPaths::busSocketPath(dir_.path(), "tester");
};

TEST_F(NotificationBusTest, EveryPostReachesEverySubscriberInOrder) {
  auto bus = makeBus();
  ASSERT_TRUE(bus->isListening());
  bus->post("IconOverlayStatus", {});  // nobody listens yet: simply gone
  auto clients = subscribe(*bus, 2);
  bus->post("FilessyncListGot", syncList({"/home/u/UlmoraSync/a"}));
  bus->post("FilesInsyncListGot", syncList({}));
  for (auto& client : clients) {
    std::optional<BusNotification> first = next(*client);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->name, "FilessyncListGot");
    EXPECT_EQ(first->userInfo, syncList({"/home/u/UlmoraSync/a"}));
    std::optional<BusNotification> second = next(*client);
    ASSERT_TRUE(second);
    EXPECT_EQ(second->name, "FilesInsyncListGot");
    EXPECT_FALSE(client->receive(20ms));
  }
}

TEST_F(NotificationBusTest, MisbehavingSubscriberIsDroppedOthersKeepReceiving) {
  auto bus = makeBus();
  auto clients = subscribe(*bus, 3);
  const std::string garbage = std::string("\0\0\0\4oops", 8);
  ASSERT_EQ(::send(clients[0]->fd(), garbage.data(), garbage.size(), MSG_NOSIGNAL), 8);
  EXPECT_TRUE(closedByAgent(*clients[0]));
  EXPECT_TRUE(trace_.waitFor("closed a bus subscriber: a frame that does not parse"));
  clients[1].reset();  // left without a word
  ASSERT_TRUE(eventually([&] { return bus->subscriberCount() == 1; }));

  bus->post("IconOverlayStatus", {});
  std::optional<BusNotification> n = next(*clients[2]);
  ASSERT_TRUE(n);
  EXPECT_EQ(n->name, "IconOverlayStatus");
  EXPECT_TRUE(n->userInfo.isDict());
}

TEST_F(NotificationBusTest, UserInfoThatIsNotADictionaryIsNotPosted) {
  auto bus = makeBus();
  auto clients = subscribe(*bus, 1);
  bus->post("FilessyncListGot", PropertyList::Array{"/a"});
  EXPECT_EQ(trace_.count("not a dictionary"), 1u);
  bus->post("Marker", {});
  std::optional<BusNotification> n = next(*clients[0]);
  ASSERT_TRUE(n);
  EXPECT_EQ(n->name, "Marker");
}

// Fills the socket buffers of `client` (which does not read) with one large
// notification so that whatever is posted next waits in its outbox.
void stallBehindBigNotification(NotificationBus& bus, IpcClient& client) {
  PropertyList bigInfo;
  bigInfo.set("blob", std::string(2 << 20, 'x'));
  bus.post("Big", bigInfo);
  pollfd started{client.fd(), POLLIN, 0};
  ASSERT_EQ(::poll(&started, 1, 10000), 1);
}

TEST_F(NotificationBusTest, SubscriberThatFallsBehindIsClosedOthersKeepReceiving) {
  struct Case {
    const char* what;
    size_t maxFrames;
    size_t maxBytes;
  };
  const Case cases[] = {
      {"frame bound", 4, 64u << 20},
      // The big frame itself is over the byte bound: alone in an empty outbox
      // it is still sent, but nothing may queue behind it.
      {"byte bound", 256, 1u << 20},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    NotificationBus bus(NotificationBus::Options{path_, c.maxFrames, c.maxBytes, 64});
    auto clients = subscribe(bus, 2);
    // clients[1] reads everything as it comes.
    stallBehindBigNotification(bus, *clients[0]);
    ASSERT_TRUE(next(*clients[1]));
    for (int i = 0; i < 10; ++i) {
      bus.post("N" + std::to_string(i), {});
      std::optional<BusNotification> n = next(*clients[1]);
      ASSERT_TRUE(n);
      EXPECT_EQ(n->name, "N" + std::to_string(i));
    }
    EXPECT_EQ(trace_.count("closed a bus subscriber that fell behind"), 1u);
    ASSERT_TRUE(eventually([&] { return bus.subscriberCount() == 1; }));
    EXPECT_EQ(bus.queuedBytes(), 0u);
    EXPECT_TRUE(closedByAgent(*clients[0]));
    bus.stop();
    trace_.clear();
  }
}

TEST_F(NotificationBusTest, SubscribersBeyondTheBoundAreTurnedAway) {
  NotificationBus bus(NotificationBus::Options{path_, 256, 8u << 20, 3});
  auto clients = subscribe(bus, 3);
  auto extra = IpcClient::connect(path_);
  ASSERT_TRUE(extra);
  EXPECT_TRUE(closedByAgent(*extra));
  EXPECT_TRUE(trace_.waitFor("turned away 1 connection"));
  EXPECT_EQ(bus.subscriberCount(), 3u);
  clients[0].reset();
  ASSERT_TRUE(eventually([&] { return bus.subscriberCount() == 2; }));
  auto late = IpcClient::connect(path_);
  ASSERT_TRUE(eventually([&] { return bus.subscriberCount() == 3; }));
  bus.post("Marker", {});
  std::optional<BusNotification> n = next(*late);
  ASSERT_TRUE(n);
  EXPECT_EQ(n->name, "Marker");
}

TEST_F(NotificationBusTest, NothingIsQueuedWithoutSubscribers) {
  auto bus = makeBus();
  EXPECT_FALSE(bus->hasSubscribers());
  PropertyList bigInfo;
  bigInfo.set("blob", std::string(1 << 20, 'x'));
  bus->post("Big", bigInfo);
  EXPECT_EQ(bus->queuedBytes(), 0u);
  auto clients = subscribe(*bus, 1);
  EXPECT_TRUE(bus->hasSubscribers());
  // Posted before it subscribed: never seen.
  bus->post("Marker", {});
  std::optional<BusNotification> n = next(*clients[0]);
  ASSERT_TRUE(n);
  EXPECT_EQ(n->name, "Marker");
}

}  // namespace
}  // namespace ulmora
