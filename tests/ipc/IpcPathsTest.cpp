#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "TestTempDir.h"
#include "foundation/ScopedEnv.h"
#include "ipc/IpcPaths.h"
#include "platform/FileUtil.h"

namespace ulmora {
namespace {

mode_t modeOf(const std::string& path) {
  struct stat st {};
  lstat(path.c_str(), &st);
  return st.st_mode & 07777;
}

TEST(IpcPathsTest, SocketNamesStayInsideTheFolder) {
  const std::string uid = std::to_string(geteuid());
  struct Case {
    std::string user;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"alice", "/run/u/monitor-alice.sock"},
      {"", "/run/u/monitor-" + uid + ".sock"},
      {"..", "/run/u/monitor-" + uid + ".sock"},
      {"../etc", "/run/u/monitor-" + uid + ".sock"},
      {std::string("a\0b", 3), "/run/u/monitor-" + uid + ".sock"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(IpcPaths::channelSocketPath("/run/u", c.user, IpcChannel::kMonitor), c.expected);
  }
  EXPECT_EQ(IpcPaths::channelSocketPath("/run/u", "alice", IpcChannel::kFinder),
            "/run/u/finder-alice.sock");
  EXPECT_EQ(IpcPaths::busSocketPath("/run/u", "alice"), "/run/u/bus-alice.sock");
}

TEST(IpcPathsTest, FolderIsMadeOwnerOnlyOrRefused) {
  ulmora::testing::TestTempDir dir;
  const std::string fresh = dir.sub("a/b/ulmora");
  ASSERT_TRUE(IpcPaths::prepareFolder(fresh));
  EXPECT_EQ(modeOf(fresh), 0700u);

  const std::string loose = dir.sub("loose");
  ASSERT_EQ(mkdir(loose.c_str(), 0777), 0);
  ASSERT_EQ(chmod(loose.c_str(), 0777), 0);
  ASSERT_TRUE(IpcPaths::prepareFolder(loose));
  EXPECT_EQ(modeOf(loose), 0700u);

  const std::string link = dir.sub("link");
  ASSERT_EQ(symlink(loose.c_str(), link.c_str()), 0);
  EXPECT_FALSE(IpcPaths::prepareFolder(link));
  EXPECT_FALSE(IpcPaths::prepareFolder(dir.writeFile("file", "x")));
}

TEST(IpcPathsTest, RuntimeFolderFirstThenHome) {
  ulmora::testing::TestTempDir dir;
  ulmora::testing::ScopedEnv home("HOME", dir.sub("home"));
  {
    ulmora::testing::ScopedEnv runtime("XDG_RUNTIME_DIR", dir.sub("run"));
    EXPECT_EQ(IpcPaths::socketFolder(), dir.sub("run/ulmora"));
  }
  for (const char* unusable : {"", "relative/run"}) {
    ulmora::testing::ScopedEnv runtime("XDG_RUNTIME_DIR", unusable);
    EXPECT_EQ(IpcPaths::socketFolder(), dir.sub("home/.local/state/ulmora/ipc")) << unusable;
  }
  EXPECT_EQ(modeOf(dir.sub("home/.local/state/ulmora/ipc")), 0700u);
}

}  // namespace
}  // namespace ulmora
