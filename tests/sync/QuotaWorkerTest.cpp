#include "sync/control/QuotaWorker.h"

#include <gtest/gtest.h>

#include <deque>

#include "SyncFakes.h"
#include "TestTempDir.h"
#include "platform/FileUtil.h"
#include "platform/ManualClock.h"

namespace ulmora {
namespace {

using namespace std::chrono_literals;
using testing::RecordingMessenger;
using testing::TestTempDir;

constexpr double kMiB = 1048576.0;

std::string quotaXml(double usedUnits, double totalUnits) {
  auto n = [](double units) { return std::to_string(static_cast<long long>(units * kMiB)); };
  return "<quota>\n<usedquota>" + n(usedUnits) + "</usedquota>\n<totalquota>" + n(totalUnits) +
         "</totalquota>\n<filecount>3</filecount>\n</quota>\n";
}

class FakeQuery final : public QuotaQuery {
 public:
  explicit FakeQuery(Clock& clock) : clock_(clock), origin_(clock.monotonicNow()) {}
  QuotaReply runQuota(bool fromFile) override {
    calls.push_back(std::chrono::duration_cast<std::chrono::seconds>(clock_.monotonicNow() - origin_).count());
    fromFileCalls.push_back(fromFile);
    if (replies.empty()) return {quotaXml(10, 1000), ""};
    QuotaReply r = replies.front();
    if (replies.size() > 1) replies.pop_front();
    return r;
  }
  std::deque<QuotaReply> replies;
  std::vector<long long> calls;  // seconds since the test began
  std::vector<bool> fromFileCalls;

 private:
  Clock& clock_;
  Clock::TimePoint origin_;
};

class FakeHost final : public QuotaHost {
 public:
  std::shared_ptr<CompanionMessenger> monitorMessenger() override {
    return std::shared_ptr<CompanionMessenger>(std::shared_ptr<void>(), &monitor);
  }
  void setQuotaFull(bool full) override { fullReports.push_back(full); }
  void queryMainDB(bool backupOnly) override { queries.push_back(backupOnly); }
  std::string syncUserName() override { return "ann-sync"; }
  std::string accountUserName() override { return "ann"; }
  RecordingMessenger monitor;
  std::vector<bool> fullReports;
  std::vector<bool> queries;
};

struct Rig {
  TestTempDir dir;
  ManualClock clock;
  RunLoop mainLoop{clock};
  FakeQuery query{clock};
  FakeHost host;
  QuotaWorker::Paths paths{dir.sub("last.plist"), dir.sub("login.plist"), dir.sub("quota-marker")};
  QuotaWorker worker{clock, mainLoop, paths, query, host};

