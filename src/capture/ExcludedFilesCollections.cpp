#include "capture/ExcludedFilesCollections.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <iterator>

#include <unordered_set>
#include <utility>

#include "capture/CaptureInputQueue.h"
#include "capture/CapturePaths.h"
#include "foundation/QLBackupProgressLogger.h"
#include "journal/JournalFormat.h"
#include "journal/SyncRootPath.h"
#include "platform/FileUtil.h"
#include "platform/PropertyList.h"
#include "platform/Trace.h"

namespace ulmora {
namespace {

// The sync's own cache folder at the root (see SyncFilesController).
constexpr std::string_view kCacheFolder = ".UMSCache";

std::vector<std::string> splitLines(std::string_view text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (!line.empty()) lines.emplace_back(line);
    start = end + 1;
  }
  return lines;
}

// Whether `key` or one of its ancestors is in `set` (whole components).
bool coveredBy(const std::string& key, const std::unordered_set<std::string>& set) {
  if (set.empty() || key.empty()) return false;
  std::string_view path = key;
  while (!path.empty()) {
    if (set.count(std::string(path))) return true;
    const size_t slash = path.rfind('/');
    if (slash == std::string_view::npos || slash == 0) break;
    path = path.substr(0, slash);
  }
  return false;
}

constexpr int64_t kSecondNs = 1000000000;

int64_t nanoseconds(const struct timespec& t) { return int64_t(t.tv_sec) * kSecondNs + t.tv_nsec; }

int64_t wholeSeconds(int64_t ns) { return ns / kSecondNs - (ns % kSecondNs < 0 ? 1 : 0); }

// A size a transfer's report gives; nullopt when it gives none that can be read.
std::optional<int64_t> reportedBytes(std::string_view text) {
  int64_t bytes = -1;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), bytes);
  if (ec != std::errc() || end != text.data() + text.size() || bytes < 0) return std::nullopt;
  return bytes;
}

