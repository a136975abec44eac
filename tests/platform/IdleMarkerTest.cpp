#include "platform/IdleMarker.h"

#include <gtest/gtest.h>

#include "TestTempDir.h"
#include "platform/FileUtil.h"

namespace ulmora {
namespace {

using std::chrono::minutes;
using std::chrono::seconds;

TEST(IdleMarkerTest, TheMarkerExistsExactlyWhileTheUserIsIdle) {
  struct Case {
    const char* name;
    bool markerBefore;
    std::optional<Clock::Duration> idleFor;
    bool idle;
  } cases[] = {
      {"active", false, seconds(30), false},
      {"just below the threshold", false, minutes(5) - seconds(1), false},
      {"at the threshold", false, minutes(5), true},
      {"still idle", true, minutes(50), true},
      {"back at work", true, seconds(2), false},
      {"unknown counts as not idle", true, std::nullopt, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing::TestTempDir dir;
    const std::string marker = dir.sub("state/SystemInIdleState");
    if (c.markerBefore) {
      fileutil::makeDirectories(fileutil::parentPath(marker));
      fileutil::writeFileAtomically(marker, "");
    }
    IdleMarker m(marker, [&] { return c.idleFor; });
    EXPECT_EQ(m.update(), c.idle);
    EXPECT_EQ(fileutil::exists(marker), c.idle);
  }
}

}  // namespace
}  // namespace ulmora
