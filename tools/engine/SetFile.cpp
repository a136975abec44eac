#include "SetFile.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

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

std::variant<std::vector<SetEntry>, Fatal> readSetFile(const std::string& path,
                                                        const SetFileOptions& options) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return umkvtError("cannot read set file " + path + ": " + std::strerror(errno));
  std::stringstream buffer;
  buffer << in.rdbuf();
  const std::string text = buffer.str();

  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    if (end > start) lines.emplace_back(text.substr(start, end - start));
    start = end + 1;
  }

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
    SetEntry entry{lines[i], normalizePath(lines[i])};
    if (entry.path && entry.path->isRoot()) entry.path.reset();
    entries.push_back(std::move(entry));
  }
  return entries;
}

}  // namespace ulmora::kvt
