#include "ServerOperations.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

namespace ulmora::kvt {
namespace {

std::string asciiLower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; });
  return text;
}

}  // namespace

std::string formatModTime(int64_t mtimeNs) {
  time_t seconds = time_t(mtimeNs / 1000000000);
  if (mtimeNs < 0 && mtimeNs % 1000000000 != 0) --seconds;
  struct tm local {};
  localtime_r(&seconds, &local);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  return text;
}

ServerOperations::ServerOperations(RunContext& context, const CommandLine& cmd)
    : ctx_(context), cmd_(cmd) {}

int ServerOperations::summary(const char* op, int status, std::initializer_list<int64_t> counts) {
  std::string fields = std::string(op) + "\t" + std::to_string(status);
  for (int64_t count : counts) {
    fields += '\t';
    fields += std::to_string(count);
  }
  ctx_.out.line("SUMMARY", {fields});
  return status;
}

void ServerOperations::refused(const char* what, const std::string& shown, int error) {
  ctx_.out.line("SFERROR", {escapeField(shown), std::string("SFERROR: ") + what +
                                                    " failed. Reason: " + std::strerror(error)});
}

int ServerOperations::listChanges() {
  std::vector<ListRecord> records = ctx_.store.changesAfter(cmd_.listIndex);
  const std::string rcId = ctx_.faults.rcId.value_or("1");
  ctx_.out.line("COUNT", {std::to_string(records.size())});
  int64_t highest = cmd_.listIndex;
  for (const ListRecord& record : records) {
    const Entry& e = record.entry;
    highest = std::max(highest, e.changeIndex);
    ctx_.out.line("LIST", {std::to_string(e.changeIndex), e.inTrash ? "1" : "0",
                           std::to_string(e.version), std::to_string(e.size),
                           formatModTime(e.mtimeNs), std::to_string(e.refId), rcId,
                           escapeField(e.path), escapeField(record.oldPath)});
  }
  ctx_.out.line("INDEX", {std::to_string(highest)});
  return summary("list", kExitOk, {int64_t(records.size()), highest});
}

int ServerOperations::rename(const std::vector<SetEntry>& pairs) {
  int64_t done = 0;
  int64_t failed = 0;
  for (size_t i = 0; i + 1 < pairs.size(); i += 2) {
    if (ctx_.control.cancelled()) return summary("rename", kExitCancelled, {done, failed});
    const SetEntry& from = pairs[i];
    const SetEntry& to = pairs[i + 1];
    if (!from.path || !to.path) {
      refused("rename", from.path ? to.raw : from.raw, EINVAL);
      ++failed;
      continue;
    }
    if (ctx_.faults.missing.count(from.path->path)) {
      refused("rename", from.path->path, ENOENT);
      ++failed;
      continue;
    }
    const SeenVersion* seen = nullptr;
    if (ctx_.seen) {
      auto found = ctx_.seen->find(from.path->path);
      if (found != ctx_.seen->end()) seen = &found->second;
    }
    Change change = ctx_.store.rename(joinServerPath(cmd_.remote.path.path, from.path->path),
                                      joinServerPath(cmd_.remote.path.path, to.path->path), seen);
    if (change.error == ESTALE) {
      refused("version check", from.path->path, ESTALE);
      ++failed;
      continue;
    }
    if (change.error) {
      refused("rename", from.path->path, change.error);
      ++failed;
      continue;
    }
    for (const auto& [oldPath, newPath] : change.moved)
      ctx_.out.line("RENAMED", {escapeField(oldPath), escapeField(newPath)});
    ++done;
  }
  return summary("rename", failed ? kExitPartial : kExitOk, {done, failed});
}

int ServerOperations::remove(const std::vector<SetEntry>& entries) {
  int64_t done = 0;
  int64_t failed = 0;
  for (const SetEntry& entry : entries) {
    if (ctx_.control.cancelled()) return summary("remove", kExitCancelled, {done, failed});
    if (!entry.path) {
      refused("delete", entry.raw, EINVAL);
      ++failed;
      continue;
    }
    if (ctx_.faults.missing.count(entry.path->path)) {
      refused("delete", entry.path->path, ENOENT);
      ++failed;
      continue;
    }
    const SeenVersion* seen = nullptr;
    if (ctx_.seen) {
      auto found = ctx_.seen->find(entry.path->path);
      if (found != ctx_.seen->end()) seen = &found->second;
    }
    Change change =
        ctx_.store.moveToTrash(joinServerPath(cmd_.remote.path.path, entry.path->path), seen);
    if (change.error == ESTALE) {
      refused("version check", entry.path->path, ESTALE);
      ++failed;
      continue;
    }
    if (change.error) {
      refused("delete", entry.path->path, change.error);
      ++failed;
      continue;
    }
    for (const std::string& path : change.paths) ctx_.out.line("DELETED", {escapeField(path)});
    ++done;
  }
  return summary("remove", failed ? kExitPartial : kExitOk, {done, failed});
}

