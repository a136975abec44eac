#include "engine/EngineSetFiles.h"

#include <unordered_set>

#include "platform/FileUtil.h"
#include "platform/Trace.h"

namespace ulmora::engineset {

std::vector<std::string> dedupe(const std::vector<std::string>& entries) {
  std::vector<std::string> out;
  out.reserve(entries.size());
  std::unordered_set<std::string_view> seen;
  seen.reserve(entries.size());
  for (const std::string& e : entries) {
    if (seen.insert(e).second) out.push_back(e);
  }
  return out;
}

bool hasComponentPrefix(std::string_view path, std::string_view prefix) {
  if (prefix.empty()) return false;
  // "/A/" and "/A" name the same folder.
  while (prefix.size() > 1 && prefix.back() == '/') prefix.remove_suffix(1);
  if (prefix == "/") return !path.empty() && path.front() == '/';
  if (path.substr(0, prefix.size()) != prefix) return false;
  return path.size() == prefix.size() || path[prefix.size()] == '/';
}

bool isListablePath(std::string_view path) {
  return !path.empty() && path.find_first_of(std::string_view("\n\r\0", 3)) == std::string_view::npos;
}

std::optional<std::vector<std::string>> writeSetFiles(const std::string& folder,
                                                      std::string_view stem,
                                                      const std::vector<std::string>& entries,
                                                      const std::optional<std::string>& firstLine) {
  std::vector<std::string> files;
  std::string body;
  std::size_t inBody = 0;
  auto flush = [&]() -> bool {
    if (inBody == 0) return true;
    std::string path = fileutil::joinPath(folder, std::string(stem) + "_" + std::to_string(files.size() + 1));
    std::string contents = firstLine ? *firstLine + "\n" + body : body;
    if (!fileutil::writeFileAtomically(path, contents, fileutil::kOwnerOnlyFile)) return false;
    files.push_back(std::move(path));
    body.clear();
    inBody = 0;
    return true;
  };
  for (const std::string& e : entries) {
    if (!isListablePath(e)) {
      traceLine("engine set file: a path with a line break or NUL was left out of the set");
      continue;
    }
    body += e;
    body += '\n';
    if (++inBody == kMaxPathsPerSetFile && !flush()) return std::nullopt;
  }
  if (!flush()) return std::nullopt;
  return files;
}

std::string joinLines(const std::vector<std::string>& entries) {
  std::string out;
  for (const std::string& entry : entries) {
    if (!out.empty()) out += '\n';
    out += entry;
  }
  return out;
}

std::string seenVersionLines(const std::vector<std::string>& entries, const SeenVersions& seen) {
  std::string out;
  for (const std::string& e : entries) {
    auto found = seen.find(e);
    if (found == seen.end() || !isListablePath(e)) continue;
    const SeenVersion& v = found->second;
    out += std::to_string(v.size) + '\t' + std::to_string(v.mtimeSeconds) + '\t' + v.refId + '\t' + e + '\n';
  }
  return out;
}

}  // namespace ulmora::engineset
