#include "SetFile.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <fstream>

namespace ulmora::kvt {
namespace {

std::string withoutTrailingSlashes(std::string text) {
  while (text.size() > 1 && text.back() == '/') text.pop_back();
  return text;
}

// The root line and the command line may spell one folder differently
// (relative, through a link); what counts is that they are the same folder.
bool sameFolder(const std::string& a, const std::string& b) {
  if (withoutTrailingSlashes(a) == withoutTrailingSlashes(b)) return true;
  struct stat sa {};
  struct stat sb {};
  return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && S_ISDIR(sa.st_mode) &&
         sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

}  // namespace

// What a refused line is shown as: a line of any length is echoed back at
// most this long.
static std::string shownLine(const std::string& line) {
  constexpr size_t kShown = 256;
  return line.size() <= kShown ? line : line.substr(0, kShown) + "...";
}

std::variant<std::vector<SetEntry>, Fatal> readSetFile(const std::string& path,
                                                        const SetFileOptions& options) {
  // Every line of a full set at its longest, and the root line.
  const size_t maxLines = kMaxSetEntries * (options.pairs ? 2 : 1) + 1;
  const size_t maxBytes = maxLines * (kMaxSetLineBytes + 1);
  std::string text;
  {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) return umkvtError("cannot read set file " + path + ": " + std::strerror(errno));
    const std::streamoff size = in.tellg();
    if (size < 0 || static_cast<size_t>(size) > maxBytes)
      return umkvtError("set file " + path + " is larger than " + std::to_string(maxBytes) +
                        " bytes");
    text.resize(static_cast<size_t>(size));
    in.seekg(0);
    in.read(text.data(), size);
    text.resize(static_cast<size_t>(in.gcount()));
  }

  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    if (end > start) lines.emplace_back(text.substr(start, end - start));
    start = end + 1;
  }
  if (options.hasRootLine && !lines.empty() && lines[0].size() > kMaxSetLineBytes)
    return umkvtError("set file root " + shownLine(lines[0]) + " is longer than " +
                      std::to_string(kMaxSetLineBytes) + " bytes");

  size_t first = 0;
  if (options.hasRootLine) {
    if (lines.empty()) return umkvtError("set file " + path + " has no root line");
    if (!sameFolder(lines[0], options.localRoot))
      return umkvtError("set file root " + lines[0] + " is not the local folder " +
                        options.localRoot);
    first = 1;
  }
  size_t count = lines.size() - first;
  if (options.pairs && count % 2 != 0)
    return umkvtError("rename set file " + path + " holds an odd number of lines");
  if ((options.pairs ? count / 2 : count) > kMaxSetEntries)
    return umkvtError("set file " + path + " holds more than 950 paths");

  std::vector<SetEntry> entries;
  entries.reserve(count);
  for (size_t i = first; i < lines.size(); ++i) {
    if (lines[i].size() > kMaxSetLineBytes) {
      entries.push_back(SetEntry{shownLine(lines[i]), std::nullopt});
      continue;
    }
    SetEntry entry{lines[i], normalizePath(lines[i])};
    if (entry.path && entry.path->isRoot()) entry.path.reset();
    entries.push_back(std::move(entry));
  }
  return entries;
}

}  // namespace ulmora::kvt