int ServerOperations::makeFolder() {
  const EnginePath& folder = cmd_.remote.path;
  if (folder.isRoot()) {
    refused("mkdir", folder.path, EINVAL);
    return summary("mkdir", kExitPartial, {0, 1});
  }
  std::string path = folder.isFolder ? folder.path : folder.path + "/";
  Change change = ctx_.store.makeFolders(path);
  if (change.error) {
    refused("mkdir", path, change.error);
    return summary("mkdir", kExitPartial, {0, 1});
  }
  for (const std::string& created : change.paths) ctx_.out.line("CREATED", {escapeField(created)});
  return summary("mkdir", kExitOk, {int64_t(change.paths.size()), 0});
}

int ServerOperations::search() {
  std::string folder = cmd_.remote.path.path;
  if (folder.back() != '/') folder += "/";
  if (!folder.empty() && folder != "/" && !ctx_.store.liveEntry(folder)) {
    Fatal fatal = umkvtError("search: " + folder + ": No such file or directory");
    ctx_.out.fatal(fatal);
    return summary("search", fatal.status, {0});
  }
  const std::string key = asciiLower(cmd_.searchKey);
  int64_t count = 0;
  for (const Entry& e : ctx_.store.entriesUnder(folder, cmd_.includeTrash)) {
    if (!key.empty() && asciiLower(lastName(e.path)).find(key) == std::string::npos) continue;
    bool thumbnail = !e.isDir && ctx_.store.hasThumbnail(e.path);
    ctx_.out.line("FOUND", {std::to_string(e.size), formatModTime(e.mtimeNs),
                            std::to_string(e.version), thumbnail ? "1" : "0",
                            e.inTrash ? "1" : "0", std::to_string(e.refId),
                            e.isDir ? "folder" : "file", escapeField(e.path)});
    ++count;
  }
  return summary("search", kExitOk, {count});
}

int ServerOperations::quota(bool recount) {
  if (ctx_.faults.quotaUnavailable) {
    ctx_.out.raw(kTextQuotaUnavailable);
    return summary("quota", kExitFailure, {});
  }
  AccountStore::Quota quota = recount ? ctx_.store.recountQuota() : ctx_.store.storedQuota();
  ctx_.out.raw("<quota>");
  ctx_.out.raw("<usedquota>" + std::to_string(quota.used) + "</usedquota>");
  ctx_.out.raw("<totalquota>" + std::to_string(ctx_.quotaTotal) + "</totalquota>");
  ctx_.out.raw("<filecount>" + std::to_string(quota.files) + "</filecount>");
  ctx_.out.raw("</quota>");
  return summary("quota", kExitOk, {});
}

int ServerOperations::listVersions() {
  std::optional<Entry> live = ctx_.store.liveEntry(cmd_.remote.path.path);
  if (!live || live->isDir) {
    refused("versions", cmd_.remote.path.path, live ? EISDIR : ENOENT);
    return summary("list-versions", kExitPartial, {0});
  }
  int64_t count = 0;
  for (const VersionRow& row : ctx_.store.versionsOf(live->refId)) {
    ctx_.out.line("VERSION", {std::to_string(row.version), std::to_string(row.size),
                              formatModTime(row.mtimeNs), std::to_string(live->refId),
                              row.version == live->version ? "1" : "0", escapeField(live->path)});
    ++count;
  }
  return summary("list-versions", kExitOk, {count});
}

int ServerOperations::restoreVersion(LocalTree* local) {
  const std::string& path = cmd_.remote.path.path;
  Change change = ctx_.store.restoreVersion(path, cmd_.restoreVersion);
  if (change.error) {
    refused("version restore", path, change.error);
    return summary("restore-version", kExitPartial, {1, 0, 0, 0, 1, 0});
  }
  if (!local) return summary("restore-version", kExitOk, {1, 0, 0, 0, 0, 0});
  TransferRun run(ctx_, *local, "/", "restore-version");
  return run.download({SetEntry{path, cmd_.remote.path}});
}

}  // namespace ulmora::kvt
