#include "PeerSockets.h"

#include <fstream>
#include <sstream>

namespace ulmora::peer {

namespace {

constexpr std::string_view kConnectedState = "03";

}  // namespace

int connectionsAccepted(std::string_view table, std::string_view path) {
  int count = 0;
  size_t at = 0;
  while (at < table.size()) {
    size_t end = table.find('\n', at);
    if (end == std::string_view::npos) end = table.size();
    std::string_view line = table.substr(at, end - at);
    at = end + 1;
    // "Num: RefCount Protocol Flags Type St Inode Path": the path is all
    // that follows the seventh field, blanks included.
    std::string_view fields[7];
    size_t pos = 0;
    bool complete = true;
    for (std::string_view& field : fields) {
      while (pos < line.size() && line[pos] == ' ') ++pos;
      const size_t stop = line.find(' ', pos);
      if (stop == std::string_view::npos) {
        complete = false;
        break;
      }
      field = line.substr(pos, stop - pos);
      pos = stop + 1;
    }
    if (!complete || fields[5] != kConnectedState) continue;
    if (line.substr(pos) == path) ++count;
  }
  return count;
}

std::string readUnixSocketTable() {
  std::ifstream in("/proc/net/unix");
  if (!in) return "";
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace ulmora::peer
