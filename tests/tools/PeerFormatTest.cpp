#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "PeerFormat.h"

namespace ulmora::peer {
namespace {

const Clock::WallTime kWhen = Clock::WallTime(std::chrono::milliseconds(1714564800123));
const std::string kTime = "2024-05-01T12:00:00.123Z";

// Every line the peer prints is one line whose fields a reader can split,
// whatever a hostile agent or file name puts into them.
TEST(PeerFormat, EachLineIsOneParsableLine) {
  struct Case {
    const char* what;
    std::string kind;
    PropertyList payload;
    std::string line;
  };
  const std::vector<Case> cases = {
      {"plain text", "500", PropertyList("/home/u/Sync/a b"), kTime + " monitor 500 /home/u/Sync/a b"},
      {"forged line in a text", "500", PropertyList("inj\n2024-05-01T00:00:00.000Z monitor 0 x"),
       kTime + " monitor 500 inj\\n2024-05-01T00:00:00.000Z monitor 0 x"},
      {"quotes and backslashes", "500",
       PropertyList(PropertyList::Array{"a\"b", "c\\d"}),
       kTime + " monitor 500 [\"a\\\"b\", \"c\\\\d\"]"},
      {"control characters", "500", PropertyList(std::string("\x1b[2J\r\t\x7f")),
       kTime + " monitor 500 \\x1b[2J\\r\\t\\x7f"},
      {"name with a blank", "Files list\"x", PropertyList(PropertyList::Dict{{"k\"", "v"}}),
       kTime + " monitor Files\\x20list\\\"x {\"k\\\"\": \"v\"}"},
  };
  for (const Case& c : cases) {
    const std::string line = formatLine(kWhen, "monitor", c.kind, c.payload);
    EXPECT_EQ(line, c.line) << c.what;
    EXPECT_EQ(line.find('\n'), std::string::npos) << c.what;
  }
}

}  // namespace
}  // namespace ulmora::peer
