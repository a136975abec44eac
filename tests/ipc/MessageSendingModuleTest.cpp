#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "IpcTestSupport.h"
#include "TestTempDir.h"
#include "ipc/IpcClient.h"
#include "ipc/IpcPaths.h"
#include "ipc/IpcSocket.h"
#include "ipc/MessageSendingModule.h"
#include "platform/FileUtil.h"
#include "platform/RunLoop.h"

namespace ulmora {
namespace {

using namespace std::chrono_literals;
using testing::closedByAgent;
using testing::eventually;
using testing::kPatience;
using testing::receiveMessage;
using testing::TraceCapture;

class MessageSendingModuleTest : public ::testing::Test {
 protected:
  std::unique_ptr<MessageSendingModule> makeModule(size_t capacity = 1024,
                                                   std::chrono::milliseconds timeout = 2000ms) {
    MessageSendingModule::Options options;
    options.channel = IpcChannel::kMonitor;
    options.socketPath = socketPath_;
    options.commandLoop = &loop_;
    options.commandHandler = [this](const IpcMessage& m) {
      commands_.push_back(m);
      commandThreads_.push_back(std::this_thread::get_id());
      if (commands_.size() >= commandsWanted_) loop_.stop();
    };
    options.queueCapacity = capacity;
    options.sendTimeout = timeout;
    return std::make_unique<MessageSendingModule>(std::move(options));
  }

  // A companion that is connected as far as the module is concerned.
  std::unique_ptr<IpcClient> connectPeer(MessageSendingModule& module) {
    auto client = IpcClient::connect(socketPath_);
    if (client) {
      EXPECT_TRUE(eventually([&] { return module.isPeerConnected(); }));
    }
    return client;
  }

  static IpcMessage command(int type, PropertyList payload = "") {
    return IpcMessage{std::move(payload), type, "status monitor", "sync agent"};
  }

  // Runs the command loop until `n` commands have been handled.
  void runUntilCommands(size_t n) {
    commandsWanted_ = n;
    if (commands_.size() < n) loop_.runFor(kPatience);
  }

