#include "EnginePath.h"

namespace ulmora::kvt {

std::vector<std::string> EnginePath::components() const {
  std::vector<std::string> parts;
  size_t start = 1;
  while (start < path.size()) {
    size_t slash = path.find('/', start);
    if (slash == std::string::npos) slash = path.size();
    if (slash > start) parts.emplace_back(path.substr(start, slash - start));
    start = slash + 1;
  }
  return parts;
}

std::optional<EnginePath> normalizePath(std::string_view raw) {
  if (raw.find('\0') != std::string_view::npos) return std::nullopt;
  EnginePath out;
  out.path = "/";
  bool any = false;
  size_t start = 0;
  while (start <= raw.size()) {
    size_t slash = raw.find('/', start);
    if (slash == std::string_view::npos) slash = raw.size();
    std::string_view part = raw.substr(start, slash - start);
    if (part == "." || part == "..") return std::nullopt;
    if (!part.empty()) {
      if (any) out.path += '/';
      out.path.append(part);
      any = true;
    }
    start = slash + 1;
  }
  out.isFolder = !any || raw.back() == '/';
  if (any && out.isFolder) out.path += '/';
  return out;
}

std::string joinServerPath(std::string_view base, std::string_view relative) {
  std::string out(base);
  while (!out.empty() && out.back() == '/') out.pop_back();
  if (relative.empty() || relative.front() != '/') out += '/';
  out.append(relative);
  return out.empty() ? "/" : out;
}

std::string escapeField(std::string_view raw) {
  std::string out;
  out.reserve(raw.size());
  for (char c : raw) {
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      default: out += c;
    }
  }
  return out;
}

std::string unescapeField(std::string_view escaped) {
  std::string out;
  out.reserve(escaped.size());
  for (size_t i = 0; i < escaped.size(); ++i) {
    char c = escaped[i];
    if (c != '\\' || i + 1 == escaped.size()) {
      out += c;
      continue;
    }
    char next = escaped[++i];
    out += next == 't' ? '\t' : next == 'n' ? '\n' : next == 'r' ? '\r' : next;
  }
  return out;
}

std::string prefixUpperBound(std::string_view prefix) {
  std::string bound(prefix);
  while (!bound.empty()) {
    auto last = static_cast<unsigned char>(bound.back());
    if (last < 0xFF) {
      bound.back() = static_cast<char>(last + 1);
      return bound;
    }
    bound.pop_back();
  }
  return bound;
}

std::vector<std::string> parentFolders(std::string_view canonical) {
  std::vector<std::string> parents;
  std::string_view body = canonical;
  if (!body.empty() && body.back() == '/') body.remove_suffix(1);
  size_t slash = body.find('/', 1);
  while (slash != std::string_view::npos) {
    parents.emplace_back(body.substr(0, slash + 1));
    slash = body.find('/', slash + 1);
  }
  return parents;
}

std::string lastName(std::string_view canonical) {
  std::string_view body = canonical;
  if (!body.empty() && body.back() == '/') body.remove_suffix(1);
  size_t slash = body.rfind('/');
  return std::string(slash == std::string_view::npos ? body : body.substr(slash + 1));
}

}  // namespace ulmora::kvt
