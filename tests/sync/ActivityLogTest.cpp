#include "sync/status/ActivityLog.h"

#include <gtest/gtest.h>

#include <pugixml.hpp>

#include "TestTempDir.h"
#include "platform/FileUtil.h"
#include "platform/ManualClock.h"

namespace ulmora {
namespace {

using testing::TestTempDir;

// 2026-12-05 14:03:09 UTC (tests run with TZ=UTC).
const Clock::WallTime kDay = Clock::WallTime(std::chrono::seconds(1796479389));

std::vector<std::pair<std::string, std::string>> recordOf(const pugi::xml_document& doc) {
  std::vector<std::pair<std::string, std::string>> out;
  for (auto child : doc.child("records").child("record").children())
    out.emplace_back(child.name(), child.text().get());
  return out;
}

TEST(ActivityLogTest, TheDaysFileHoldsOneFreshRecord) {
  TestTempDir dir;
  ManualClock clock(kDay);
  ActivityLog log(dir.sub("Activity"), "/home/u/SessionLogsNew/Sync/", clock);
  ASSERT_TRUE(log.CreateXmlLogFile());
  clock.advance(std::chrono::seconds(61));
  ASSERT_TRUE(log.CreateXmlLogFile());

  EXPECT_EQ(log.currentFilePath(), dir.sub("Activity/12-05-2026_sync.xml"));
  pugi::xml_document doc;
  ASSERT_TRUE(doc.load_file(log.currentFilePath().c_str()));
  EXPECT_EQ(std::distance(doc.child("records").children().begin(),
                          doc.child("records").children().end()),
            1);
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"datetime", "12-05-2026 14:04:10"},
      {"uname", ""},
      {"status", "--"},
      {"content", ""},
      {"optype", "12"},
      {"lpath", ""},
      {"files", "--"},
      {"filesinsync", ""},
      {"logfile", "/home/u/SessionLogsNew/Sync/ 12-05-2026_sync"},
      {"logname", "12-05-2026_sync"},
      {"duration", "--:--:--"},
  };
  EXPECT_EQ(recordOf(doc), expected);
  EXPECT_TRUE(doc.child("records").attributes().empty());
}

TEST(ActivityLogTest, ANewDayGetsItsOwnFile) {
  TestTempDir dir;
  ManualClock clock(kDay);
  ActivityLog log(dir.path(), "/logs/", clock);
  ASSERT_TRUE(log.CreateXmlLogFile());
  clock.advance(std::chrono::hours(24));
  ASSERT_TRUE(log.CreateXmlLogFile());
  EXPECT_TRUE(fileutil::exists(dir.sub("12-05-2026_sync.xml")));
  EXPECT_TRUE(fileutil::exists(dir.sub("12-06-2026_sync.xml")));
}

TEST(ActivityLogTest, AnUnknownFolderWritesNothing) {
  ManualClock clock(kDay);
  ActivityLog log("", "/logs/", clock);
  EXPECT_FALSE(log.CreateXmlLogFile());
  EXPECT_FALSE(fileutil::exists(ActivityLog::fileNameFor(kDay)));
}

struct OddFolder {
  const char* name;
  std::string folder;
};

class ActivityLogOddFolderTest : public ::testing::TestWithParam<OddFolder> {};

TEST_P(ActivityLogOddFolderTest, StaysWellFormed) {
  ManualClock clock(kDay);
  ActivityLog log("/unused", GetParam().folder, clock);
  const std::string xml = log.constructXMLRequest();
  pugi::xml_document doc;
  ASSERT_TRUE(doc.load_string(xml.c_str())) << xml;
  const std::string logfile = doc.child("records").child("record").child("logfile").text().get();
  EXPECT_EQ(logfile.find('\x01'), std::string::npos);
  EXPECT_NE(logfile.find("12-05-2026_sync"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ActivityLogOddFolderTest,
    ::testing::Values(OddFolder{"markup", "/h/<a>&\"b\"]]>/"},
                      OddFolder{"control_chars", std::string("/h/a\x01\x1f/")},
                      OddFolder{"invalid_utf8", "/h/\xff\xfe\xc3/"},
                      OddFolder{"overlong_and_surrogate", "/h/\xc0\xaf\xed\xa0\x80/"},
                      OddFolder{"embedded_nul", std::string("/h/a\0b/", 7)}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ActivityLogTest, XmlSafeKeepsValidTextAndReplacesTheRest) {
  EXPECT_EQ(ActivityLog::xmlSafe("caf\xc3\xa9 \xf0\x9f\x98\x80\t"), "caf\xc3\xa9 \xf0\x9f\x98\x80\t");
  EXPECT_EQ(ActivityLog::xmlSafe("a\x02" "b\xff"), "a\xEF\xBF\xBD" "b\xEF\xBF\xBD");
}

}  // namespace
}  // namespace ulmora
