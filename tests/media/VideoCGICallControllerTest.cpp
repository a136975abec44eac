// The video-conversion request against the stand-in service.
#include "media/VideoCGICallController.h"

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>
#include <condition_variable>
#include <mutex>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "fakes/StandInService.h"

namespace ulmora {
namespace {

using namespace std::chrono_literals;
using testing::StandInService;

class CurlEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { ASSERT_EQ(curl_global_init(CURL_GLOBAL_DEFAULT), CURLE_OK); }
  void TearDown() override { curl_global_cleanup(); }
};
[[maybe_unused]] ::testing::Environment* const kCurl =
    ::testing::AddGlobalTestEnvironment(new CurlEnvironment);

// Collects the batch reports, which come from the sending thread.
class BatchLog {
 public:
  void ended(bool accepted, std::size_t files) {
    std::lock_guard<std::mutex> lock(mu_);
    batches_.push_back({accepted, files});
    cv_.notify_all();
  }
  std::vector<std::pair<bool, std::size_t>> waitFor(std::size_t count) {
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait_for(lock, 20s, [&] { return batches_.size() >= count; });
    return batches_;
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<std::pair<bool, std::size_t>> batches_;
};

std::vector<nlohmann::json> recordedRequests(const std::string& log) {
  std::vector<nlohmann::json> requests;
  std::istringstream lines(log);
  std::string line;
  while (std::getline(lines, line)) requests.push_back(nlohmann::json::parse(line));
  return requests;
}

class VideoCGICallControllerTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(service_.start()) << service_.why(); }

  VideoCGICallController::Options options(std::size_t perRequest = 200) {
    VideoCGICallController::Options o;
    o.tls = HttpsSettings{service_.caFile(), 10s};
    o.serviceHost = service_.hostAndPort();
    o.maxFilesPerRequest = perRequest;
    o.onBatchEnded = [this](bool accepted, std::size_t files) { log_.ended(accepted, files); };
    return o;
  }

  static PropertyList user(const std::string& name, const std::string& password) {
    PropertyList details;
    details.set("username", name);
    details.set("password", password);
    return details;
  }

  BatchLog log_;
  StandInService service_{ULMORA_SERVICE_PATH};
};

TEST_F(VideoCGICallControllerTest, QueuedFilesAreSentInBatchesAndTheQueueEmptied) {
  service_.setPasswords("alice:s3cret&x\n");
  VideoCGICallController videos(options(/*perRequest=*/2));
  videos.setUserDetails(user("alice", "s3cret&x"));
  const std::vector<std::string> files = {"/Movies/a b.mov", "/c&d=e.mp4", "/100%.m4v",
                                          "/x+y.avi", "/last.mkv"};
  for (const std::string& file : files) videos.addFiles(file);
  videos.makeVideoCGICall();
  EXPECT_EQ(videos.queuedCount(), 0u);

  const auto batches = log_.waitFor(3);
  EXPECT_EQ(batches, (std::vector<std::pair<bool, std::size_t>>{{true, 2}, {true, 2}, {true, 1}}));
  const std::string log = service_.videoLog();
  EXPECT_EQ(log.find("s3cret"), std::string::npos) << "the password must not be recorded";
  std::vector<std::string> received;
  for (const auto& request : recordedRequests(log)) {
    EXPECT_EQ(request["user"], "alice");
    for (const auto& file : request["files"]) received.push_back(file.get<std::string>());
  }
  EXPECT_EQ(received, files);
}

TEST_F(VideoCGICallControllerTest, RequestsThatCannotBeMadeAreDropped) {
  struct Case {
    const char* name;
    std::function<void(VideoCGICallController&)> prepare;
    std::vector<std::pair<bool, std::size_t>> batches;
  };
  service_.setPasswords("alice:right\n");
  const std::vector<Case> cases = {
      {"a wrong password", [](auto& v) { v.setUserDetails(user("alice", "wrong")); }, {{false, 1}}},
      {"maintenance",
       [&](auto& v) {
         service_.setFaults("maintenance\n");
         v.setUserDetails(user("alice", "right"));
       },
       {{false, 1}}},
      {"no host",
       [](auto& v) {
         v.setServiceHost("");
         v.setUserDetails(user("alice", "right"));
       },
       {{false, 1}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    service_.setFaults("");
    BatchLog log;
    VideoCGICallController::Options o = options();
    o.onBatchEnded = [&](bool accepted, std::size_t files) { log.ended(accepted, files); };
    VideoCGICallController videos(o);
    c.prepare(videos);
    videos.addFiles("/v.mov");
    videos.makeVideoCGICall();
    EXPECT_EQ(log.waitFor(c.batches.size()), c.batches);
    EXPECT_EQ(videos.queuedCount(), 0u);
  }
  EXPECT_EQ(service_.videoLog(), "");
}

TEST_F(VideoCGICallControllerTest, NothingIsSentWithoutUserDetailsOrWithBadPaths) {
  VideoCGICallController videos(options());
  videos.addFiles("");
  videos.addFiles(std::string("/a\0b.mov", 8));
  EXPECT_EQ(videos.queuedCount(), 0u);
  videos.addFiles("/fine.mov");
  videos.makeVideoCGICall();  // no user details: dropped at once
  EXPECT_EQ(videos.queuedCount(), 0u);
}

TEST_F(VideoCGICallControllerTest, CallsFromManyThreadsAllArrive) {
  VideoCGICallController videos(options(/*perRequest=*/3));
  videos.setUserDetails(user("alice", "pw"));
  constexpr int kThreads = 4;
  constexpr int kPerThread = 5;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&videos, t] {
      for (int i = 0; i < kPerThread; ++i) {
        videos.addFiles("/t" + std::to_string(t) + "/" + std::to_string(i) + ".mov");
        videos.makeVideoCGICall();
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  std::size_t sent = 0;
  for (int round = 0; round < kThreads * kPerThread && sent < kThreads * kPerThread; ++round) {
    sent = 0;
    for (const auto& [accepted, files] : log_.waitFor(static_cast<std::size_t>(round + 1))) {
      EXPECT_TRUE(accepted);
      sent += files;
    }
  }
  EXPECT_EQ(sent, static_cast<std::size_t>(kThreads * kPerThread));
}

}  // namespace
}  // namespace ulmora
