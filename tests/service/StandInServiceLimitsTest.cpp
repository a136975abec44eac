// The stand-in service holds up against clients that send hostile bodies,
// keep many polls open or connect and say nothing.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "fakes/StandInService.h"
#include "service/FormBody.h"
#include "service/HttpsSettings.h"
#include "service/SynchronousFormPost.h"

namespace ulmora {
namespace {

using namespace std::chrono_literals;
using testing::StandInService;

HttpsResponse broadcast(const StandInService& service, const std::string& action,
                        const std::string& payload, Clock::Duration timeout = 20s) {
  return SynchronousFormPost::post(service.url("/pns/broadcast"),
                                   FormBody().add("action", action).add("payLoad", payload).text(),
                                   timeout, HttpsSettings{service.caFile(), 10s});
}

TEST(StandInServiceLimits, PayloadsTooDeepOrTooLargeAreRefusedBeforeParsing) {
  StandInService service(ULMORA_SERVICE_PATH);
  ASSERT_TRUE(service.start()) << service.why();
  struct Case {
    const char* what;
    std::string payload;
    long status;
  };
  const std::string deep = std::string(100000, '[') + std::string(100000, ']');
  const std::vector<Case> cases = {
      {"nested 100000 deep, unauthenticated", deep, 400},
      {"nested 40 deep", "{\"TOPIC\":\"t\",\"x\":" + std::string(40, '[') + std::string(40, ']') + "}",
       400},
      {"brackets inside a text do not count",
       "{\"TOPIC\":\"t\",\"x\":\"" + std::string(100, '[') + "\"}", 200},
      {"larger than 64 KiB", "{\"TOPIC\":\"t\",\"x\":\"" + std::string(70000, 'a') + "\"}", 400},
      {"an ordinary push", "{\"TOPIC\":\"t\",\"Id\":\"7\"}", 200},
  };
  for (const Case& c : cases) {
    HttpsResponse reply = broadcast(service, "push", c.payload);
    EXPECT_EQ(reply.outcome, HttpsResponse::Outcome::kCompleted) << c.what << ": " << reply.error;
    EXPECT_EQ(reply.status, c.status) << c.what;
  }
}

TEST(StandInServiceLimits, PollsBeyondTheBoundAreRefusedAndOthersStillServed) {
  std::vector<std::thread> polls;
  auto service = std::make_unique<StandInService>(ULMORA_SERVICE_PATH);
  ASSERT_TRUE(service->start({"--max-polls=2"})) << service->why();
  const std::string subscribe = "{\"TOPIC\":\"acct\"}";
  for (int i = 0; i < 2; ++i) {
    polls.emplace_back([&service, subscribe] { broadcast(*service, "subscribe", subscribe, 120s); });
  }
  // Both polls are open once a push reaches two subscribers.
  ASSERT_TRUE(testing::waitUntil(
      [&] { return broadcast(*service, "push", "{\"TOPIC\":\"acct\",\"Id\":\"probe\"}").body == "OK 2\n"; },
      20s));
  HttpsResponse third = broadcast(*service, "subscribe", subscribe);
  EXPECT_EQ(third.status, 503);
  EXPECT_NE(third.body.find("too many open polls"), std::string::npos) << third.body;
  EXPECT_TRUE(broadcast(*service, "push", "{\"TOPIC\":\"acct\"}").ok());
  service.reset();  // ends the open polls
  for (std::thread& poll : polls) poll.join();
}

TEST(StandInServiceLimits, AConnectionThatSaysNothingIsClosed) {
  StandInService service(ULMORA_SERVICE_PATH);
  ASSERT_TRUE(service.start()) << service.why();
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(fd, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(service.port()));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  pollfd p{fd, POLLIN, 0};
  ASSERT_EQ(::poll(&p, 1, 60000), 1);
  char byte;
  EXPECT_LE(::recv(fd, &byte, 1, 0), 0);  // the end, not a reply
  ::close(fd);
  EXPECT_TRUE(broadcast(service, "push", "{\"TOPIC\":\"t\"}").ok());
}

}  // namespace
}  // namespace ulmora
