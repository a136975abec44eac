#include "foundation/QLUtility.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <charconv>
#include <ctime>
#include <iterator>
#include <memory>

#include "foundation/QLLocalizedString.h"
#include "platform/FileUtil.h"
#include "platform/Trace.h"
#include "platform/UserInfo.h"

namespace ulmora {

namespace {

constexpr char kPortFileKey[] = "KVTPortFile";
constexpr char kDefaultPort[] = "443";
constexpr std::string_view kFinderMetadataName = ".DS_Store";

struct DirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};
using DirHandle = std::unique_ptr<DIR, DirCloser>;

bool isAsciiLetter(unsigned char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

bool sameIgnoringAsciiCase(unsigned char a, unsigned char b) {
  if (a == b) return true;
  if (!isAsciiLetter(a) || !isAsciiLetter(b)) return false;
  return (a | 0x20) == (b | 0x20);
}

std::optional<int> digitsAt(std::string_view text, size_t offset, size_t length) {
  int value = 0;
  for (size_t i = offset; i < offset + length; ++i) {
    char c = text[i];
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  return value;
}

int daysInMonth(int year, int month) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return month == 2 && leap ? 29 : kDays[month - 1];
}

// A name that can stand as exactly one component of a path.
bool isSafeComponent(const std::string& name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find('/') == std::string::npos && name.find('\0') == std::string::npos;
}

// A name as it may appear in a trace line: control bytes would break the line.
std::string printable(std::string_view name) {
  std::string out(name);
  for (char& c : out) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  }
  return out;
}

std::string_view trimmed(std::string_view text) {
  const char* blanks = " \t\r\n";
  size_t begin = text.find_first_not_of(blanks);
  if (begin == std::string_view::npos) return {};
  size_t end = text.find_last_not_of(blanks);
  return text.substr(begin, end - begin + 1);
}

// Whether an entry of a folder being walked is itself a folder, without
// following a symlink.
bool entryIsFolder(const std::string& folder, const dirent& entry) {
  if (entry.d_type == DT_DIR) return true;
  if (entry.d_type != DT_UNKNOWN) return false;
  struct stat st;
  std::string path = folder + "/" + entry.d_name;
  return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

constexpr std::string_view kHome = "%HOME%";
constexpr std::string_view kConsoleUser = "%CONSOLEUSER%";
constexpr std::string_view kSyncUser = "%SYNCUSER%";
constexpr std::string_view kPlaceholders[] = {kHome, kConsoleUser, kSyncUser};

// What a placeholder of a path template stands for; nullopt (traced) when
// it has no value that is safe in a path.
std::optional<std::string> placeholderValue(std::string_view token, const std::string& consoleUser,
                                            const std::string& syncUser) {
  if (token == kHome) {
    std::string home = QLUtility::getConsoleUserPathForUser(consoleUser);
    if (home.empty() || home.front() != '/') {
      traceLine("fillPathTemplate: no usable home folder for user '" + printable(consoleUser) +
                "'");
      return std::nullopt;
    }
    // Templates put their own separator after the home folder.
    while (!home.empty() && home.back() == '/') home.pop_back();
    return home;
  }
  bool isConsoleUser = token == kConsoleUser;
  std::string name = isConsoleUser ? consoleUser : syncUser;
  if (isConsoleUser && name.empty()) name = QLUtility::currentConsoleUserName();
  if (!isSafeComponent(name)) {
    traceLine(std::string("fillPathTemplate: ") + (isConsoleUser ? "console" : "sync") +
              " user name '" + printable(name) + "' is not usable in a path");
    return std::nullopt;
  }
  return name;
}

}  // namespace

bool QLUtility::isFileExists(const std::string& path) {
  struct stat st;
  return !path.empty() && stat(path.c_str(), &st) == 0;
}

bool QLUtility::isDirectory(const std::string& path) {
  struct stat st;
  return !path.empty() && stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool QLUtility::isSymbolicLink(const std::string& path) {
  return !path.empty() && fileutil::isSymlink(path);
}

void QLUtility::removeFile(const std::string& path) {
  if (path.empty() || !fileutil::exists(path)) return;
  fileutil::removeAll(path);
}

std::string QLUtility::getFileSize(const std::string& path) {
  std::optional<int64_t> size = path.empty() ? std::nullopt : fileutil::fileSize(path);
  return size ? std::to_string(*size) : std::string("0");
}

bool QLUtility::doesContainsFile(const std::string& path) {
  if (!isDirectory(path)) return true;
  std::vector<std::string> pending{path};
  while (!pending.empty()) {
    std::string folder = std::move(pending.back());
    pending.pop_back();
    DirHandle dir(opendir(folder.c_str()));
    if (!dir) {
      traceLine("doesContainsFile: cannot read " + folder + "; counted as holding files");
      return true;
    }
    while (const dirent* entry = readdir(dir.get())) {
      std::string_view name = entry->d_name;
      if (name == "." || name == "..") continue;
      if (entryIsFolder(folder, *entry)) {
        pending.push_back(folder + "/" + std::string(name));
      } else if (name != kFinderMetadataName) {
        return true;
      }
    }
  }
  return false;
}

std::optional<Clock::WallTime> QLUtility::dateFromString(std::string_view text) {
  if (text.size() < 19) return std::nullopt;
  std::optional<int> year = digitsAt(text, 0, 4), month = digitsAt(text, 5, 2),
                     day = digitsAt(text, 8, 2), hour = digitsAt(text, 11, 2),
                     minute = digitsAt(text, 14, 2), second = digitsAt(text, 17, 2);
  if (!year || !month || !day || !hour || !minute || !second) return std::nullopt;
  if (*month < 1 || *month > 12 || *day < 1 || *day > daysInMonth(*year, *month) ||
      *hour > 23 || *minute > 59 || *second > 59)
    return std::nullopt;
  std::tm fields{};
  fields.tm_year = *year - 1900;
  fields.tm_mon = *month - 1;
  fields.tm_mday = *day;
  fields.tm_hour = *hour;
  fields.tm_min = *minute;
  fields.tm_sec = *second;
  fields.tm_isdst = -1;
  std::time_t seconds = std::mktime(&fields);
  return std::chrono::system_clock::from_time_t(seconds);
}

bool QLUtility::CompareString(std::string_view a, std::string_view b, bool caseSensitive) {
  if (a.size() != b.size()) return false;
  for (size_t i = a.size(); i-- > 0;) {
    auto x = static_cast<unsigned char>(a[i]);
    auto y = static_cast<unsigned char>(b[i]);
    if (caseSensitive ? x != y : !sameIgnoringAsciiCase(x, y)) return false;
  }
  return true;
}

bool QLUtility::isString(std::optional<std::string_view> text,
                         std::optional<std::string_view> key) {
  // Foundation never finds an empty text, so neither do we.
  if (!text || !key || key->empty()) return false;
  return text->find(*key) != std::string_view::npos;
}

std::string QLUtility::currentConsoleUserName() { return UserInfo::currentUserName(); }

std::string QLUtility::currentConsoleUserID() { return std::to_string(UserInfo::currentUserId()); }

std::string QLUtility::getConsoleUserPathForUser(const std::string& userName) {
  std::optional<std::string> home =
      userName.empty() ? UserInfo::homeFolder() : UserInfo::homeFolderForUser(userName);
  return home.value_or(std::string());
}

std::optional<std::string> QLUtility::machineID() { return UserInfo::machineId(); }

std::string QLUtility::machineName() { return UserInfo::machineName(); }

std::string QLUtility::MacOSVersion() { return "10.15"; }

std::vector<pid_t> QLUtility::processIDsForUserName(const std::string& processName,
                                                    const std::string& userName) {
  return UserInfo::processIdsForUserName(processName, userName);
}

std::string QLUtility::portParam() {
  std::string portFile = pathForTemplateKey(kPortFileKey, std::string());
  std::optional<std::string> contents =
      portFile.empty() ? std::nullopt : fileutil::readFile(portFile);
  if (!contents) return std::string("--port=") + kDefaultPort;
  std::string_view text = trimmed(*contents);
  int port = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), port);
  // A port the engine would reject (or read differently) is worse than the
  // service's standard one.
  if (text.empty() || error != std::errc() || end != text.data() + text.size() || port < 1 ||
      port > 65535) {
    traceLine("portParam: " + portFile + " holds no port number; using " + kDefaultPort);
    return std::string("--port=") + kDefaultPort;
  }
  return "--port=" + std::to_string(port);
}

std::optional<std::string> QLUtility::fillPathTemplate(std::string_view pathTemplate,
                                                       const std::string& consoleUser,
                                                       const std::string& syncUser) {
  // One pass, so a name that happens to contain a placeholder stays literal.
  std::string path;
  for (size_t at = 0; at < pathTemplate.size();) {
    std::string_view rest = pathTemplate.substr(at);
    auto token = std::find_if(std::begin(kPlaceholders), std::end(kPlaceholders),
                              [&](std::string_view t) { return rest.starts_with(t); });
    if (token == std::end(kPlaceholders)) {
      path += pathTemplate[at++];
      continue;
    }
    std::optional<std::string> value = placeholderValue(*token, consoleUser, syncUser);
    if (!value) return std::nullopt;
    path += *value;
    at += token->size();
  }
  return path;
}

std::string QLUtility::pathForTemplateKey(std::string_view key, const std::string& consoleUser) {
  std::string pathTemplate = QLLocalizedString(key);
  if (pathTemplate.empty() || pathTemplate == key) return std::string();
  return fillPathTemplate(pathTemplate, consoleUser).value_or(std::string());
}

}  // namespace ulmora
