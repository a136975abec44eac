#include "Credentials.h"
#include "StorageFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <variant>

namespace ulmora::kvt {
namespace {

constexpr std::string_view kPrefix = "kvt1:";
constexpr std::string_view kMask = "ulmora";

std::string lowered(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return text;
}

std::string withoutLineEnd(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

// Reads a credential file the way the service insists on: a regular file that
// nobody but its owner can read.
std::variant<std::string, Fatal> readSecretFile(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0)
    return Fatal{kExitAuth, "@ERROR: cannot read credential file " + path + ": " +
                                std::strerror(errno)};
  struct stat st {};
  bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  if (ok && (st.st_mode & 077) != 0) {
    ::close(fd);
    return Fatal{kExitAuth, kTextOpenCredentials};
  }
  std::string text;
  char buffer[4096];
  ssize_t n = 0;
  while (ok && (n = ::read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, size_t(n));
  ::close(fd);
  if (!ok || n < 0) return Fatal{kExitAuth, "@ERROR: cannot read credential file " + path};
  auto plain = decodeSecret(withoutLineEnd(text));
  if (!plain) return Fatal{kExitAuth, kTextAuthFailed};
  return *plain;
}

struct AccountRecord {
  std::string password;
  std::optional<std::string> key;
};

// nullopt when the storage has no account table (every login is accepted);
// otherwise the user's record, or nothing for a user not listed.
std::optional<std::optional<AccountRecord>> lookUpAccount(const std::string& storage,
                                                          const std::string& user) {
  std::optional<std::string> table = readStorageFile(storage + "/passwd", kMaxStorageTableBytes);
  // Only a missing table lets everyone in; one that is a link or cannot be
  // read lets nobody in.
  if (!table && errno == ENOENT) return std::nullopt;
  if (!table) return std::optional<AccountRecord>();
  std::istringstream in(*table);
  std::string line;
  const std::string wanted = lowered(user);
  while (std::getline(in, line)) {
    line = withoutLineEnd(line);
    size_t colon = line.find(':');
    if (colon == std::string::npos || lowered(line.substr(0, colon)) != wanted) continue;
    std::string rest = line.substr(colon + 1);
    size_t keyColon = rest.find(':');
    AccountRecord record{rest.substr(0, keyColon), std::nullopt};
    if (keyColon != std::string::npos) record.key = rest.substr(keyColon + 1);
    return std::optional<AccountRecord>(record);
  }
  return std::optional<AccountRecord>();
}

}  // namespace

std::string encodeSecret(std::string_view plain) {
  static const char kHex[] = "0123456789abcdef";
  std::string out(kPrefix);
  for (size_t i = 0; i < plain.size(); ++i) {
    auto byte = static_cast<unsigned char>(plain[i] ^ kMask[i % kMask.size()]);
    out += kHex[byte >> 4];
    out += kHex[byte & 0xF];
  }
  return out;
}

std::optional<std::string> decodeSecret(std::string_view text) {
  if (text.substr(0, kPrefix.size()) != kPrefix) return std::string(text);
  text.remove_prefix(kPrefix.size());
  if (text.size() % 2 != 0) return std::nullopt;
  auto nibble = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  std::string plain;
  for (size_t i = 0; i < text.size(); i += 2) {
    int hi = nibble(text[i]);
    int lo = nibble(text[i + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    plain += static_cast<char>((hi << 4 | lo) ^ kMask[(i / 2) % kMask.size()]);
  }
  return plain;
}

std::optional<Fatal> authenticate(const CommandLine& cmd, const std::string& storage) {
  std::optional<std::string> password;
  std::optional<std::string> key;
  if (cmd.passwordFile) {
    auto read = readSecretFile(*cmd.passwordFile);
    if (auto* fatal = std::get_if<Fatal>(&read)) return *fatal;
    password = std::get<std::string>(read);
  } else if (const char* env = std::getenv("RSYNC_PASSWORD")) {
    password = env;
  }
  if (cmd.keyFile) {
    auto read = readSecretFile(*cmd.keyFile);
    if (auto* fatal = std::get_if<Fatal>(&read)) return *fatal;
    key = std::get<std::string>(read);
  }

  auto account = lookUpAccount(storage, cmd.remote.user);
  if (!account) return std::nullopt;
  if (!account->has_value() || !password) return Fatal{kExitAuth, kTextAuthFailed};
  const AccountRecord& record = **account;
  if (*password != record.password) return Fatal{kExitAuth, kTextPasswordMismatch};
  if (record.key && key != record.key) return Fatal{kExitAuth, kTextKeyMismatch};
  return std::nullopt;
}

}  // namespace ulmora::kvt