std::optional<ExcludedFilesCollections::FileFacts> regularFileFacts(const std::string& fullPath) {
  struct stat st {};
  if (::lstat(fullPath.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  return ExcludedFilesCollections::FileFacts{uint64_t(st.st_dev), uint64_t(st.st_ino), uint32_t(st.st_mode),
                                             int64_t(st.st_size), nanoseconds(st.st_mtim),
                                             nanoseconds(st.st_ctim)};
}

}  // namespace

ExcludedFilesCollections::ExcludedFilesCollections(Config config)
    : config_(std::move(config)),
      root_(config_.syncRoot),
      rules_(std::make_shared<ExclusionRules>(ExclusionRules::builtInDefaults(), config_.syncRoot)),
      ruleLists_(ExclusionRules::builtInDefaults()) {}

void ExcludedFilesCollections::setSyncRootPath(std::string root) {
  {
    MutexLock hold(rootMutex_);
    root_ = std::move(root);
  }
  // Full-path rules are made relative with the root: compile them again.
  ExclusionRules::Lists lists;
  {
    MutexLock hold(rulesMutex_);
    lists = ruleLists_;
  }
  setExclusionLists(lists);
}

std::string ExcludedFilesCollections::syncRootPath() const {
  MutexLock hold(rootMutex_);
  return root_;
}

std::string ExcludedFilesCollections::relativeKey(std::string_view path) const {
  return capturepath::normalizedRelative(SyncRootPath(syncRootPath()).relative(path));
}

std::string ExcludedFilesCollections::fullKey(std::string_view path) const {
  return std::string(capturepath::withoutTrailingSlash(SyncRootPath(syncRootPath()).full(path)));
}

// --- Exclusion rules ---------------------------------------------------------

bool ExcludedFilesCollections::loadExcludedFileListFor(const std::string& syncUser) {
  std::optional<PropertyList> preferences;
  if (!config_.preferencesPath.empty()) preferences = PropertyList::readFile(config_.preferencesPath);
  if (!preferences) {
    traceLine("exclusion rules: no preferences at \"" + config_.preferencesPath +
              "\"; the built-in rules apply");
    setExclusionLists(ExclusionRules::builtInDefaults());
    return false;
  }
  setExclusionLists(ExclusionRules::listsFromPreferences(*preferences, syncUser));
  return true;
}

void ExcludedFilesCollections::setExclusionLists(const ExclusionRules::Lists& lists) {
  auto compiled = std::make_shared<const ExclusionRules>(lists, syncRootPath());
  MutexLock hold(rulesMutex_);
  ruleLists_ = lists;
  rules_ = std::move(compiled);
}

std::shared_ptr<const ExclusionRules> ExcludedFilesCollections::exclusionRules() const {
  MutexLock hold(rulesMutex_);
  return rules_;
}

bool ExcludedFilesCollections::isInCacheFolder(std::string_view relativePath) {
  constexpr std::string_view kCache = kCacheFolder;
  while (!relativePath.empty() && relativePath.front() == '/') relativePath.remove_prefix(1);
  if (relativePath.substr(0, kCache.size()) != kCache) return false;
  return relativePath.size() == kCache.size() || relativePath[kCache.size()] == '/';
}

bool ExcludedFilesCollections::shouldExcludeFile(const std::string& path) const {
  const SyncRootPath root(syncRootPath());
  std::shared_ptr<const ExclusionRules> rules = exclusionRules();
  if (root.known()) {
    // The sync keeps the server's deleted and replaced copies in the cache
    // folder at the root; uploading them would bring them back to every
    // computer, under the cache's name.
    const std::string relative = root.relative(path);
    return isInCacheFolder(relative) || rules->excludes(relative);
  }
  // Without a root the folders above the item say nothing about it.
  return rules->excludesEntry(fileutil::lastComponent(capturepath::withoutTrailingSlash(path)));
}

// --- Application's exclusion set ----------------------------------------------

void ExcludedFilesCollections::addToExclude(const std::string& path) {
  if (path.empty()) return;
  std::string key = fullKey(path);
  MutexLock hold(excludeMutex_);
  ++excluded_[std::move(key)];
}

void ExcludedFilesCollections::removeFromExclude(const std::string& path) {
  if (path.empty()) return;
  const std::string key = fullKey(path);
  MutexLock hold(excludeMutex_);
  auto it = excluded_.find(key);
  if (it != excluded_.end() && --it->second <= 0) excluded_.erase(it);
}

bool ExcludedFilesCollections::isExcludedByApplication(const std::string& path) const {
  const std::string key = fullKey(path);
  MutexLock hold(excludeMutex_);
  return excluded_.count(key) != 0;
}

// --- Renames ------------------------------------------------------------------

void ExcludedFilesCollections::addToAvoidRename(const RenameEntry& rename) {
  RenameEntry key{relativeKey(rename.originalPath), relativeKey(rename.renamedPath)};
  if (key.originalPath.empty() || key.renamedPath.empty()) return;
  MutexLock hold(renameMutex_);
  avoidRenames_.insert(std::move(key));
}

bool ExcludedFilesCollections::consumeAvoidedRename(const RenameEntry& rename) {
  const RenameEntry key{relativeKey(rename.originalPath), relativeKey(rename.renamedPath)};
  MutexLock hold(renameMutex_);
  auto it = avoidRenames_.find(key);
  if (it == avoidRenames_.end()) return false;
  avoidRenames_.erase(it);
  return true;
}

void ExcludedFilesCollections::clearRenameFilter() {
  MutexLock hold(renameMutex_);
  avoidRenames_.clear();
}

// --- Auto-deletes -------------------------------------------------------------

void ExcludedFilesCollections::AaddToAvoidAutoDelete(const std::string& path) {
  std::string key = relativeKey(path);
  if (key.empty()) return;
  MutexLock hold(autoDeleteMutex_);
  autoDeleted_.insert(std::move(key));
}

bool ExcludedFilesCollections::consumeAutoDelete(const std::string& path) {
  const std::string key = relativeKey(path);
  if (key.empty()) return false;
  MutexLock hold(autoDeleteMutex_);
  if (autoDeleted_.erase(key)) return true;
  // Deleting a folder removes what it holds first; those deletes are the
  // sync's too, and the folder's entry stays for the folder's own delete.
  std::string_view ancestor = key;
  while (true) {
    const size_t slash = ancestor.rfind('/');
    if (slash == std::string_view::npos || slash == 0) return false;
    ancestor = ancestor.substr(0, slash);
    if (autoDeleted_.count(std::string(ancestor))) return true;
  }
}

void ExcludedFilesCollections::clearAutoDeleteList() {
  MutexLock hold(autoDeleteMutex_);
  autoDeleted_.clear();
}

// --- Folder creation ----------------------------------------------------------

void ExcludedFilesCollections::setFoldersFromRestore(const std::set<std::string>& serverFolderPaths) {
  std::set<std::string> keys;
  for (const std::string& path : serverFolderPaths) {
    std::string key = relativeKey(path);
    if (!key.empty()) keys.insert(std::move(key));
  }
  MutexLock hold(foldersFromRestoreMutex_);
  foldersFromRestore_ = std::move(keys);
}

void ExcludedFilesCollections::addToAvoidFolderCreation(const std::string& path) {
  std::string key = relativeKey(path);
  if (key.empty()) return;
  MutexLock hold(folderCreationMutex_);
  avoidFolderCreation_.insert(std::move(key));
}

bool ExcludedFilesCollections::isFolderCreationAvoided(const std::string& path) const {
  const std::string key = relativeKey(path);
  {
    MutexLock hold(folderCreationMutex_);
    if (avoidFolderCreation_.count(key)) return true;
  }
  MutexLock hold(foldersFromRestoreMutex_);
  return foldersFromRestore_.count(key) != 0;
}

void ExcludedFilesCollections::clearFolderCreationFilter() {
  MutexLock hold(folderCreationMutex_);
  avoidFolderCreation_.clear();
}

// --- Downloads ----------------------------------------------------------------

const ExcludedFilesCollections::PathFilters* ExcludedFilesCollections::filtersOf(const std::string& key) const {
  auto it = pathFilters_.find(key);
  return it == pathFilters_.end() ? nullptr : &it->second;
}

ExcludedFilesCollections::PathFilters* ExcludedFilesCollections::filtersOf(const std::string& key) {
  auto it = pathFilters_.find(key);
  return it == pathFilters_.end() ? nullptr : &it->second;
}

void ExcludedFilesCollections::changeFilters(const std::string& key, void (PathFilters::*change)()) {
  auto it = pathFilters_.find(key);
  if (it == pathFilters_.end()) return;
  (it->second.*change)();
  if (it->second.empty()) pathFilters_.erase(it);
}

void ExcludedFilesCollections::addToAvoidBackup(const std::string& path) {
  std::string key = relativeKey(path);
  if (key.empty()) return;
  MutexLock hold(avoidBackupMutex_);
  seenAtRename_.erase(key);
  PathFilters& filters = pathFilters_[std::move(key)];
  filters.dropOwn();
  filters.setMark(++markSequence_);
}

void ExcludedFilesCollections::expectDownload(const std::string& path, int64_t size, int64_t modifiedNs) {
  const std::string key = relativeKey(path);
  MutexLock hold(avoidBackupMutex_);
  PathFilters* filters = filtersOf(key);
  if (filters && filters->marked && !filters->written) {
    filters->expected = std::make_pair(size, modifiedNs);
    filters->hasExpected = true;
  }
}

std::optional<ExcludedFilesCollections::FileFacts> ExcludedFilesCollections::versionDownloadedHere(
    const std::string& path) const {
  const std::string key = relativeKey(path);
  MutexLock hold(avoidBackupMutex_);
  // A file replaced by a rename over it, or edited, may go up before its
  // upload entry met the mark.
  const PathFilters* filters = filtersOf(key);
  if (!filters) return std::nullopt;
  if (filters->marked && filters->written) return filters->facts;
  if (!filters->own || !filters->ownDownloaded) return std::nullopt;
  return filters->ownFacts();
}

std::optional<ExcludedFilesCollections::FileFacts> ExcludedFilesCollections::versionAheadOfRow(
    const std::string& path, std::optional<std::pair<int64_t, int64_t>> rowSizeAndSeconds) {
  const std::string key = relativeKey(path);
  MutexLock hold(avoidBackupMutex_);
  const PathFilters* filters = filtersOf(key);
  if (!filters || !filters->own) return std::nullopt;
  const FileFacts left = filters->ownFacts();
  if (rowSizeAndSeconds &&
      *rowSizeAndSeconds == std::make_pair(left.size, wholeSeconds(left.modifiedNs))) {
    changeFilters(key, &PathFilters::dropOwn);
    return std::nullopt;
  }
  return left;
}

void ExcludedFilesCollections::renamedHere(const std::string& from, const std::string& to,
                                           std::optional<SeenAtRename> seenAtFrom) {
  const std::string fromKey = relativeKey(from), toKey = relativeKey(to);
  if (toKey.empty() || fromKey == toKey) return;
  MutexLock hold(avoidBackupMutex_);
  // The server's file left the former name: what was known of it there no
  // longer tells what stands there.
  seenAtRename_.erase(fromKey);
  // A transfer at the new name before the rename was of the file replaced.
  changeFilters(toKey, &PathFilters::dropOwn);
  if (seenAtFrom) {
    seenAtRename_.insert_or_assign(toKey, std::move(*seenAtFrom));
  } else {
    seenAtRename_.erase(toKey);
  }
}

void ExcludedFilesCollections::rowGoesWithFile(const std::string& path, std::optional<SeenAtRename> seenInRow) {
  const std::string key = relativeKey(path);
  if (key.empty() || !seenInRow) return;
  MutexLock hold(avoidBackupMutex_);
  seenAtRename_.insert_or_assign(key, std::move(*seenInRow));
}

std::optional<ExcludedFilesCollections::SeenAtRename> ExcludedFilesCollections::versionHandedOnByRename(
    const std::string& path, std::optional<std::pair<int64_t, int64_t>> rowSizeAndSeconds) {
  const std::string key = relativeKey(path);
  MutexLock hold(avoidBackupMutex_);
  auto it = seenAtRename_.find(key);
  if (it == seenAtRename_.end()) return std::nullopt;
  if (rowSizeAndSeconds && *rowSizeAndSeconds == std::make_pair(it->second.size, it->second.mtimeSeconds)) {
    seenAtRename_.erase(it);
    return std::nullopt;
  }
  return it->second;
}

bool ExcludedFilesCollections::isRenamedHereTo(const std::string& path) const {
  const std::string key = relativeKey(path);
  MutexLock hold(avoidBackupMutex_);
  return seenAtRename_.count(key) != 0;
}

void ExcludedFilesCollections::downloadRunStarting() {
  MutexLock hold(avoidBackupMutex_);
  runStartSequence_ = markSequence_;
}

ExcludedFilesCollections::FinishedFile ExcludedFilesCollections::finishedFile(const std::string& path,
                                                                            std::string_view reportedSize) const {
  FinishedFile done{relativeKey(path), std::nullopt, false};
  const SyncRootPath root(syncRootPath());
  if (done.key.empty() || !root.known()) return done;
  done.facts = regularFileFacts(root.full(done.key));
  const std::optional<int64_t> reported = reportedBytes(reportedSize);
  done.asReported = done.facts && reported && done.facts->size == *reported;
  return done;
}

void ExcludedFilesCollections::uploadArrived(const std::string& path, std::string_view reportedSize) {
  const FinishedFile done = finishedFile(path, reportedSize);
  if (done.key.empty()) return;
  MutexLock hold(avoidBackupMutex_);
  seenAtRename_.erase(done.key);
  // Changed since it was read for the upload, or gone: what arrived is not
  // known here.
  if (done.asReported) {
    pathFilters_[done.key].setOwn(*done.facts, false);
  } else {
    changeFilters(done.key, &PathFilters::dropOwn);
  }
}

void ExcludedFilesCollections::downloadWritten(const std::string& path, std::string_view reportedSize) {
  const FinishedFile done = finishedFile(path, reportedSize);
  const std::string& key = done.key;
  const std::optional<FileFacts>& facts = done.facts;
  if (key.empty()) return;
  MutexLock hold(avoidBackupMutex_);
  seenAtRename_.erase(key);
  if (!facts) {
    changeFilters(key, &PathFilters::dropMark);
    changeFilters(key, &PathFilters::dropOwn);
    return;
  }
  PathFilters& filters = pathFilters_[key];
  // A download queued into a run that failed before it lost its mark with
  // that run, and a later run fetched it: its write is still the server's
  // copy, and the version an edit on top of it replaces.
  if (!filters.marked) filters.setMark(++markSequence_);
  // The user may write the file between the download's write and this
  // report: what is there then is an edit on top of what was written.
  // An expectation is of one write: a later download of the path queued
  // without one (a re-query) writes another version.
  const std::optional<std::pair<int64_t, int64_t>> expected =
      filters.hasExpected ? std::optional(filters.expected) : std::nullopt;
  filters.hasExpected = false;
  const bool editedBeforeReport =
      expected && (expected->first != facts->size || wholeSeconds(expected->second) != wholeSeconds(facts->modifiedNs));
  FileFacts wrote = *facts;
  if (editedBeforeReport) {
    wrote = FileFacts{};
    wrote.size = expected->first;
    wrote.modifiedNs = expected->second;
  }
  filters.setWritten(wrote);
  // The server's version is known from the listing that queued the
  // download, or from a file still of the size the report gives.
  if (editedBeforeReport || done.asReported) {
    filters.setOwn(wrote, true);
  } else {
    filters.dropOwn();
  }
}

bool ExcludedFilesCollections::isChangedSinceDownload(const std::string& path) const {
  const std::string key = relativeKey(path);
  const SyncRootPath root(syncRootPath());
  if (key.empty() || !root.known()) return false;
  const std::optional<FileFacts> now = regularFileFacts(root.full(key));
  if (!now) return false;
  MutexLock hold(avoidBackupMutex_);
  // Only the content counts here: a mode changed since is no edit to keep
  // from being replaced.
  auto differs = [&](const FileFacts& written) {
    return written.size != now->size || written.modifiedNs != now->modifiedNs;
  };
  const PathFilters* filters = filtersOf(key);
  if (!filters) return false;
  if (filters->marked) return filters->written && differs(filters->facts);
  // The edit's upload entry went by, and the row still records the version
  // before the download until that upload is done.
  return filters->own && filters->ownDownloaded && differs(filters->ownFacts());
}

bool ExcludedFilesCollections::downloadWrittenSinceQueued(const std::string& path,
                                                          std::optional<int64_t> queuedSize) const {
  const std::string key = relativeKey(path);
  const SyncRootPath root(syncRootPath());
  if (key.empty() || !root.known()) return false;
  FileFacts written;
  {
    MutexLock hold(avoidBackupMutex_);
    const PathFilters* filters = filtersOf(key);
    if (!filters || !filters->marked || !filters->written) return false;
    written = filters->facts;
  }
  if (queuedSize && *queuedSize != written.size) return false;
  const std::optional<FileFacts> now = regularFileFacts(root.full(key));
  return now && now->size == written.size && now->modifiedNs == written.modifiedNs;
}

bool ExcludedFilesCollections::isUntouchedDownload(const std::string& path) const {
  const std::string key = relativeKey(path);
  const SyncRootPath root(syncRootPath());
  if (key.empty() || !root.known()) return false;
  {
    // Most captures are of files no download wrote: no stat for those.
    MutexLock hold(avoidBackupMutex_);
    const PathFilters* filters = filtersOf(key);
    if (!filters || !filters->marked || !filters->written) return false;
  }
  const std::optional<FileFacts> now = regularFileFacts(root.full(key));
  if (!now) return false;
  MutexLock hold(avoidBackupMutex_);
  const PathFilters* filters = filtersOf(key);
  return filters && filters->marked && filters->written && filters->facts == *now;
}

void ExcludedFilesCollections::releasePendingDownloads(const std::vector<std::string>& stillQueued) {
  std::unordered_set<std::string> queued;
  queued.reserve(stillQueued.size());
  for (const std::string& path : stillQueued) queued.insert(relativeKey(path));
  MutexLock hold(avoidBackupMutex_);
  const uint64_t runStart = runStartSequence_;
  for (auto it = pathFilters_.begin(); it != pathFilters_.end();) {
    PathFilters& filters = it->second;
    if (filters.marked && !filters.written && filters.sequence <= runStart && !queued.contains(it->first))
      filters.dropMark();
    it = it->second.empty() ? pathFilters_.erase(it) : std::next(it);
  }
}

void ExcludedFilesCollections::addToAvoidDelete(const std::string& path, const std::string& size) {
  std::string key = relativeKey(path);
  if (key.empty()) return;
  MutexLock hold(avoidBackupMutex_);
  PathFilters& filters = pathFilters_[std::move(key)];
  filters.expectedSize = size;
  filters.hasExpectedSize = true;
}

bool ExcludedFilesCollections::shouldDelete(const std::string& path,
                                            const std::string& currentSize) const {
  const std::string key = relativeKey(path);
  std::string recorded;
  {
    MutexLock hold(avoidBackupMutex_);
    const PathFilters* filters = filtersOf(key);
    if (!filters || !filters->hasExpectedSize) return true;
    recorded = filters->expectedSize;
  }
  const int64_t current = PropertyList(currentSize).integerValue();
  const int64_t expected = PropertyList(recorded).integerValue();
  return current <= expected && currentSize != recorded;
}

void ExcludedFilesCollections::clearDeleteFilter() {
  MutexLock hold(avoidBackupMutex_);
  for (auto it = pathFilters_.begin(); it != pathFilters_.end();) {
    it->second.hasExpectedSize = false;
    std::string().swap(it->second.expectedSize);
    it = it->second.empty() ? pathFilters_.erase(it) : std::next(it);
  }
}

// --- Restore sets -------------------------------------------------------------

void ExcludedFilesCollections::addToRestoreSetOfEngineOne(const std::string& path) {
  std::string key = relativeKey(path);
  if (key.empty()) return;
  MutexLock hold(restoreOneMutex_);
  restoreSetOne_.insert(std::move(key));
}

void ExcludedFilesCollections::addToRestoreSetOfEngineTwo(const std::string& path) {
  std::string key = relativeKey(path);
  if (key.empty()) return;
  MutexLock hold(restoreTwoMutex_);
  restoreSetTwo_.insert(std::move(key));
}

bool ExcludedFilesCollections::isBeingRestored(const std::string& path) const {
  const std::string key = relativeKey(path);
  {
    MutexLock hold(restoreOneMutex_);
    if (restoreSetOne_.count(key)) return true;
  }
  MutexLock hold(restoreTwoMutex_);
  return restoreSetTwo_.count(key) != 0;
}

void ExcludedFilesCollections::clearRestoreSetOfEngineOne() {
  MutexLock hold(restoreOneMutex_);
  restoreSetOne_.clear();
}

void ExcludedFilesCollections::clearRestoreSetOfEngineTwo() {
  MutexLock hold(restoreTwoMutex_);
  restoreSetTwo_.clear();
}

// --- File information ---------------------------------------------------------

void ExcludedFilesCollections::addTomFileInfoChangedManualyList(const std::string& fullPath) {
  if (fullPath.empty()) return;
  std::string key = fullKey(fullPath);
  MutexLock hold(fileInfoMutex_);
  fileInfoChanged_.insert(std::move(key));
}

std::vector<std::string> ExcludedFilesCollections::mFileInfoChangedList() const {
  MutexLock hold(fileInfoMutex_);
  return {fileInfoChanged_.begin(), fileInfoChanged_.end()};
}

bool ExcludedFilesCollections::isFileInfoChangedManualy(const std::string& fullPath) const {
  const std::string key = fullKey(fullPath);
  MutexLock hold(fileInfoMutex_);
  return fileInfoChanged_.count(key) != 0;
}

void ExcludedFilesCollections::clearFileInfoChangedList() {
  MutexLock hold(fileInfoMutex_);
  fileInfoChanged_.clear();
}

// --- Empty folders of a reinitialise ------------------------------------------

void ExcludedFilesCollections::addEmptyFolderDuringReintialze(const std::string& path) {
  std::string_view trimmed = capturepath::withoutTrailingSlash(path);
  if (trimmed.empty() || trimmed == "/") return;
  std::string key(trimmed);
  key.push_back('/');
  MutexLock hold(emptyFoldersMutex_);
  emptyFolders_.insert(std::move(key));
}

std::vector<std::string> ExcludedFilesCollections::emptyFoldersDuringReintialze() const {
  MutexLock hold(emptyFoldersMutex_);
  return {emptyFolders_.begin(), emptyFolders_.end()};
}

void ExcludedFilesCollections::removeEmptyFolderFromList(const std::string& path) {
  std::string key(capturepath::withoutTrailingSlash(path));
  key.push_back('/');
  MutexLock hold(emptyFoldersMutex_);
  emptyFolders_.erase(key);
}

// --- Filters ------------------------------------------------------------------

std::optional<std::vector<std::string>> ExcludedFilesCollections::filterversionRestoredFile(
    const std::vector<std::string>& relativePaths, const SeenInRow& seenInRow) {
  const SyncRootPath root(syncRootPath());
  std::vector<std::string> remaining;
  std::vector<std::string> inSync;
  std::vector<std::string> gone;
  for (const std::string& path : relativePaths) {
    if (path.empty()) continue;
    enum class Mark { kNone, kPending, kWritten, kChanged } mark = Mark::kNone;
    {
      const std::string key = relativeKey(path);
      std::optional<FileFacts> now;
      if (root.known()) now = regularFileFacts(root.full(key));
      MutexLock hold(avoidBackupMutex_);
      if (const PathFilters* found = filtersOf(key); found && found->marked) {
        const PathFilters& m = *found;
        if (!m.written) {
          mark = Mark::kPending;
        } else if (now && *now == m.facts) {
          // The mark stays: this entry may be an older one of the path (the
          // previous download's, or an edit the download replaced), and the
          // entry of this download's own write is still on its way.
          mark = Mark::kWritten;
        } else {
          // What the download wrote stays the version seen here among
          // this computer's own transfers (downloadWritten).
          mark = Mark::kChanged;
          changeFilters(key, &PathFilters::dropMark);
        }
      }
    }
    if (mark == Mark::kPending) {
      traceLine("capture: " + path + " waits for its download; not uploaded");
    } else if (mark == Mark::kWritten) {
      traceLine("capture: " + path + " is the file its download wrote; recorded in sync, not uploaded");
      inSync.push_back(path);
    } else if (root.known() && !fileutil::exists(root.full(path))) {
      // Without a known root nothing can be shown to be gone; keeping the
      // entry costs a failed upload at worst, dropping its row loses it.
      if (rootFoundEmpty()) {
        traceLine("capture: " + path + " is missing from a sync folder found empty; its row stays");
        continue;
      }
      gone.push_back(path);
    } else if (std::optional<std::string> why = whyNotUploadable(root, path)) {
      noteRefusedUpload(path, *why);
    } else {
      remaining.push_back(path);
      MutexLock hold(refusedUploadsMutex_);
      refusedUploads_.erase(path);
    }
  }
  CaptureInputQueue* queue = config_.inputQueue;
  if (!queue && (!inSync.empty() || !gone.empty())) {
    traceLine("capture: no input queue; downloaded and vanished upload entries were not recorded");
  }
  if (queue) {
    for (const std::string& path : inSync) queue->addFileToUpdate({{path, "Backup"}});
    for (const std::string& path : gone) {
      if (seenInRow) rowGoesWithFile(path, seenInRow(path));
      queue->addFileToDelete(path);
    }
  }
  if (remaining.empty()) return std::nullopt;
  return remaining;
}

std::optional<std::string> ExcludedFilesCollections::whyNotUploadable(const SyncRootPath& root,
                                                                    const std::string& relativePath) {
  // One rule for both computers: what the other one's download list could
  // not carry must not reach the service, or the two would never agree.
  if (!journal::canCarryInTextList(relativePath) || !journal::canCarryInPropertyList(relativePath))
    return std::string("its name is not UTF-8 or holds a line break or control character");
  if (!root.known()) return std::nullopt;
  const std::string full = root.full(relativePath);
  struct stat st {};
  if (::lstat(full.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  const int fd = ::open(full.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd >= 0) {
    ::close(fd);
    return std::nullopt;
  }
  if (errno == EACCES || errno == EPERM) return std::string("it cannot be read");
  return std::nullopt;
}

void ExcludedFilesCollections::noteRefusedUpload(const std::string& relativePath,
                                                 const std::string& why) {
  std::function<void(const std::string&)> log;
  {
    MutexLock hold(refusedUploadsMutex_);
    if (!refusedUploads_.insert(relativePath).second) return;
    log = refusedUploadLog_;
  }
  const std::string line = "Not synced up: " + capturepath::escapedName(relativePath) + ": " + why;
  traceLine("capture: " + line);
  if (log) {
    log(line);
  } else {
    QLBackupProgressLogger::progressLogger().logSyncInteractiveSession(line, true);
  }
}

void ExcludedFilesCollections::setRefusedUploadLog(std::function<void(const std::string&)> log) {
  MutexLock hold(refusedUploadsMutex_);
  refusedUploadLog_ = std::move(log);
}

std::vector<std::string> ExcludedFilesCollections::filterDeletedFolderToavoid(
    const std::vector<std::string>& relativePaths) const {
  const SyncRootPath root(syncRootPath());
  std::vector<std::string> gone;
  if (!root.known()) {
    // These paths become deletes on the server: without a root, where the
    // items are is unknown and nothing may be reported gone.
    if (!relativePaths.empty()) traceLine("capture: sync root unknown; no delete is passed on");
    return gone;
  }
  for (const std::string& path : relativePaths) {
    if (path.empty() || root.isRoot(root.full(path))) continue;
    if (!fileutil::exists(root.full(path))) gone.push_back(path);
  }
  return gone;
}

bool ExcludedFilesCollections::isInBackupList(const std::vector<std::string>& deletedRelativePaths) {
  if (deletedRelativePaths.empty() || config_.backupFileEntriesPath.empty()) return false;
  std::optional<std::string> running = fileutil::readFile(config_.backupFileEntriesPath);
  if (!running) return false;
  std::unordered_set<std::string> deleted;
  for (const std::string& path : deletedRelativePaths) {
    std::string key = relativeKey(path);
    if (!key.empty()) deleted.insert(std::move(key));
  }
  std::vector<std::string> kept;
  bool touched = false;
  for (std::string& entry : splitLines(*running)) {
    if (coveredBy(relativeKey(entry), deleted)) {
      touched = true;
    } else {
      kept.push_back(std::move(entry));
    }
  }
  if (!touched) return false;

  std::unordered_set<std::string> written;
  std::string content;
  auto append = [&](const std::string& entry) {
    const std::string key = relativeKey(entry);
    if (coveredBy(key, deleted) || !written.insert(key).second) return;
    if (!content.empty()) content.push_back('\n');
    content.append(entry);
  };
  for (const std::string& entry : kept) append(entry);
  const std::string& afterDeletePath = config_.backupFileEntriesAfterDeletePath;
  if (std::optional<std::string> earlier = fileutil::readFile(afterDeletePath)) {
    for (const std::string& entry : splitLines(*earlier)) append(entry);
  }
  if (afterDeletePath.empty() || !fileutil::writeFileAtomically(afterDeletePath, content)) {
    // The caller re-queries the database for pending uploads, which finds
    // these entries again; the trace tells why the list is missing.
    traceLine("capture: could not write the remaining upload entries to \"" + afterDeletePath + "\"");
  }
  return true;
}

}  // namespace ulmora