  TraceCapture trace_;
  ulmora::testing::TestTempDir dir_;
  std::string socketPath_ =
      IpcPaths::channelSocketPath(dir_.path(), "tester", IpcChannel::kMonitor);
  RunLoop loop_;
  std::vector<IpcMessage> commands_;
  std::vector<std::thread::id> commandThreads_;
  size_t commandsWanted_ = 1;
};

TEST_F(MessageSendingModuleTest, QueuedMessagesArriveInOrderWithNames) {
  auto module = makeModule();
  ASSERT_TRUE(module->isListening());
  auto peer = connectPeer(*module);
  ASSERT_TRUE(peer);
  constexpr int kCount = 300;
  for (int i = 0; i < kCount; ++i) {
    if (i % 2) {
      module->sendIPCMessage("status " + std::to_string(i), 500, false);
    } else {
      module->sendIPCMessage(std::vector<std::string>{"/p", std::to_string(i)}, 5, false);
    }
  }
  for (int i = 0; i < kCount; ++i) {
    std::optional<IpcMessage> m = receiveMessage(*peer);
    ASSERT_TRUE(m) << "message " << i;
    const PropertyList expected = (i % 2) ? PropertyList("status " + std::to_string(i))
                                          : IpcMessage::payloadFromTexts({"/p", std::to_string(i)});
    EXPECT_EQ(m->payload, expected) << "message " << i;
    EXPECT_EQ(m->sender, "sync agent");
    EXPECT_EQ(m->receiver, "status monitor");
  }
}

TEST_F(MessageSendingModuleTest, ThreadedMessagesAllArrive) {
  auto module = makeModule();
  auto peer = connectPeer(*module);
  ASSERT_TRUE(peer);
  std::set<std::string> sent;
  for (int i = 0; i < 40; ++i) {
    sent.insert(std::to_string(i));
    module->sendIPCMessage(std::vector<std::string>{std::to_string(i)}, 1, true);
  }
  std::set<std::string> received;
  for (int i = 0; i < 40; ++i) {
    std::optional<IpcMessage> m = receiveMessage(*peer);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->type, 1);
    received.insert(*(*m->payload.asArray())[0].asString());
  }
  // Frames from concurrent threads never interleave: each parsed whole.
  EXPECT_EQ(received, sent);
}

TEST_F(MessageSendingModuleTest, AbsentPeerDropsWithOneTraceAndLaterPeerGetsOnlyNewMessages) {
  auto module = makeModule();
  for (int i = 0; i < 20; ++i) {
    module->sendIPCMessage("before", 500, false);
    module->sendIPCMessage("before", 1, true);
  }
  EXPECT_EQ(trace_.count("status monitor is not connected"), 1u);
  EXPECT_EQ(module->queuedMessageCount(), 0u);

  auto peer = connectPeer(*module);
  ASSERT_TRUE(peer);
  EXPECT_TRUE(trace_.waitFor("40 messages were dropped while it was away"));
  module->sendIPCMessage("after", 300, false);
  std::optional<IpcMessage> m = receiveMessage(*peer);
  ASSERT_TRUE(m);
  EXPECT_EQ(m->payload, PropertyList("after"));
  EXPECT_FALSE(peer->receive(50ms));
}

TEST_F(MessageSendingModuleTest, RestartedPeerTakesOverTheChannel) {
  auto module = makeModule();
  auto first = connectPeer(*module);
  ASSERT_TRUE(first);
  module->sendIPCMessage("one", 500, false);
  ASSERT_TRUE(receiveMessage(*first));

  // Gone without a word, as a crashed companion.
  first.reset();
  ASSERT_TRUE(eventually([&] { return !module->isPeerConnected(); }));
  module->sendIPCMessage("lost", 500, false);

  auto second = connectPeer(*module);
  ASSERT_TRUE(second);
  module->sendIPCMessage("two", 500, false);
  std::optional<IpcMessage> m = receiveMessage(*second);
  ASSERT_TRUE(m);
  EXPECT_EQ(m->payload, PropertyList("two"));

  // A new connection while the old one is open replaces it.
  auto third = IpcClient::connect(socketPath_);
  ASSERT_TRUE(third);
  EXPECT_TRUE(closedByAgent(*second));
  module->sendIPCMessage("three", 500, false);
  m = receiveMessage(*third);
  ASSERT_TRUE(m);
  EXPECT_EQ(m->payload, PropertyList("three"));
}

TEST_F(MessageSendingModuleTest, EveryConnectionIsGreetedBeforeItsCommands) {
  auto module = makeModule();
  std::vector<std::string> events;
  module->setCommandHandler([&](const IpcMessage& m) {
    events.push_back("command " + *m.payload.asString());
    loop_.stop();
  });
  module->setConnectionHandler([&] {
    events.push_back("greet");
    module->sendIPCMessage("hello", 700, false);  // reaches the new connection
  });
  struct Step {
    const char* name;
    bool dropPrevious;  // false: the new one replaces a connection still open
  };
  const Step steps[] = {{"first", true}, {"replacement", false}, {"after a crash", true}};
  std::unique_ptr<IpcClient> previous;
  for (const Step& step : steps) {
    SCOPED_TRACE(step.name);
    if (step.dropPrevious) previous.reset();
    auto peer = IpcClient::connect(socketPath_);
    ASSERT_TRUE(peer);
    ASSERT_TRUE(peer->send(command(48, step.name).toPropertyList()));
    events.clear();
    loop_.runFor(kPatience);
    EXPECT_EQ(events, (std::vector<std::string>{"greet", std::string("command ") + step.name}));
    std::optional<IpcMessage> hello = receiveMessage(*peer);
    ASSERT_TRUE(hello);
    EXPECT_EQ(hello->payload, PropertyList("hello"));
    if (previous) {
      EXPECT_TRUE(closedByAgent(*previous));
    }
    previous = std::move(peer);
  }
}

TEST_F(MessageSendingModuleTest, BadFramesCloseOnlyThatConnection) {
  auto header = [](uint32_t n) {
    return std::string{static_cast<char>(n >> 24), static_cast<char>(n >> 16),
                       static_cast<char>(n >> 8), static_cast<char>(n)};
  };
  struct Case {
    const char* name;
    std::string bytes;
    const char* traced;
  };
  const std::vector<Case> cases = {
      {"oversized", header(IpcFrame::kMaxBodyBytes + 1), "a frame over 16 MiB"},
      {"garbage", header(9) + "not plist", "a frame that does not parse"},
      {"not a message", *IpcFrame::encode(PropertyList::Array{"p", "x", "s", "r"}),
       "a frame that is not a message"},
  };
  auto module = makeModule();
  for (const Case& c : cases) {
    auto bad = connectPeer(*module);
    ASSERT_TRUE(bad) << c.name;
    ASSERT_EQ(::send(bad->fd(), c.bytes.data(), c.bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(c.bytes.size()));
    EXPECT_TRUE(closedByAgent(*bad)) << c.name;
    EXPECT_TRUE(trace_.waitFor(c.traced)) << c.name;
  }
  // Still serving both ways.
  auto good = connectPeer(*module);
  ASSERT_TRUE(good);
  module->sendIPCMessage("fine", 500, false);
  ASSERT_TRUE(receiveMessage(*good));
  ASSERT_TRUE(good->send(command(502).toPropertyList()));
  runUntilCommands(1);
  ASSERT_EQ(commands_.size(), 1u);
  EXPECT_EQ(commands_[0].type, 502);
}

TEST_F(MessageSendingModuleTest, CommandsRunOnTheCommandLoopEvenWhenThePeerHangsUpAtOnce) {
  auto module = makeModule();
  auto peer = connectPeer(*module);
  ASSERT_TRUE(peer);
  ASSERT_TRUE(peer->send(command(502).toPropertyList()));
  ASSERT_TRUE(peer->send(command(10, "/root/file.txt").toPropertyList()));
  ASSERT_TRUE(peer->send(command(503).toPropertyList()));
  peer.reset();  // a one-shot command line tool exits right after sending

  runUntilCommands(3);
  ASSERT_EQ(commands_.size(), 3u);
  EXPECT_EQ(commands_[0], command(502));
  EXPECT_EQ(commands_[1], command(10, "/root/file.txt"));
  EXPECT_EQ(commands_[2], command(503));
  for (std::thread::id id : commandThreads_) EXPECT_EQ(id, std::this_thread::get_id());
}

TEST_F(MessageSendingModuleTest, FullQueueDropsTheOldestWithoutBlockingTheCaller) {
  auto module = makeModule(/*capacity=*/3, /*timeout=*/std::chrono::milliseconds(kPatience));
  auto peer = connectPeer(*module);
  ASSERT_TRUE(peer);
  // Far more than the socket buffers hold: the sending thread stays inside
  // this frame while the peer does not read.
  module->sendIPCMessage(std::string(4 << 20, 'x'), 900, false);
  ASSERT_TRUE(eventually([&] { return module->queuedMessageCount() == 0; }));
  for (int type = 1; type <= 6; ++type) module->sendIPCMessage("", type, false);
  EXPECT_EQ(module->queuedMessageCount(), 3u);
  EXPECT_EQ(trace_.count("send queue to the status monitor is full"), 3u);

  std::vector<int> types;
  while (types.size() < 4) {
    std::optional<IpcMessage> m = receiveMessage(*peer);
    ASSERT_TRUE(m);
    types.push_back(m->type);
  }
  EXPECT_EQ(types, (std::vector<int>{900, 4, 5, 6}));
}

TEST_F(MessageSendingModuleTest, ThreadedMessagesToASlowPeerQueueBeyondTheThreadLimit) {
  auto module = makeModule(1024, std::chrono::milliseconds(kPatience));
  auto peer = connectPeer(*module);
  ASSERT_TRUE(peer);
  module->sendIPCMessage(std::string(4 << 20, 'x'), 900, false);
  // Once its first bytes are out, the frame holds the connection until the
  // peer reads.
  pollfd started{peer->fd(), POLLIN, 0};
  ASSERT_EQ(::poll(&started, 1, 10000), 1);
  for (int i = 0; i < 70; ++i) module->sendIPCMessage("", 1, true);
  EXPECT_EQ(module->queuedMessageCount(), 6u);
  int received = 0;
  while (received < 71 && receiveMessage(*peer)) ++received;
  EXPECT_EQ(received, 71);
}

TEST_F(MessageSendingModuleTest, StuckPeerIsCutOffAfterTheTimeout) {
  auto module = makeModule(1024, /*timeout=*/200ms);
  auto peer = connectPeer(*module);
  ASSERT_TRUE(peer);
  module->sendIPCMessage(std::string(4 << 20, 'x'), 900, false);
  EXPECT_TRUE(trace_.waitFor("did not read message type 900 in time"));
  EXPECT_TRUE(eventually([&] { return !module->isPeerConnected(); }));
}

TEST_F(MessageSendingModuleTest, StopSendsWhatIsQueuedJoinsAndRemovesTheSocket) {
  auto module = makeModule();
  auto peer = connectPeer(*module);
  ASSERT_TRUE(peer);
  for (int i = 0; i < 100; ++i) {
    module->sendIPCMessage(std::to_string(i), 500, false);
    module->sendIPCMessage(std::to_string(i), 1, true);
  }
  module.reset();
  int received = 0;
  while (receiveMessage(*peer, 2s)) ++received;
  EXPECT_EQ(received, 200);
  EXPECT_FALSE(peer->isOpen());
  EXPECT_FALSE(fileutil::exists(socketPath_));
}

TEST_F(MessageSendingModuleTest, SocketFileLeftBehindIsReplacedButALiveOneOrAFileIsNot) {
  {
    // A listener that went away without removing its socket (a crash).
    auto crashed = ipcsocket::listenOn(socketPath_);
    ASSERT_TRUE(crashed);
  }
  ASSERT_TRUE(fileutil::exists(socketPath_));
  auto module = makeModule();
  EXPECT_TRUE(module->isListening());

  auto second = makeModule();
  EXPECT_FALSE(second->isListening());
  EXPECT_TRUE(trace_.waitFor("another process already listens"));
  second.reset();  // must not remove the first one's socket
  auto peer = connectPeer(*module);
  ASSERT_TRUE(peer);
  module.reset();

  const std::string file = dir_.writeFile("monitor-tester.sock", "user data");
  ASSERT_EQ(file, socketPath_);
  auto third = makeModule();
  EXPECT_FALSE(third->isListening());
  EXPECT_EQ(fileutil::readFile(file), "user data");
}

// Connects as uid 65534 and reports how the agent answered: 0 connection
// closed by the agent, 1 connect refused by the system, 2 left open.
int connectAsOtherUser(const std::string& path) {
  const pid_t pid = fork();
  if (pid == 0) {
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(3);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.c_str(), path.size());
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) _exit(1);
    pollfd p{fd, POLLIN, 0};
    char byte;
    if (poll(&p, 1, 10000) == 1 && read(fd, &byte, 1) <= 0) _exit(0);
    _exit(2);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(MessageSendingModuleTest, PeerOfAnotherUserIsRefused) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  auto module = makeModule();
  ASSERT_TRUE(module->isListening());
  struct Case {
    const char* name;
    mode_t folderMode;
    mode_t socketMode;
    int expected;
  };
  // Owner-only modes keep the other user out already; with them loosened
  // the peer-uid check must still refuse it.
  const std::vector<Case> cases = {
      {"owner-only", 0700, 0600, 1},
      {"loosened", 0711, 0666, 0},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(chmod(dir_.path().c_str(), c.folderMode), 0);
    ASSERT_EQ(chmod(socketPath_.c_str(), c.socketMode), 0);
    EXPECT_EQ(connectAsOtherUser(socketPath_), c.expected) << c.name;
  }
  EXPECT_TRUE(trace_.waitFor("from uid 65534 (not the running user)"));
  EXPECT_FALSE(module->isPeerConnected());
  auto peer = connectPeer(*module);
  EXPECT_TRUE(peer);
}

}  // namespace
}  // namespace ulmora
