#include "capture/CapturePaths.h"

#include <cstdint>

namespace ulmora::capturepath {

std::string_view withoutTrailingSlash(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  return path;
}

std::string normalizedRelative(std::string_view relativePath) {
  std::string_view trimmed = withoutTrailingSlash(relativePath);
  if (trimmed.empty() || trimmed == "/") return {};
  std::string out;
  out.reserve(trimmed.size() + 1);
  if (trimmed.front() != '/') out.push_back('/');
  out.append(trimmed);
  return out;
}

bool isSameOrBelow(std::string_view path, std::string_view ancestor) {
  ancestor = withoutTrailingSlash(ancestor);
  if (ancestor.empty()) return false;
  if (path.substr(0, ancestor.size()) != ancestor) return false;
  if (path.size() == ancestor.size()) return true;
  return ancestor == "/" || path[ancestor.size()] == '/';
}

bool isValidUtf8(std::string_view text) {
  size_t i = 0;
  const size_t n = text.size();
  while (i < n) {
    const auto c = static_cast<uint8_t>(text[i]);
    if (c < 0x80) {
      ++i;
      continue;
    }
    int extra;
    uint32_t cp;
    if ((c & 0xE0) == 0xC0) {
      extra = 1;
      cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      extra = 2;
      cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      extra = 3;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (i + extra >= n) return false;
    for (int k = 1; k <= extra; ++k) {
      const auto cc = static_cast<uint8_t>(text[i + k]);
      if ((cc & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (cc & 0x3F);
    }
    static constexpr uint32_t kMinimum[] = {0, 0x80, 0x800, 0x10000};
    if (cp < kMinimum[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += extra + 1;
  }
  return true;
}

std::string escapedName(std::string_view name) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(name.size());
  auto escapeByte = [&out](uint8_t c) {
    out += "\\x";
    out.push_back(kHex[c >> 4]);
    out.push_back(kHex[c & 0xF]);
  };
  for (size_t i = 0; i < name.size();) {
    const auto c = static_cast<uint8_t>(name[i]);
    if (c == '\n') {
      out += "\\n";
      ++i;
      continue;
    }
    if (c < 0x20 || c == 0x7F) {
      escapeByte(c);
      ++i;
      continue;
    }
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
      ++i;
      continue;
    }
    const size_t length = (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 1;
    if (length > 1 && i + length <= name.size() && isValidUtf8(name.substr(i, length))) {
      out.append(name.substr(i, length));
      i += length;
    } else {
      escapeByte(c);
      ++i;
    }
  }
  return out;
}

bool staysInsideRoot(std::string_view relativePath) {
  if (relativePath.find('\0') != std::string_view::npos) return false;
  size_t i = 0;
  while (i <= relativePath.size()) {
    size_t end = relativePath.find('/', i);
    if (end == std::string_view::npos) end = relativePath.size();
    const std::string_view part = relativePath.substr(i, end - i);
    if (part == "." || part == "..") return false;
    i = end + 1;
  }
  return true;
}

namespace {
bool allDigits(std::string_view text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}
}  // namespace

bool isEngineWorkingFileName(std::string_view name) {
  static constexpr std::string_view kMark = ".kvt-part.";
  if (name.empty() || name.front() != '.') return false;
  const size_t mark = name.rfind(kMark);
  if (mark == std::string_view::npos) return false;
  std::string_view tail = name.substr(mark + kMark.size());
  if (mark == 0) {
    // ".kvt-part.PID.N"
    const size_t dot = tail.find('.');
    return dot != std::string_view::npos && allDigits(tail.substr(0, dot)) &&
           allDigits(tail.substr(dot + 1));
  }
  return mark > 1 && allDigits(tail);  // ".NAME.kvt-part.PID"
}

}  // namespace ulmora::capturepath
