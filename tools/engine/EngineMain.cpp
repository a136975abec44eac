// ulmora-kvt: the stand-in transfer engine. See docs/engine.md.
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <variant>
#include <vector>

#include "AccountStore.h"
#include "CommandLine.h"
#include "Credentials.h"
#include "FaultPlan.h"
#include "LocalTree.h"
#include "OutputSink.h"
#include "RunControl.h"
#include "ServerOperations.h"
#include "SetFile.h"
#include "TransferRun.h"
#include "platform/Clock.h"

namespace ulmora::kvt {
namespace {

constexpr int64_t kDefaultQuotaTotal = int64_t(10) * 1024 * 1024 * 1024;

const char* opName(Operation op) {
  switch (op) {
    case Operation::kUpload: return "upload";
    case Operation::kDownload: return "download";
    case Operation::kListChanges: return "list";
    case Operation::kRename: return "rename";
    case Operation::kRemove: return "remove";
    case Operation::kMkdir: return "mkdir";
    case Operation::kSearch: return "search";
    case Operation::kGetQuota:
    case Operation::kQuotaFromFile: return "quota";
    case Operation::kEncodeString: return "encode";
    case Operation::kListVersions: return "list-versions";
    case Operation::kRestoreVersion: return "restore-version";
  }
  return "unknown";
}

int failRun(OutputSink& out, const char* op, const Fatal& fatal) {
  out.fatal(fatal);
  out.line("SUMMARY", {op, std::to_string(fatal.status)});
  return fatal.status;
}

std::variant<std::string, Fatal> storageFolder(const RemoteAddress& remote) {
  std::string folder;
  if (remote.server.front() == '/') {
    folder = remote.server;
  } else {
    const char* root = std::getenv("ULMORA_STORAGE_ROOT");
    if (!root || !*root)
      return Fatal{kExitConnect,
                   "umkvt: failed to connect to " + remote.server + ": storage root not set"};
    folder = std::string(root) + "/" + remote.server;
  }
  struct stat st {};
  if (::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
    return Fatal{kExitConnect, "umkvt: failed to connect to " + remote.server + ": " +
                                   std::strerror(errno ? errno : ENOTDIR)};
  return folder;
}

std::variant<std::vector<SetEntry>, Fatal> readSets(const CommandLine& cmd) {
  SetFileOptions options;
  bool transfer = cmd.operation == Operation::kUpload || cmd.operation == Operation::kDownload;
  options.hasRootLine = transfer && !cmd.mirror;
  options.localRoot = cmd.localRoot.value_or("");
  options.pairs = cmd.operation == Operation::kRename;
  std::vector<SetEntry> all;
  for (const std::string& file : cmd.setFiles) {
    auto read = readSetFile(file, options);
    if (auto* fatal = std::get_if<Fatal>(&read)) return *fatal;
    auto& entries = std::get<std::vector<SetEntry>>(read);
    all.insert(all.end(), entries.begin(), entries.end());
  }
  return all;
}

int runEncode(OutputSink& out) {
  const char* plain = std::getenv("RSYNC_PASSWORD");
  if (!plain) return failRun(out, "encode", umkvtError("nothing to encode: RSYNC_PASSWORD unset"));
  out.line("ENCODED", {encodeSecret(plain)});
  out.line("SUMMARY", {"encode", "0"});
  return kExitOk;
}

int dispatch(const CommandLine& cmd, RunContext& ctx) {
  auto sets = readSets(cmd);
  if (auto* fatal = std::get_if<Fatal>(&sets)) return failRun(ctx.out, opName(cmd.operation), *fatal);
  const auto& entries = std::get<std::vector<SetEntry>>(sets);
  std::unique_ptr<LocalTree> local;
  if (cmd.localRoot) {
    local = std::make_unique<LocalTree>(*cmd.localRoot);
    if (!local->valid())
      return failRun(ctx.out, opName(cmd.operation),
                     umkvtError("local folder " + *cmd.localRoot + ": " + std::strerror(errno)));
  }
  ServerOperations server(ctx, cmd);
  switch (cmd.operation) {
    case Operation::kUpload:
      return TransferRun(ctx, *local, cmd.remote.path.path, "upload").upload(entries);
    case Operation::kDownload:
      return TransferRun(ctx, *local, cmd.remote.path.path, "download").download(entries);
    case Operation::kListChanges: return server.listChanges();
    case Operation::kRename: return server.rename(entries);
    case Operation::kRemove: return server.remove(entries);
    case Operation::kMkdir: return server.makeFolder();
    case Operation::kSearch: return server.search();
    case Operation::kGetQuota: return server.quota(true);
    case Operation::kQuotaFromFile: return server.quota(false);
    case Operation::kListVersions: return server.listVersions();
    case Operation::kRestoreVersion: return server.restoreVersion(local.get());
    case Operation::kEncodeString: break;
  }
  return kExitFailure;
}

int runEngine(const std::vector<std::string>& args) {
  RunControl::installSignalHandlers();
  OutputSink out;
  auto parsed = parseCommandLine(args);
  if (auto* fatal = std::get_if<Fatal>(&parsed)) return failRun(out, "usage", *fatal);
  const CommandLine& cmd = std::get<CommandLine>(parsed);
  const char* op = opName(cmd.operation);
  if (cmd.operation == Operation::kEncodeString) return runEncode(out);

  auto storage = storageFolder(cmd.remote);
  if (auto* fatal = std::get_if<Fatal>(&storage)) return failRun(out, op, *fatal);
  const std::string& folder = std::get<std::string>(storage);
  FaultPlan faults = FaultPlan::load(folder);
  if (auto fatal = faults.refusal(cmd.remote.server)) return failRun(out, op, *fatal);
  if (auto fatal = authenticate(cmd, folder)) return failRun(out, op, *fatal);

  try {
    ::mkdir((folder + "/accounts").c_str(), 0700);
    std::string user = cmd.remote.user;
    for (char& c : user)
      if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    AccountStore store(folder + "/accounts/" + user);
    RunControl control(cmd.workDir, faults.slowBytesPerSecond, out, Clock::systemClock());
    RunContext ctx{store, faults, control, out, faults.quotaTotal.value_or(kDefaultQuotaTotal)};
    SeenVersions seen;
    if (cmd.seenVersionsFile) {
      auto read = readSeenVersions(*cmd.seenVersionsFile);
      if (auto* fatal = std::get_if<Fatal>(&read)) return failRun(out, op, *fatal);
      seen = std::move(std::get<SeenVersions>(read));
      ctx.seen = &seen;
    }
    return dispatch(cmd, ctx);
  } catch (const StoreError& error) {
    return failRun(out, op, umkvtError(std::string("storage: ") + error.what()));
  }
}

}  // namespace
}  // namespace ulmora::kvt

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  return ulmora::kvt::runEngine(args);
}
