#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "PeerSockets.h"

namespace ulmora::peer {
namespace {

constexpr const char* kHeader = "Num       RefCount Protocol Flags    Type St Inode Path\n";

std::string row(const char* state, const char* flags, const std::string& path) {
  return std::string("0000000040876692: 00000003 00000000 ") + flags + " 0001 " + state + " 28202770" +
         (path.empty() ? "" : " " + path) + "\n";
}

TEST(PeerSockets, OnlyConnectionsAcceptedOnThatVerySocketCount) {
  const std::string monitor = "/home/u/.local/state/ulmora/ipc/monitor-u.sock";
  const std::string listening = row("01", "00010000", monitor);
  const std::string accepted = row("03", "00000000", monitor);
  struct Case {
    const char* what;
    std::string table;
    std::string path;
    int count;
  };
  const std::vector<Case> cases = {
      {"the listening socket alone: nobody holds the channel", kHeader + listening, monitor, 0},
      {"another companion holds it", kHeader + listening + accepted, monitor, 1},
      {"a connection on another channel", kHeader + listening + row("03", "00000000", "/x/finder-u.sock"), monitor, 0},
      {"a path that only begins like it", kHeader + row("03", "00000000", monitor + ".old"), monitor, 0},
      {"a client end, which has no path", kHeader + row("03", "00000000", ""), monitor, 0},
      {"a path with blanks", kHeader + row("03", "00000000", "/home/a b/monitor-u.sock"),
       "/home/a b/monitor-u.sock", 1},
      {"a connection still being set up", kHeader + row("02", "00000000", monitor), monitor, 0},
      {"the last line without its line end", kHeader + accepted.substr(0, accepted.size() - 1), monitor, 1},
      {"an unreadable table", "", monitor, 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(connectionsAccepted(c.table, c.path), c.count) << c.what;
  }
}

}  // namespace
}  // namespace ulmora::peer
