#include "CommandLine.h"

#include <charconv>
#include <set>

namespace ulmora::kvt {
namespace {

bool isRemote(const std::string& arg) { return arg.find("::") != std::string::npos; }

bool safeName(const std::string& name, bool allowAt) {
  if (name.empty() || name.front() == '.') return false;
  for (char c : name) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '.' || c == '_' || c == '-' || c == '+' || (allowAt && c == '@');
    if (!ok) return false;
  }
  return true;
}

std::optional<int64_t> parseInt(const std::string& text) {
  int64_t value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

// Options the stand-in accepts and does not act on; the real service uses them.
const std::set<std::string> kIgnored = {"port", "timeout", "proxy", "xml-output", "encode",
                                        "relative", "engine"};

struct OperationFlag {
  const char* name;
  Operation operation;
};
constexpr OperationFlag kOperationFlags[] = {
    {"list-changes", Operation::kListChanges},   {"rename", Operation::kRename},
    {"remove", Operation::kRemove},              {"mkdir", Operation::kMkdir},
    {"search", Operation::kSearch},              {"get-quota", Operation::kGetQuota},
    {"quota-fromfile", Operation::kQuotaFromFile}, {"encode-string", Operation::kEncodeString},
    {"list-versions", Operation::kListVersions}, {"restore-version", Operation::kRestoreVersion},
};

Fatal usage(const std::string& what) { return umkvtError("usage: " + what); }

}  // namespace

std::optional<RemoteAddress> parseRemoteAddress(const std::string& text) {
  size_t at = text.find('@');
  size_t colons = text.find("::");
  if (at == std::string::npos || colons == std::string::npos || colons < at) return std::nullopt;
  RemoteAddress remote;
  remote.user = text.substr(0, at);
  remote.server = text.substr(at + 1, colons - at - 1);
  std::string rest = text.substr(colons + 2);
  size_t slash = rest.find('/');
  std::string module = rest.substr(0, slash);
  if (module != "quellar") return std::nullopt;
  auto path = normalizePath(slash == std::string::npos ? "/" : rest.substr(slash));
  if (!path) return std::nullopt;
  remote.path = *path;
  return remote;
}

std::variant<CommandLine, Fatal> parseCommandLine(const std::vector<std::string>& args) {
  CommandLine cmd;
  std::optional<Operation> chosen;
  std::vector<std::string> positional;
  for (const std::string& arg : args) {
    if (arg.rfind("--", 0) != 0) {
      positional.push_back(arg);
      continue;
    }
    size_t eq = arg.find('=');
    std::string name = arg.substr(2, eq == std::string::npos ? std::string::npos : eq - 2);
    std::optional<std::string> value;
    if (eq != std::string::npos) value = arg.substr(eq + 1);
    auto needValue = [&]() -> bool { return value.has_value() && !value->empty(); };

    bool isOperation = false;
    for (const OperationFlag& flag : kOperationFlags) {
      if (name != flag.name) continue;
      if (chosen) return usage("more than one operation given");
      chosen = flag.operation;
      isOperation = true;
    }
    if (isOperation) {
      if (name == "list-changes" || name == "restore-version") {
        auto number = value ? parseInt(*value) : std::nullopt;
        if (!number || *number < 0) return usage("--" + name + " needs a number");
        (name == "list-changes" ? cmd.listIndex : cmd.restoreVersion) = *number;
      }
      continue;
    }
    if (name == "files-from" && needValue()) {
      cmd.setFiles.push_back(*value);
    } else if (name == "seen-versions" && needValue()) {
      cmd.seenVersionsFile = *value;
    } else if (name == "work-dir" && needValue()) {
      cmd.workDir = *value;
    } else if (name == "password-file" && needValue()) {
      cmd.passwordFile = *value;
    } else if (name == "pvt-key" && needValue()) {
      cmd.keyFile = *value;
    } else if (name == "search-key") {
      cmd.searchKey = value.value_or("");
    } else if (name == "mirror" && !value) {
      cmd.mirror = true;
    } else if (name == "include-trash" && !value) {
      cmd.includeTrash = true;
    } else if (!kIgnored.count(name)) {
      return usage("unknown option " + arg);
    }
  }

  std::vector<std::string> remotes;
  std::vector<std::string> locals;
  for (const std::string& arg : positional) (isRemote(arg) ? remotes : locals).push_back(arg);

  if (!chosen) {
    if (positional.size() != 2 || remotes.size() != 1) return usage("a transfer needs L R or R L");
    if (cmd.setFiles.empty()) return usage("a transfer needs --files-from");
    cmd.operation = isRemote(positional[0]) ? Operation::kDownload : Operation::kUpload;
  } else {
    cmd.operation = *chosen;
    if (cmd.operation == Operation::kEncodeString) {
      if (!positional.empty()) return usage("--encode-string takes no address");
      return cmd;
    }
    size_t maxLocals = cmd.operation == Operation::kRestoreVersion ? 1 : 0;
    if (remotes.size() != 1 || locals.size() > maxLocals || positional.front() != remotes.front())
      return usage("expected one remote address");
    bool needsSet = cmd.operation == Operation::kRename || cmd.operation == Operation::kRemove;
    if (needsSet && cmd.setFiles.empty()) return usage("--files-from is required");
  }
  if (!locals.empty()) {
    cmd.localRoot = locals.front();
    if (cmd.localRoot->empty()) return usage("empty local folder");
  }

  auto remote = parseRemoteAddress(remotes.front());
  if (!remote) return usage("bad remote address (expected user@server::quellar/path)");
  if (!safeName(remote->user, false)) return Fatal{kExitAuth, kTextAuthFailed};
  bool absoluteServer = !remote->server.empty() && remote->server.front() == '/';
  if (!absoluteServer && !safeName(remote->server, false))
    return Fatal{kExitConnect, "umkvt: failed to connect to " + remote->server + ": bad server name"};
  cmd.remote = *remote;
  return cmd;
}

}  // namespace ulmora::kvt
