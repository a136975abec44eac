#include "sync/status/ActivityLog.h"

#include <ctime>
#include <sstream>
#include <utility>

#include <pugixml.hpp>

#include "foundation/QLBackupProgressLogger.h"
#include "platform/FileUtil.h"

namespace ulmora {

namespace {

// Length of the valid UTF-8 sequence at `s[i]`, or 0.
std::size_t utf8Length(std::string_view s, std::size_t i) {
  const auto c = static_cast<unsigned char>(s[i]);
  std::size_t len;
  char32_t cp;
  if (c < 0x80) return 1;
  if ((c & 0xE0) == 0xC0) len = 2, cp = c & 0x1F;
  else if ((c & 0xF0) == 0xE0) len = 3, cp = c & 0x0F;
  else if ((c & 0xF8) == 0xF0) len = 4, cp = c & 0x07;
  else return 0;
  if (i + len > s.size()) return 0;
  for (std::size_t k = 1; k < len; ++k) {
    const auto cc = static_cast<unsigned char>(s[i + k]);
    if ((cc & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (cc & 0x3F);
  }
  // Overlong forms, surrogates, beyond U+10FFFF and the two non-characters
  // XML excludes.
  static constexpr char32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
  if (cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF) || cp == 0xFFFE ||
      cp == 0xFFFF)
    return 0;
  return len;
}

}  // namespace

ActivityLog::ActivityLog(std::string activityFolder, std::string sessionLogFolder, const Clock& clock)
    : activityFolder_(std::move(activityFolder)),
      sessionLogFolder_(std::move(sessionLogFolder)),
      clock_(clock) {}

std::string ActivityLog::fileNameFor(Clock::WallTime now) {
  return formatLocalTime(now, "%m-%d-%Y") + "_sync.xml";
}

std::string ActivityLog::currentFilePath() const {
  return fileutil::joinPath(activityFolder_, fileNameFor(clock_.wallNow()));
}

std::string ActivityLog::xmlSafe(std::string_view text) {
  static constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 && c != '\t' && c != '\n' && c != '\r') {
      out += kReplacement;
      ++i;
      continue;
    }
    const std::size_t len = utf8Length(text, i);
    if (len == 0) {
      out += kReplacement;
      ++i;
      continue;
    }
    out.append(text.substr(i, len));
    i += len;
  }
  return out;
}

std::string ActivityLog::constructXMLRequest() const {
  const auto now = clock_.wallNow();
  const std::string logFile = sessionLogFolder_ + formatLocalTime(now, " %m-%d-%Y") + "_sync";
  std::string logName = fileutil::lastComponent(logFile);
  std::erase(logName, ' ');

  pugi::xml_document doc;
  auto decl = doc.append_child(pugi::node_declaration);
  decl.append_attribute("version") = "1.0";
  decl.append_attribute("encoding") = "utf-8";
  auto record = doc.append_child("records").append_child("record");
  const std::pair<const char*, std::string> fields[] = {
      {"datetime", formatLocalTime(now, "%m-%d-%Y %H:%M:%S")},
      {"uname", ""},
      {"status", "--"},
      {"content", ""},
      {"optype", "12"},
      {"lpath", ""},
      {"files", "--"},
      {"filesinsync", ""},
      {"logfile", logFile},
      {"logname", logName},
      {"duration", "--:--:--"},
  };
  for (const auto& [name, value] : fields) {
    auto node = record.append_child(name);
    if (!value.empty()) node.text().set(xmlSafe(value).c_str());
  }
  std::ostringstream out;
  doc.save(out, "\t", pugi::format_default, pugi::encoding_utf8);
  return out.str();
}

bool ActivityLog::CreateXmlLogFile() const {
  if (activityFolder_.empty()) return false;  // a bare name would land in the working folder
  const std::string path = currentFilePath();
  if (!fileutil::isDirectory(activityFolder_)) fileutil::makeDirectories(activityFolder_);
  if (fileutil::writeFileAtomically(path, constructXMLRequest())) return true;
  daemonTrace("activity log: cannot write " + path);
  return false;
}

}  // namespace ulmora
