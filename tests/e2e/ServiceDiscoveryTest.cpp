// An account whose stored server cannot be reached: the first engine run
// fails to connect, the agent asks the service where the storage is, and from
// then on every road of the agent (uploads, the change listing, deletions) uses the
// server the service named, which the login details also keep.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "SharedAccountHarness.h"

namespace ulmora {
namespace {

using namespace e2e;

// The stored server: a host the machine can route to but whose storage the
// stand-in engine cannot reach, or a name that no longer resolves at all.
class ServiceDiscoveryAgent : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(service_.start()) << service_.why();
    home_ = std::make_unique<LinkedHome>(dir_, "a", service_);
    ASSERT_TRUE(home_->ok());
    // Both copies of the login details name a server whose storage the
    // engine cannot reach.
    const std::string config = home_->home() + "/.config/ulmora";
    for (const std::string& file :
         {home_->loginDetails(), config + "/accounts/demo/LoginDetails.plist"}) {
      auto login = PropertyList::readFile(file);
      ASSERT_TRUE(login && login->isDict()) << file;
      login->set("IP", unreachable_);
      login->set("serverName", unreachable_);
      ASSERT_TRUE(login->writeFile(file));
    }
    // The failed upload's set is offered again as a repeated set, which
    // waits a minute first: twice the usual scale halves that wait.
    agent_ = std::make_unique<RunningAgent>(*home_, 2 * kTimeScale);
    ASSERT_TRUE(agent_->start()) << "the agent never listened on its sockets";
  }
  void TearDown() override {
    if (const char* keep = std::getenv("ULMORA_E2E_TRACES"); keep != nullptr && home_) {
      const std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
      fileutil::writeFileAtomically(std::string(keep) + "/" + name + ".log", home_->trace());
    }
    if (agent_ && !agent_->ended()) {
      const ProcessResult result = agent_->stop();
      EXPECT_EQ(result.termSignal, 0) << result.err;
      EXPECT_EQ(result.exitStatus, 0) << result.err;
    }
  }

  bool stored(const std::string& path) const {
    auto conn = SqliteConnection::open(service_.storage() + "/accounts/demo/meta.db",
                                       SqliteConnection::OpenMode::kReadOnly);
    if (!conn) return false;
    return conn->queryText("SELECT COUNT(*) FROM entries WHERE in_trash = 0 AND CAST(path AS TEXT) = '" + path +
                           "'") == std::optional<std::string>("1");
  }

  testing::TestTempDir dir_;
  testing::StandInService service_{ULMORA_SERVICE_PATH};
  const std::string unreachable_ = GetParam();
  std::unique_ptr<LinkedHome> home_;
  std::unique_ptr<RunningAgent> agent_;
};

TEST_P(ServiceDiscoveryAgent, TheServerTheServiceNamesServesEveryRoadAfterwards) {
  ASSERT_TRUE(fileutil::makeDirectories(home_->at("found")));
  ASSERT_TRUE(fileutil::writeFileAtomically(home_->at("found/after-discovery.txt"), "reached"));
  const std::string discovered = "service discovery: storage server " + service_.storage();

  // The upload that could not connect is sent again to the named server.
  ASSERT_TRUE(eventuallyWithin(kCrossPatience, [&] { return stored("/found/after-discovery.txt"); }))
      << home_->trace();
  EXPECT_EQ(home_->traceCount(discovered), 1u) << home_->trace();
  auto login = PropertyList::readFile(home_->loginDetails());
  ASSERT_TRUE(login);
  EXPECT_EQ(login->stringFor("serverName").value_or(""), service_.storage());

  // The change listing, which failed against the stored server, lists the
  // named one.
  EXPECT_TRUE(eventuallyWithin(kCrossPatience, [&] {
    const std::string trace = home_->trace();
    const size_t at = trace.find(discovered);
    return at != std::string::npos && trace.find("listingDidFinishSuccessfully", at) != std::string::npos;
  })) << home_->trace();

  // So does the deletion road.
  ASSERT_TRUE(fileutil::removeAll(home_->at("found/after-discovery.txt")));
  EXPECT_TRUE(eventuallyWithin(kCrossPatience, [&] { return !stored("/found/after-discovery.txt"); }))
      << home_->trace();
  EXPECT_EQ(home_->traceCount(discovered), 1u);
}

INSTANTIATE_TEST_SUITE_P(StoredServer, ServiceDiscoveryAgent, ::testing::Values("localhost", "storage.invalid"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                           return std::string(info.param) == "localhost" ? "RoutableButWithoutTheStorage"
                                                                        : "NoLongerResolving";
                         });

}  // namespace
}  // namespace ulmora
