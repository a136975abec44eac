// The synchronous form POST, endpoint URLs and TLS settings, against the
// stand-in service.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "fakes/StandInService.h"
#include "TestTempDir.h"
#include "WebTestSupport.h"
#include "foundation/QLLocalizedString.h"
#include "foundation/ScopedEnv.h"
#include "foundation/SourceStringTable.h"
#include "service/FormBody.h"
#include "service/HttpsSettings.h"
#include "service/QLXMLParserController.h"
#include "service/ServiceEndpoint.h"
#include "service/SynchronousFormPost.h"

namespace ulmora {
namespace {

using namespace std::chrono_literals;
using testing::StandInService;

TEST(ServiceEndpointTest, HostsBecomeHttpsURLs) {
  struct Case {
    const char* host;
    const char* path;
    const char* url;
  };
  const std::vector<Case> cases = {
      {"kvt.example.com", "/kvt/getServerAddress", "https://kvt.example.com/kvt/getServerAddress"},
      {"127.0.0.1:4443/", "/pns/broadcast", "https://127.0.0.1:4443/pns/broadcast"},
      {"https://web.example/", "cgi-bin/x.cgi?", "https://web.example/cgi-bin/x.cgi?"},
      {"http://plain.example", "/x", ""},
      {"ftp://files.example", "/x", ""},
      {"", "/x", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(serviceEndpointURL(c.host, c.path), c.url) << c.host;
}

TEST(FormBodyTest, ValuesCannotBreakTheForm) {
  EXPECT_EQ(FormBody().add("uid", "a&b=c").add("pwd", "p+ %/").text(),
            "uid=a%26b%3Dc&pwd=p%2B%20%25%2F");
}

TEST(HttpsSettingsTest, TrustsTheStringTableFileOnlyWhenItExists) {
  testing::loadSourceStringTable();
  testing::TestTempDir home;
  testing::ScopedEnv env("HOME", home.path());
  EXPECT_EQ(HttpsSettings::forConsoleUser().caFile, "");
  const std::string ca = home.writeFile(".config/ulmora/ServiceCA.pem", "pem");
  EXPECT_EQ(HttpsSettings::forConsoleUser().caFile, ca);
}

class SynchronousFormPostTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(service_.start()) << service_.why(); }

  HttpsSettings trusted() const { return HttpsSettings{service_.caFile(), 10s}; }

  HttpsResponse discover(const std::string& user, const std::string& password,
                         Clock::Duration timeout = 20s) const {
    return SynchronousFormPost::post(service_.url("/kvt/getServerAddress"),
                                     FormBody().add("uid", user).add("pwd", password).text(),
                                     timeout, trusted());
  }

  StandInService service_{ULMORA_SERVICE_PATH};
};

TEST_F(SynchronousFormPostTest, DiscoveryAnswersWithTheServerAddress) {
  service_.setPasswords("alice:p&ss=w+rd %\n");
  const HttpsResponse response = discover("Alice", "p&ss=w+rd %");
  ASSERT_TRUE(response.ok()) << response.failureText();
  QLXMLParserController parser(response.body);
  ASSERT_TRUE(parser.parseXML());
  ASSERT_FALSE(parser.iTemArray().empty());
  const PropertyList& first = parser.iTemArray().front();
  EXPECT_EQ(first.stringFor("message"), "SUCCESS");
  EXPECT_EQ(first.stringFor("cmdUtilityServerIP"), testing::resolvedPath(service_.storage()));
  EXPECT_EQ(first.stringFor("Pnsserver"), service_.hostAndPort());
}

TEST_F(SynchronousFormPostTest, AccountFileOverridesTheReply) {
  service_.setPasswords("alice:pw\n");
  // One character: the caller falls back to cmdUtilityServer.
  std::ofstream(service_.storage() + "/service-account") << "cmdUtilityServerIP=x\n";
  ::mkdir((service_.storage() + "/accounts").c_str(), 0700);
  ::mkdir((service_.storage() + "/accounts/alice").c_str(), 0700);
  std::ofstream(service_.storage() + "/accounts/alice/service-account")
      << "cmdUtilityServer=kvt-%SERVICE%\n";
  const HttpsResponse response = discover("alice", "pw");
  ASSERT_TRUE(response.ok()) << response.failureText();
  QLXMLParserController parser(response.body);
  ASSERT_TRUE(parser.parseXML());
  const PropertyList& first = parser.iTemArray().front();
  EXPECT_EQ(first.stringFor("cmdUtilityServerIP"), "x");
  EXPECT_EQ(first.stringFor("cmdUtilityServer"), "kvt-" + service_.hostAndPort());
}

TEST_F(SynchronousFormPostTest, AWrongPasswordGetsAMessageAlone) {
  service_.setPasswords("alice:right\n");
  const HttpsResponse response = discover("alice", "wrong");
  ASSERT_TRUE(response.ok());
  QLXMLParserController parser(response.body);
  ASSERT_TRUE(parser.parseXML());
  ASSERT_EQ(parser.iTemArray().size(), 1u);
  EXPECT_EQ(parser.iTemArray()[0].asDict()->size(), 1u);
  EXPECT_NE(parser.iTemArray()[0].stringFor("message"), "SUCCESS");
}

TEST_F(SynchronousFormPostTest, FailuresAreReportedNotReturnedAsReplies) {
  struct Case {
    const char* name;
    std::function<HttpsResponse()> run;
    HttpsResponse::Outcome outcome;
    long status;
  };
  const std::string otherCa = service_.makeOtherAuthority();
  ASSERT_FALSE(otherCa.empty());
  const std::vector<Case> cases = {
      {"a certificate from another authority",
       [&] {
         return SynchronousFormPost::post(service_.url("/kvt/getServerAddress"), "uid=a&pwd=b",
                                          20s, HttpsSettings{otherCa, 10s});
       },
       HttpsResponse::Outcome::kFailed, 0},
      {"plain HTTP is never used",
       [&] {
         return SynchronousFormPost::post("http://" + service_.hostAndPort() + "/kvt/getServerAddress",
                                          "uid=a&pwd=b", 20s, trusted());
       },
       HttpsResponse::Outcome::kFailed, 0},
      {"maintenance",
       [&] {
         service_.setFaults("maintenance\n");
         return discover("a", "b");
       },
       HttpsResponse::Outcome::kCompleted, 503},
      {"a reply slower than the time-out",
       [&] {
         service_.setFaults("slow 5\n");
         return discover("a", "b", 1s);
       },
       HttpsResponse::Outcome::kFailed, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    service_.setFaults("");
    const HttpsResponse response = c.run();
    EXPECT_FALSE(response.ok());
    EXPECT_EQ(response.outcome, c.outcome);
    EXPECT_EQ(response.status, c.status);
    EXPECT_FALSE(response.failureText().empty());
  }
}

TEST_F(SynchronousFormPostTest, ARefusedConnectionFails) {
  service_.setFaults("refuse\n");
  ASSERT_TRUE(service_.waitUntilRefusing(true));
  const HttpsResponse refused = discover("a", "b");
  EXPECT_EQ(refused.outcome, HttpsResponse::Outcome::kFailed);
  service_.setFaults("");
  ASSERT_TRUE(service_.waitUntilRefusing(false));
  EXPECT_TRUE(discover("a", "b").ok());
}

}  // namespace
}  // namespace ulmora
