#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "IpcTestSupport.h"
#include "TestTempDir.h"
#include "ipc/IpcClient.h"
#include "ipc/IpcListener.h"
#include "ipc/IpcSocket.h"

namespace ulmora {
namespace {

using testing::TraceCapture;

constexpr uid_t kNobody = 65534;

int exitCodeOf(pid_t pid) {
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class IpcSocketTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
    // Loosened on purpose: only the peer-uid check is left to keep users apart.
    ASSERT_EQ(chmod(dir_.path().c_str(), 0777), 0);
  }

  TraceCapture trace_;
  ulmora::testing::TestTempDir dir_;
  std::string path_ = dir_.sub("s.sock");
};

// The companion's side: a socket planted by another user is not talked to,
// whichever of the two is the listener.
TEST_F(IpcSocketTest, ClientRefusesAListenerOfAnotherUser) {
  {
    SCOPED_TRACE("root listens, the other user connects");
    auto listener = IpcListener::listen(path_);
    ASSERT_TRUE(listener);
    ASSERT_EQ(chmod(path_.c_str(), 0666), 0);
    const pid_t pid = fork();
    if (pid == 0) {
      if (setgid(kNobody) != 0 || setuid(kNobody) != 0) _exit(3);
      _exit(IpcClient::connect(path_) ? 2 : 0);
    }
    EXPECT_EQ(exitCodeOf(pid), 0);
  }
  {
    SCOPED_TRACE("the other user listens, root connects");
    int ready[2];
    int done[2];
    ASSERT_EQ(pipe2(ready, O_CLOEXEC), 0);
    ASSERT_EQ(pipe2(done, O_CLOEXEC), 0);
    const pid_t pid = fork();
    if (pid == 0) {
      close(ready[0]);
      close(done[1]);
      if (setgid(kNobody) != 0 || setuid(kNobody) != 0) _exit(3);
      std::optional<UniqueFd> fd = ipcsocket::listenOn(dir_.sub("other.sock"));
      if (!fd || chmod(dir_.sub("other.sock").c_str(), 0666) != 0) _exit(4);
      char byte = 1;
      if (write(ready[1], &byte, 1) != 1) _exit(5);
      (void)read(done[0], &byte, 1);  // until the parent is through
      _exit(0);
    }
    close(ready[1]);
    close(done[0]);
    char byte = 0;
    ASSERT_EQ(read(ready[0], &byte, 1), 1);
    EXPECT_FALSE(IpcClient::connect(dir_.sub("other.sock")));
    EXPECT_EQ(trace_.count("from uid 65534 (not the running user)"), 1u);
    close(done[1]);
    close(ready[0]);
    EXPECT_EQ(exitCodeOf(pid), 0);
  }
}

// Connections that would leave fewer than the reserve of file handles free
// are turned away, so the files the agent must open can still be opened.
TEST_F(IpcSocketTest, ListenerKeepsAReserveOfFileHandles) {
  const pid_t pid = fork();
  if (pid == 0) {
    constexpr rlim_t kLimit = 600;
    rlimit limit{kLimit, kLimit};
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0) _exit(3);
    auto listener = IpcListener::listen(path_);
    if (!listener) _exit(4);
    auto acceptsOne = [&] {
      auto client = IpcClient::connect(path_);
      if (!client) return false;
      return listener->acceptPending().size() == 1;
    };
    if (!acceptsOne()) _exit(5);  // plenty free
    std::vector<int> filler;
    while (true) {
      const int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
      if (fd < 0) _exit(6);
      filler.push_back(fd);
      if (static_cast<rlim_t>(fd) + ipcsocket::kHandleReserve + 2 >= kLimit) break;
    }
    if (acceptsOne()) _exit(7);  // would eat into the reserve
    for (int i = 0; i < 8; ++i) {
      close(filler.back());
      filler.pop_back();
    }
    if (!acceptsOne()) _exit(8);  // room again
    _exit(0);
  }
  EXPECT_EQ(exitCodeOf(pid), 0);
}

}  // namespace
}  // namespace ulmora
