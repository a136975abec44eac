#include "SeenVersions.h"

#include <cerrno>
#include <charconv>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <string_view>

#include "EnginePath.h"

namespace ulmora::kvt {
namespace {

std::optional<int64_t> number(std::string_view text) {
  int64_t value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

// Floor division: a time before the epoch still falls into its own second.
int64_t wholeSeconds(int64_t ns) {
  int64_t s = ns / 1000000000;
  return (ns % 1000000000 < 0) ? s - 1 : s;
}

}  // namespace

bool isUnseenVersion(int64_t size, int64_t mtimeNs, int64_t refId, const SeenVersion& seen) {
  if (seen.refId != 0 && refId != seen.refId) return true;
  return size != seen.size || wholeSeconds(mtimeNs) != seen.mtimeSeconds;
}

std::variant<SeenVersions, Fatal> readSeenVersions(const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return umkvtError("cannot read version file " + file + ": " + std::strerror(errno));
  SeenVersions seen;
  std::string line;
  while (std::getline(in, line)) {
    std::string_view rest(line);
    std::optional<int64_t> fields[3];
    bool ok = true;
    for (int i = 0; i < 3 && ok; ++i) {
      size_t tab = rest.find('\t');
      if (tab == std::string_view::npos) {
        ok = false;
        break;
      }
      std::string_view field = rest.substr(0, tab);
      fields[i] = field.empty() && i == 2 ? std::optional<int64_t>(0) : number(field);
      ok = fields[i].has_value();
      rest.remove_prefix(tab + 1);
    }
    if (!ok || *fields[0] < 0) continue;
    auto path = normalizePath(rest);
    if (!path || path->isFolder || path->isRoot()) continue;
    seen[path->path] = SeenVersion{*fields[0], *fields[1], *fields[2]};
  }
  return seen;
}

}  // namespace ulmora::kvt
