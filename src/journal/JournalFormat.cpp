#include "journal/JournalFormat.h"

#include <algorithm>
#include <cstdint>

namespace ulmora::journal {
namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// "_<digits>" right after the stamp: the chunk number of a numbered list.
std::optional<uint64_t> chunkNumber(std::string_view rest) {
  if (rest.size() < 2 || rest.size() > 20 || rest[0] != '_') return std::nullopt;
  uint64_t n = 0;
  for (char c : rest.substr(1)) {
    if (!isDigit(c)) return std::nullopt;
    n = n * 10 + static_cast<uint64_t>(c - '0');
  }
  return n;
}

bool endsWith(std::string_view text, std::string_view tail) {
  return text.size() >= tail.size() && text.substr(text.size() - tail.size()) == tail;
}

}  // namespace

std::string_view extensionOf(std::string_view name) {
  std::size_t slash = name.rfind('/');
  if (slash != std::string_view::npos) name = name.substr(slash + 1);
  std::size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return {};
  return name.substr(dot + 1);
}

bool isSkipped(std::string_view name, SkipRule rule) {
  if (name == kFinderMetadataName) return true;
  std::string_view ext = extensionOf(name);
  if (ext == kInProgressExtension || ext == kConsumedExtension) return true;
  return rule == SkipRule::kPendingCheck && ext == kSetAsideExtension;
}

bool isTemporaryName(std::string_view name) {
  return !name.empty() && name.front() == '.' && extensionOf(name) == kInProgressExtension;
}

bool hasStampPrefix(std::string_view name) {
  static constexpr std::string_view kPattern = "dddd-dd-dd dd-dd-dd-ddd";
  if (name.size() < kStampLength) return false;
  for (std::size_t i = 0; i < kStampLength; ++i) {
    char p = kPattern[i];
    if (p == 'd' ? !isDigit(name[i]) : name[i] != p) return false;
  }
  return true;
}

bool journalNameLess(std::string_view a, std::string_view b) {
  bool sa = hasStampPrefix(a), sb = hasStampPrefix(b);
  if (sa != sb) return sa;
  if (!sa) return a < b;
  std::string_view stampA = a.substr(0, kStampLength), stampB = b.substr(0, kStampLength);
  if (stampA != stampB) return stampA < stampB;
  std::string_view restA = a.substr(kStampLength), restB = b.substr(kStampLength);
  auto na = chunkNumber(restA), nb = chunkNumber(restB);
  if (na && nb && *na != *nb) return *na < *nb;
  return restA < restB;
}

void sortJournalNames(std::vector<std::string>& names) {
  std::sort(names.begin(), names.end(),
            [](const std::string& a, const std::string& b) { return journalNameLess(a, b); });
}

std::optional<std::string_view> eventTypeOf(std::string_view name) {
  for (std::string_view type : {kEventDelete, kEventRename, kEventCreateFolder})
    if (endsWith(name, type)) return type;
  return std::nullopt;
}

bool canCarryInTextList(std::string_view entry) {
  return entry.find('\n') == std::string_view::npos && entry.find('\0') == std::string_view::npos;
}

bool canCarryInPropertyList(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      if (c < 0x20 && c != '\t' && c != '\n' && c != '\r') return false;
      ++i;
      continue;
    }
    std::size_t len = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 ? 2 : 0;
    if (len == 0 || c > 0xF4 || i + len > text.size()) return false;
    uint32_t cp = c & (0xFF >> (len + 1));
    for (std::size_t k = 1; k < len; ++k) {
      auto cc = static_cast<unsigned char>(text[i + k]);
      if ((cc & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (cc & 0x3F);
    }
    bool overlong = (len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000);
    if (overlong || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    // U+FFFE and U+FFFF are not XML characters.
    if (cp == 0xFFFE || cp == 0xFFFF) return false;
    i += len;
  }
  return true;
}

std::string joinTextList(const std::vector<std::string>& entries) {
  std::size_t total = 0;
  for (const auto& e : entries) total += e.size() + 1;
  std::string out;
  out.reserve(total);
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (i) out.push_back('\n');
    out += entries[i];
  }
  return out;
}

std::vector<std::string> splitTextList(std::string_view contents) {
  std::vector<std::string> out;
  std::size_t start = 0;
  while (start <= contents.size()) {
    std::size_t end = contents.find('\n', start);
    if (end == std::string_view::npos) end = contents.size();
    if (end > start) out.emplace_back(contents.substr(start, end - start));
    start = end + 1;
  }
  return out;
}

}  // namespace ulmora::journal
