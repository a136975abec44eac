// libcurl's global state is set up once per test process, before any test
// starts a thread, the way main() does it for the agent.
#include <curl/curl.h>
#include <gtest/gtest.h>

namespace {

class CurlEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { ASSERT_EQ(curl_global_init(CURL_GLOBAL_DEFAULT), CURLE_OK); }
  void TearDown() override { curl_global_cleanup(); }
};

[[maybe_unused]] ::testing::Environment* const kCurl =
    ::testing::AddGlobalTestEnvironment(new CurlEnvironment);

}  // namespace
