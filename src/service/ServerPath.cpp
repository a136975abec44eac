#include "service/ServerPath.h"

#include <cstdio>

namespace ulmora::serverpath {

std::optional<std::string> whyUnsafe(std::string_view path) {
  if (path.empty()) return "empty path";
  if (path.find('\0') != std::string_view::npos) return "NUL byte in path";
  bool anyName = false;
  bool first = true;
  size_t start = 0;
  while (start <= path.size()) {
    size_t slash = path.find('/', start);
    std::string_view part =
        path.substr(start, slash == std::string_view::npos ? std::string_view::npos : slash - start);
    if (part == "." || part == "..") return "dot component in path";
    if (!part.empty()) {
      if (first && part == kCacheFolderName) return "path inside the cache folder";
      first = false;
      anyName = true;
    }
    if (slash == std::string_view::npos) break;
    start = slash + 1;
  }
  if (!anyName) return "path names the root itself";
  return std::nullopt;
}

std::string withLeadingSlash(std::string_view path) {
  if (!path.empty() && path.front() == '/') return std::string(path);
  std::string out = "/";
  out.append(path);
  return out;
}

std::string forTrace(std::string_view path) {
  constexpr size_t kLimit = 512;
  std::string out;
  for (size_t i = 0; i < path.size() && i < kLimit; ++i) {
    unsigned char c = static_cast<unsigned char>(path[i]);
    if (c < 0x20 || c == 0x7f) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  if (path.size() > kLimit) out += "...";
  return out;
}

}  // namespace ulmora::serverpath
