#include "platform/UserInfo.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdlib>
#include <memory>

namespace ulmora {
namespace {

// A password-database entry together with the storage its strings live in.
struct PasswdEntry {
  passwd entry{};
  std::vector<char> storage;
};

template <typename Lookup>
std::optional<PasswdEntry> lookUpPasswd(Lookup lookup) {
  PasswdEntry result;
  long suggested = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  result.storage.resize(suggested > 0 ? static_cast<size_t>(suggested) : 4096);
  while (true) {
    passwd* found = nullptr;
    int error = lookup(&result.entry, result.storage.data(), result.storage.size(), &found);
    if (error == ERANGE && result.storage.size() < (1u << 20)) {
      result.storage.resize(result.storage.size() * 2);
      continue;
    }
    if (error != 0 || found == nullptr) return std::nullopt;
    return result;
  }
}

std::optional<PasswdEntry> passwdForUid(uid_t uid) {
  return lookUpPasswd([uid](passwd* entry, char* buffer, size_t size, passwd** found) {
    return ::getpwuid_r(uid, entry, buffer, size, found);
  });
}

std::optional<PasswdEntry> passwdForName(const std::string& name) {
  return lookUpPasswd([&name](passwd* entry, char* buffer, size_t size, passwd** found) {
    return ::getpwnam_r(name.c_str(), entry, buffer, size, found);
  });
}

std::optional<std::string> environmentValue(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr || *value == '\0') return std::nullopt;
  return std::string(value);
}

// Small files only (/proc entries report size 0, so no stat-based sizing).
std::optional<std::string> readSmallFile(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::string contents;
  char buffer[4096];
  ssize_t n;
  while ((n = ::read(fd, buffer, sizeof buffer)) != 0) {
    if (n < 0) {
      if (errno == EINTR) continue;
      ::close(fd);
      return std::nullopt;
    }
    contents.append(buffer, static_cast<size_t>(n));
    if (contents.size() > (1u << 20)) break;
  }
  ::close(fd);
  return contents;
}

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && isSpace(text.front())) text.remove_prefix(1);
  while (!text.empty() && isSpace(text.back())) text.remove_suffix(1);
  return text;
}

bool isAsciiAlphanumeric(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

std::optional<pid_t> parsePid(std::string_view name) {
  pid_t pid = 0;
  auto [end, error] = std::from_chars(name.data(), name.data() + name.size(), pid);
  if (error != std::errc() || end != name.data() + name.size() || pid <= 0) return std::nullopt;
  return pid;
}

// The effective uid from the "Uid:" line of /proc/<pid>/status, for a process
// that is still alive (not a zombie). The owner of /proc/<pid> itself turns to
// root for non-dumpable processes, so it is not used.
std::optional<uid_t> liveProcessOwner(const std::string& procFolder) {
  auto status = readSmallFile(procFolder + "/status");
  if (!status) return std::nullopt;
  std::string_view text(*status);
  if (size_t state = text.find("\nState:"); state != std::string_view::npos &&
                                             trimmed(text.substr(state + 7, 4)).starts_with("Z")) {
    return std::nullopt;
  }
  size_t at = text.find("\nUid:");
  if (at == std::string_view::npos) return std::nullopt;
  text.remove_prefix(at + 5);
  text = text.substr(0, text.find('\n'));
  // Real, effective, saved, file-system uid.
  uid_t uids[2] = {0, 0};
  for (uid_t& uid : uids) {
    text = trimmed(text);
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), uid);
    if (error != std::errc()) return std::nullopt;
    text.remove_prefix(static_cast<size_t>(end - text.data()));
  }
  return uids[1];
}

bool processHasName(const std::string& procFolder, std::string_view name) {
  if (auto comm = readSmallFile(procFolder + "/comm")) {
    std::string_view command(*comm);
    if (!command.empty() && command.back() == '\n') command.remove_suffix(1);
    if (command == name) return true;
  }
  auto cmdline = readSmallFile(procFolder + "/cmdline");
  if (!cmdline || cmdline->empty()) return false;  // kernel threads have none
  std::string_view argv0(cmdline->c_str());
  size_t slash = argv0.rfind('/');
  if (slash != std::string_view::npos) argv0.remove_prefix(slash + 1);
  return argv0 == name;
}

}  // namespace

std::string UserInfo::currentUserName() {
  if (auto entry = passwdForUid(::geteuid())) return entry->entry.pw_name;
  return environmentValue("USER").value_or("");
}

uid_t UserInfo::currentUserId() { return ::geteuid(); }

std::optional<std::string> UserInfo::homeFolder() {
  if (auto home = environmentValue("HOME"); home && home->front() == '/') return home;
  if (auto entry = passwdForUid(::geteuid()); entry && entry->entry.pw_dir[0] == '/') {
    return std::string(entry->entry.pw_dir);
  }
  return std::nullopt;
}

std::optional<std::string> UserInfo::homeFolderForUser(const std::string& userName) {
  if (userName.empty()) return std::nullopt;
  if (userName == currentUserName()) return homeFolder();
  if (auto entry = passwdForName(userName); entry && entry->entry.pw_dir[0] == '/') {
    return std::string(entry->entry.pw_dir);
  }
  return std::nullopt;
}

std::optional<std::string> UserInfo::machineId() {
  return machineIdFromFiles({"/etc/machine-id", "/var/lib/dbus/machine-id"});
}

std::optional<std::string> UserInfo::machineIdFromFiles(const std::vector<std::string>& paths) {
  for (const auto& path : paths) {
    auto contents = readSmallFile(path);
    if (!contents) continue;
    std::string_view id = trimmed(*contents);
    if (!id.empty()) return std::string(id);
  }
  return std::nullopt;
}

std::string UserInfo::machineName() {
  char host[HOST_NAME_MAX + 1] = {};
  if (::gethostname(host, sizeof host - 1) != 0) return "";
  std::string name(host);
  name.erase(std::remove_if(name.begin(), name.end(), [](char c) { return !isAsciiAlphanumeric(c); }),
             name.end());
  return name;
}

std::vector<pid_t> UserInfo::processIdsForUserName(std::string_view processName,
                                                   const std::string& userName) {
  std::vector<pid_t> pids;
  if (processName.empty()) return pids;
  auto owner = passwdForName(userName);
  if (!owner) return pids;
  const uid_t uid = owner->entry.pw_uid;

  std::unique_ptr<DIR, int (*)(DIR*)> proc(::opendir("/proc"), &::closedir);
  if (!proc) return pids;
  while (dirent* entry = ::readdir(proc.get())) {
    auto pid = parsePid(entry->d_name);
    if (!pid) continue;
    // A process may end while it is looked at; its files then fail to read
    // and it simply does not match.
    std::string folder = "/proc/" + std::string(entry->d_name);
    if (liveProcessOwner(folder) == uid && processHasName(folder, processName)) pids.push_back(*pid);
  }
  std::sort(pids.begin(), pids.end());
  return pids;
}

}  // namespace ulmora
