#include "journal/JournalFolder.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <unordered_map>

#include "foundation/JournalStampGenerator.h"
#include "foundation/QLUtility.h"
#include "platform/FileUtil.h"
#include "platform/Trace.h"

namespace ulmora {
namespace {

// Attempts at a free name before a publish gives up; each takes a fresh
// stamp, so only a folder filled with stamps far in the future exhausts it.
constexpr int kPublishAttempts = 1000;

// When this process loaded the journal code, before any writer of it ran:
// an in-progress file older than that is a leftover of an earlier run. A
// second back, so that a file system's coarse time stamps cannot make an
// unfinished file of a run ended just before this one look newer.
const std::chrono::system_clock::time_point kLoadedAt =
    std::chrono::system_clock::now() - std::chrono::seconds(1);

std::string normalized(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

std::shared_ptr<std::atomic<uint64_t>> counterFor(const std::string& path) {
  static std::mutex mutex;
  static std::unordered_map<std::string, std::shared_ptr<std::atomic<uint64_t>>> counters;
  std::lock_guard<std::mutex> lock(mutex);
  auto& slot = counters[path];
  if (!slot) slot = std::make_shared<std::atomic<uint64_t>>(0);
  return slot;
}

void traceErrno(std::string_view what, std::string_view path, int err) {
  std::string line = "journal: ";
  line.append(what).append(" '").append(path).append("' failed: ").append(std::strerror(err));
  traceLine(line);
}

// Writes `contents` to a new uniquely named in-progress file beside the
// final name and flushes it; returns its path.
std::optional<std::string> writeInProgress(const std::string& folder, std::string_view baseName,
                                           std::string_view contents) {
  static constexpr std::string_view kTail = ".progress";
  std::string tmpl = folder + "/." + std::string(baseName) + ".XXXXXX" + std::string(kTail);
  int fd = ::mkostemps(tmpl.data(), static_cast<int>(kTail.size()), O_CLOEXEC);
  if (fd < 0) {
    traceErrno("creating in-progress file in", folder, errno);
    return std::nullopt;
  }
  const char* step = nullptr;
  std::size_t done = 0;
  while (!step && done < contents.size()) {
    ssize_t n = ::write(fd, contents.data() + done, contents.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) step = "write";
    else done += static_cast<std::size_t>(n);
  }
  if (!step && ::fchmod(fd, fileutil::kOwnerOnlyFile) != 0) step = "fchmod";
  // Flushed before it gets its final name: after a crash a published name
  // never shows a part of its list.
  if (!step && ::fdatasync(fd) != 0) step = "fdatasync";
  if (::close(fd) != 0 && !step) step = "close";
  if (step) {
    int err = errno;
    ::unlink(tmpl.c_str());
    traceErrno(std::string(step) + " of in-progress file", tmpl, err);
    return std::nullopt;
  }
  return tmpl;
}

}  // namespace

JournalFolder::JournalFolder(std::string path)
    : path_(normalized(std::move(path))), counter_(counterFor(path_)) {}

std::string JournalFolder::pathFor(std::string_view name) const {
  return fileutil::joinPath(path_, name);
}

bool JournalFolder::ensureExists() const {
  if (!valid()) return false;
  return fileutil::makeDirectories(path_, fileutil::kOwnerOnlyFolder);
}

std::vector<std::string> JournalFolder::names() const {
  if (!valid()) return {};
  auto listed = fileutil::listDirectory(path_);
  if (!listed) return {};
  journal::sortJournalNames(*listed);
  return std::move(*listed);
}

std::vector<std::string> JournalFolder::eligibleNames(journal::SkipRule rule) const {
  std::vector<std::string> out;
  for (auto& name : names())
    if (!journal::isSkipped(name, rule)) out.push_back(std::move(name));
  return out;
}

bool JournalFolder::hasEligible(journal::SkipRule rule) const {
  if (!valid()) return false;
  auto listed = fileutil::listDirectory(path_);
  if (!listed) return false;
  for (const auto& name : *listed)
    if (!journal::isSkipped(name, rule)) return true;
  return false;
}

std::optional<std::string> JournalFolder::read(std::string_view name) const {
  if (!valid()) return std::nullopt;
  return fileutil::readFile(pathFor(name));
}

std::optional<std::string> JournalFolder::publish(JournalStampGenerator& stamps,
                                                  std::string_view suffix,
                                                  std::string_view contents) const {
  std::string tail(suffix);
  return publishWithStamp(stamps, stamps.next(),
                          [&tail](const std::string& stamp) { return stamp + tail; }, contents);
}

std::optional<std::string> JournalFolder::publishWithStamp(
    JournalStampGenerator& stamps, const std::string& firstStamp,
    const std::function<std::string(const std::string&)>& nameForStamp,
    std::string_view contents) const {
  if (!valid()) {
    traceLine("journal: no folder to publish into");
    return std::nullopt;
  }
  std::string name = nameForStamp(firstStamp);
  auto temp = writeInProgress(path_, name, contents);
  if (!temp) return std::nullopt;
  for (int attempt = 0; attempt < kPublishAttempts; ++attempt) {
    if (attempt > 0) name = nameForStamp(stamps.next());
    switch (fileutil::renameNoReplace(*temp, pathFor(name))) {
      case fileutil::RenameResult::kOk:
        noteChange();
        return name;
      case fileutil::RenameResult::kTargetExists:
        continue;
      case fileutil::RenameResult::kFailed:
        attempt = kPublishAttempts;
        break;
    }
  }
  ::unlink(temp->c_str());
  traceLine("journal: could not publish '" + name + "' in '" + path_ + "'");
  return std::nullopt;
}

bool JournalFolder::consume(std::string_view name) const {
  if (!valid()) return false;
  std::string from = pathFor(name);
  std::string to = from + "." + std::string(journal::kConsumedExtension);
  if (::rename(from.c_str(), to.c_str()) != 0) {
    traceErrno("consuming", from, errno);
    return false;
  }
  noteChange();
  return true;
}

bool JournalFolder::setAside(std::string_view name) const {
  if (!valid()) return false;
  std::string target = std::string(name) + "." + std::string(journal::kSetAsideExtension);
  return moveNoReplace(pathFor(name), target);
}

bool JournalFolder::moveNoReplace(const std::string& from, std::string_view toName) const {
  std::string to = pathFor(toName);
  for (int n = 2; n < kPublishAttempts; ++n) {
    switch (fileutil::renameNoReplace(from, to)) {
      case fileutil::RenameResult::kOk:
        noteChange();
        return true;
      case fileutil::RenameResult::kTargetExists:
        to = pathFor(std::string(toName.substr(0, toName.rfind('.'))) + "-" + std::to_string(n) +
                     std::string(toName.substr(toName.rfind('.'))));
        continue;
      case fileutil::RenameResult::kFailed:
        return false;
    }
  }
  return false;
}

void JournalFolder::removeConsumed() const {
  bool removed = false;
  for (const auto& name : names()) {
    if (journal::extensionOf(name) != journal::kConsumedExtension) continue;
    fileutil::removeAll(pathFor(name));
    removed = true;
  }
  if (removed) noteChange();
}

void JournalFolder::clear() const {
  if (!valid()) return;
  fileutil::removeAll(path_);
  noteChange();
  ensureExists();
}

std::optional<std::string> JournalFolder::oldestStamp() const {
  // names() is in journal order: stamped names first, oldest first.
  for (const auto& name : names()) {
    if (journal::hasStampPrefix(name)) return name.substr(0, journal::kStampLength);
  }
  return std::nullopt;
}

std::optional<std::string> JournalFolder::newestStamp() const {
  std::optional<std::string> newest;
  for (const auto& name : names()) {
    if (!journal::hasStampPrefix(name)) break;  // unstamped names sort last
    newest = name.substr(0, journal::kStampLength);
  }
  return newest;
}

bool JournalFolder::holdsFilesBesidesTemporaries() const {
  if (!fileutil::isDirectory(path_)) return QLUtility::doesContainsFile(path_);
  auto listed = fileutil::listDirectory(path_);
  if (!listed) return true;
  for (const auto& name : *listed) {
    if (journal::isTemporaryName(name)) continue;
    std::string path = pathFor(name);
    if (!fileutil::isDirectory(path) || QLUtility::doesContainsFile(path)) return true;
  }
  return false;
}

void JournalFolder::removeTemporariesFrom(std::chrono::system_clock::time_point cutoff) const {
  if (!valid()) return;
  auto listed = fileutil::listDirectory(path_);
  if (!listed) return;
  const auto cutoffNanos =
      std::chrono::duration_cast<std::chrono::nanoseconds>(cutoff.time_since_epoch()).count();
  bool removed = false;
  for (const auto& name : *listed) {
    if (!journal::isTemporaryName(name)) continue;
    struct stat st {};
    std::string path = pathFor(name);
    if (::lstat(path.c_str(), &st) != 0) continue;
    const int64_t changed = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    if (changed >= cutoffNanos) continue;
    if (::unlink(path.c_str()) == 0) {
      removed = true;
      traceLine("journal: removed the unfinished file '" + path + "' of an earlier run");
    }
  }
  if (removed) noteChange();
}

void JournalFolder::removeStampedBefore(const std::optional<std::string>& stamp) const {
  bool removed = false;
  for (const auto& name : names()) {
    if (!journal::hasStampPrefix(name)) continue;
    if (stamp && std::string_view(name).substr(0, journal::kStampLength) >= *stamp) break;
    fileutil::removeAll(pathFor(name));
    removed = true;
  }
  if (removed) noteChange();
}

void JournalFolder::removeContents(const std::function<void(const std::string&)>& onEach) const {
  bool removed = false;
  for (const auto& name : names()) {
    if (onEach) onEach(name);
    fileutil::removeAll(pathFor(name));
    removed = true;
  }
  if (removed) noteChange();
}

uint64_t JournalFolder::changeCount() const { return counter_->load(std::memory_order_acquire); }

void JournalFolder::noteChange() const { counter_->fetch_add(1, std::memory_order_acq_rel); }

namespace journal {

void cleanUploadCounts(const JournalFolder& uploads, const JournalFolder& counts, bool onlyConsumed) {
  if (!counts.valid()) return;
  if (onlyConsumed)
    counts.removeStampedBefore(uploads.oldestStamp());
  else
    counts.clear();
}

void takeUpFolderAtStart(const JournalFolder& folder, JournalStampGenerator& stamps) {
  folder.removeTemporariesFrom(kLoadedAt);
  if (auto newest = folder.newestStamp()) stamps.keepAbove(*newest);
}

}  // namespace journal
}  // namespace ulmora