  Rig() {
    PropertyList dict(PropertyList::Dict{});
    dict.set("UlmoraSync username", "alice");
    dict.writeFile(paths.lastUserLoginDetails);
  }
  void settle() {
    for (int i = 0; i < 4; ++i) {
      worker.quotaLoop().runUntilIdle();
      mainLoop.runUntilIdle();
    }
  }
  void runFor(std::chrono::seconds total) {
    for (std::chrono::seconds t = 0s; t < total; t += 1s) {
      clock.advance(1s);
      settle();
    }
  }
  std::optional<std::string> stored(const std::string& path, const char* key) {
    auto dict = PropertyList::readFile(path);
    return dict ? dict->stringFor(key) : std::nullopt;
  }
};

TEST(QuotaWorkerTest, EngineArgumentsInOrderWithCredentialFilesOnly) {
  const std::vector<std::string> expected = {
      "--encode", "--get-quota", "--timeout=30", "--port=443", "--password-file=/run/p",
      "--pvt-key=/run/k", "--xml-output", "--proxy=", "alice@store.example::quellar/"};
  EXPECT_EQ(EngineQuotaQuery::quotaArguments(false, "/run/p", "/run/k", "--proxy=", "Alice",
                                             "store.example"),
            expected);
  const auto fromFile =
      EngineQuotaQuery::quotaArguments(true, "", "", "--proxy=h:1", "bob", "s");
  const std::vector<std::string> expectedFromFile = {
      "--encode", "--quota-fromfile", "--timeout=30", "--port=443", "--xml-output", "--proxy=h:1",
      "bob@s::quellar/"};
  EXPECT_EQ(fromFile, expectedFromFile);
}

TEST(QuotaWorkerTest, TheRealQueryPassesCredentialsInFilesOnly) {
  // /bin/echo stands in for the engine: its output is its command line.
  User user;
  user.setUserName("Alice");
  user.setPassword("plain-s3cret");
  user.setEncPassword("enc-s3cret");
  user.setKVTServerIP("store.example");
  EngineQuotaQuery query("/bin/echo", [user] { return user; }, "/nonexistent/proxy.plist");
  const QuotaReply reply = query.runQuota(false);
  EXPECT_NE(reply.output.find("--get-quota"), std::string::npos) << reply.output;
  EXPECT_NE(reply.output.find("--password-file=/"), std::string::npos) << reply.output;
  EXPECT_NE(reply.output.find("alice@store.example::quellar/"), std::string::npos);
  EXPECT_EQ(reply.output.find("s3cret"), std::string::npos) << reply.output;
}

struct CollapseCase {
  const char* name;
  std::vector<int> requestAt;         // seconds
  std::vector<long long> queriesAt;   // seconds
};

class QuotaCollapseTest : public ::testing::TestWithParam<CollapseCase> {};

TEST_P(QuotaCollapseTest, RequestsCollapseIntoOneQueryAndOneRetry) {
  Rig rig;
  int now = 0;
  for (int at : GetParam().requestAt) {
    rig.runFor(std::chrono::seconds(at - now));
    now = at;
    rig.worker.runCalQuotaInThread("NO");
    rig.settle();
  }
  rig.runFor(std::chrono::seconds(900 - now));
  EXPECT_EQ(rig.query.calls, GetParam().queriesAt);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, QuotaCollapseTest,
    ::testing::Values(
        CollapseCase{"one_request_waits_15s", {0}, {15}},
        CollapseCase{"burst_is_one_query", {0, 0, 1, 14}, {15}},
        CollapseCase{"second_within_threshold_retries_later", {0, 50}, {15, 200}},
        CollapseCase{"many_within_threshold_share_one_retry", {0, 50, 70, 90}, {15, 200}},
        CollapseCase{"request_after_a_run_spreads_the_retry", {0, 50, 110}, {15, 125, 335}},
        CollapseCase{"after_threshold_runs_directly", {0, 101}, {15, 116}}),
    [](const auto& info) { return std::string(info.param.name); });

struct RoundingCase {
  const char* name;
  double used, total;  // units
  bool exceeded;       // the query's verdict (rounded up)
  bool full;           // the stored verdict (rounded to nearest)
};

class QuotaRoundingTest : public ::testing::TestWithParam<RoundingCase> {};

TEST_P(QuotaRoundingTest, ExceededRoundsUpFullRoundsToNearest) {
  Rig rig;
  rig.query.replies = {{quotaXml(GetParam().used, GetParam().total), ""}};
  std::string error;
  EXPECT_FALSE(rig.worker.calculateQuotaWithError(&error, false));
  EXPECT_EQ(error == QuotaWorker::kExceeded, GetParam().exceeded) << error;
  rig.settle();
  EXPECT_EQ(rig.worker.isSyncQuotaFull(), GetParam().full);
  EXPECT_EQ(rig.host.fullReports, GetParam().full ? std::vector<bool>{true} : std::vector<bool>{});
}

INSTANTIATE_TEST_SUITE_P(Cases, QuotaRoundingTest,
                         ::testing::Values(RoundingCase{"all_used", 1000, 1000, true, true},
                                           RoundingCase{"99_4_percent", 994, 1000, true, false},
                                           RoundingCase{"99_5_percent", 995, 1000, true, true},
                                           RoundingCase{"half", 500, 1000, false, false},
                                           RoundingCase{"nothing_of_nothing", 0, 0, false, false}),
                         [](const auto& info) { return std::string(info.param.name); });

struct MarkerCase {
  const char* name;
  const char* mode;
  double used, total;
  bool markerStays;
};

class QuotaMarkerTest : public ::testing::TestWithParam<MarkerCase> {};

TEST_P(QuotaMarkerTest, MarkerLiftedOnlyWhenAskedAndRoomy) {
  Rig rig;
  fileutil::writeFileAtomically(rig.paths.overQuotaMarker, "QotaExceeded");
  rig.query.replies = {{quotaXml(GetParam().used, GetParam().total), ""}};
  rig.worker.runCalQuotaInThread(GetParam().mode);
  rig.runFor(20s);
  ASSERT_EQ(rig.query.calls.size(), 1u);
  EXPECT_EQ(fileutil::exists(rig.paths.overQuotaMarker), GetParam().markerStays);
}

INSTANTIATE_TEST_SUITE_P(Cases, QuotaMarkerTest,
                         ::testing::Values(MarkerCase{"yes_and_300_free", "YES", 700, 1000, false},
                                           MarkerCase{"no_and_300_free", "NO", 700, 1000, true},
                                           MarkerCase{"yes_and_199_free", "YES", 801, 1000, true},
                                           MarkerCase{"yes_exactly_200_free", "YES", 800, 1000, false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(QuotaWorkerTest, AYesRequestCollapsedIntoANoRequestStillLiftsTheMarker) {
  Rig rig;
  fileutil::writeFileAtomically(rig.paths.overQuotaMarker, "QotaExceeded");
  rig.worker.runCalQuotaInThread("NO");
  rig.worker.runCalQuotaInThread("YES");
  rig.runFor(20s);
  EXPECT_FALSE(fileutil::exists(rig.paths.overQuotaMarker));
}

TEST(QuotaWorkerTest, FullTwiceThenFreeAgain) {
  Rig rig;
  rig.query.replies = {{quotaXml(1000, 1000), ""}, {quotaXml(1000, 1000), ""}, {quotaXml(10, 1000), ""}};
  for (int i = 0; i < 3; ++i) {
    rig.worker.runCalQuotaInThread("NO");
    rig.runFor(120s);
  }
  ASSERT_EQ(rig.query.calls.size(), 3u);
  EXPECT_EQ(rig.host.monitor.types(), (std::vector<int>{0, 1}));
  EXPECT_EQ(rig.host.monitor.sent()[0].second, QuotaWorker::kFullText);
  EXPECT_EQ(rig.host.fullReports, (std::vector<bool>{true, true, false}));
  EXPECT_EQ(rig.host.queries, std::vector<bool>{true});
  EXPECT_FALSE(rig.worker.isSyncQuotaFull());
}

struct BadReplyCase {
  const char* name;
  QuotaReply reply;
  bool retries;
};

class QuotaBadReplyTest : public ::testing::TestWithParam<BadReplyCase> {};

TEST_P(QuotaBadReplyTest, KeepsTheLastGoodQuota) {
  Rig rig;
  rig.query.replies = {{quotaXml(1, 1000), ""}, GetParam().reply, {quotaXml(2, 1000), ""}};
  rig.worker.runCalQuotaInThread("NO");
  rig.runFor(120s);
  const auto good = rig.stored(rig.paths.lastUserLoginDetails, QuotaWorker::kUsedKey);
  ASSERT_TRUE(good);
  rig.worker.runCalQuotaInThread("NO");
  rig.runFor(20s);
  ASSERT_EQ(rig.query.calls.size(), 2u);
  EXPECT_EQ(rig.stored(rig.paths.lastUserLoginDetails, QuotaWorker::kUsedKey), good);
  EXPECT_EQ(rig.stored(rig.paths.loginDetails, QuotaWorker::kUsedKey), good);
  EXPECT_EQ(rig.stored(rig.paths.lastUserLoginDetails, "UlmoraSync username"), "alice");
  rig.runFor(300s);
  EXPECT_EQ(rig.query.calls.size(), GetParam().retries ? 3u : 2u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, QuotaBadReplyTest,
    ::testing::Values(
        BadReplyCase{"empty", {"", ""}, false},
        BadReplyCase{"garbage", {"hello\nworld <<>>\n", ""}, false},
        BadReplyCase{"not_numbers", {"<usedquota>lots</usedquota>\n<totalquota>x</totalquota>\n", ""}, false},
        BadReplyCase{"negative", {"<usedquota>-5</usedquota>\n<totalquota>100</totalquota>\n", ""}, false},
        BadReplyCase{"only_total", {"<totalquota>100</totalquota>\n", ""}, false},
        BadReplyCase{"engine_error", {quotaXml(999, 1000), "@ERROR: auth failed on module quellar"}, false},
        BadReplyCase{"version_mismatch", {"", "@ERROR: protocol version mismatch"}, false},
        BadReplyCase{"unable_to_retrieve", {"<error>Unable to retrieve the quota</error>\n", ""}, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(QuotaWorkerTest, RecalculateAnswers508OnceAfterTheQuotaIsStored) {
  Rig rig;
  rig.worker.RecalculateQuota();
  rig.runFor(20s);
  EXPECT_EQ(rig.host.monitor.types(), std::vector<int>{508});
  EXPECT_FALSE(rig.worker.recalculateQuota());
  EXPECT_TRUE(rig.stored(rig.paths.loginDetails, QuotaWorker::kTotalKey));
}

TEST(QuotaWorkerTest, RecalculateIsAnsweredEvenWithoutLoginDetailsOrQuota) {
  for (bool failQuery : {false, true}) {
    Rig rig;
    fileutil::removeAll(rig.paths.lastUserLoginDetails);
    if (failQuery) rig.query.replies = {{"", "@ERROR: account has been blocked"}};
    rig.worker.RecalculateQuota();
    rig.runFor(20s);
    EXPECT_EQ(rig.host.monitor.types(), std::vector<int>{508}) << failQuery;
    EXPECT_FALSE(rig.worker.lastQuota());
  }
}

TEST(QuotaWorkerTest, FromFileComparesWithTheStoredTotal) {
  Rig rig;
  PropertyList dict(PropertyList::Dict{});
  dict.set(QuotaWorker::kTotalKey, std::to_string(static_cast<long long>(1000 * kMiB)));
  dict.writeFile(rig.paths.lastUserLoginDetails);
  rig.query.replies = {{"<usedquota>" + std::to_string(static_cast<long long>(1000 * kMiB)) +
                            " bytes</usedquota>\n<totalquota>5</totalquota>\n",
                        ""}};
  std::string error;
  rig.worker.calculateQuotaFromFile(&error, false);
  EXPECT_EQ(error, QuotaWorker::kExceeded);
  EXPECT_EQ(rig.query.fromFileCalls, std::vector<bool>{true});
  rig.settle();
  EXPECT_EQ(rig.stored(rig.paths.lastUserLoginDetails, QuotaWorker::kTotalKey), "5");
}

TEST(QuotaWorkerTest, QuotaFileLinesGoToBothPropertyLists) {
  Rig rig;
  fileutil::writeFileAtomically(rig.dir.sub("quota"), "123\n456\n");
  rig.worker.setQuotaToPlist();
  EXPECT_EQ(rig.stored(rig.paths.lastUserLoginDetails, QuotaWorker::kUsedKey), "123");
  EXPECT_EQ(rig.stored(rig.paths.loginDetails, QuotaWorker::kTotalKey), "456");
}

TEST(QuotaWorkerTest, TheThreadRunsQueriesOffTheCaller) {
  Rig rig;
  rig.worker.start();
  rig.worker.start();
  rig.worker.runCalQuotaInThread("NO");
  // The quota thread parks on the clock; once the wait has passed it queries
  // and posts the update to the main loop.
  ASSERT_TRUE(rig.clock.awaitBlockedThreads(1, 10s));
  rig.clock.advance(16s);
  ASSERT_TRUE(rig.clock.awaitBlockedThreads(1, 10s));
  rig.mainLoop.runUntilIdle();
  EXPECT_TRUE(rig.worker.lastQuota());
}

}  // namespace
}  // namespace ulmora
