// Readers and checks: how the sync controller takes journal batches and asks
// what is pending.
#include <unordered_set>

#include "foundation/QLUtility.h"
#include "journal/JournalFormat.h"
#include "journal/JournalReader.h"
#include "journal/UMSDBSyncInputManger.h"

namespace ulmora {
namespace {

PropertyList stringArray(std::vector<std::string> items) {
  PropertyList::Array array;
  array.reserve(items.size());
  for (auto& s : items) array.emplace_back(std::move(s));
  return PropertyList(std::move(array));
}

}  // namespace

PropertyList UMSDBSyncInputManger::readFileFor(const std::string& code) {
  if (code == journal::kCodeUpload && !shouldReturnBackupEntries_) return PropertyList::Array{};
  if (code == journal::kCodeOBUpload && !shouldReturnOBBackupEntries_)
    return PropertyList::Array{};
  if (code == journal::kCodeEventFolder) return PropertyList::Array{};
  auto folder = folderForCode(code);
  if (!folder) return PropertyList::Array{};
  if (code == journal::kCodeDownload) return JournalReader::takeDownloadLists(*folder, true);
  if (code == journal::kCodeServerChange) {
    PropertyList::Array markers;
    for (auto& bytes : JournalReader::takeMarkers(*folder))
      markers.emplace_back(PropertyList::Data{std::move(bytes)});
    return PropertyList(std::move(markers));
  }
  return stringArray(JournalReader::takeTextLists(*folder, true));
}

bool UMSDBSyncInputManger::doesIPFileAvailableFor(const std::string& code) {
  if (code == journal::kCodeEventFolder) return false;
  auto folder = folderForCode(code);
  if (!folder || !folder->valid()) return false;
  // An unfinished file a crash left is no work: counted, it would hold back
  // the re-query of pending rows after every run until a full clear.
  return folder->holdsFilesBesidesTemporaries();
}

bool UMSDBSyncInputManger::isListingRequested() {
  if (notificationRequested_.with([](bool& r) { return r; })) return true;
  return JournalFolder(folderPaths().notification).hasEligible(journal::SkipRule::kReader);
}

std::optional<PropertyList> UMSDBSyncInputManger::parseEventsToGetEventSets() {
  auto set = JournalReader::takeEventSet(JournalFolder(folderPaths().daemonEvents));
  if (!set) return std::nullopt;
  return set->toPropertyList();
}

bool UMSDBSyncInputManger::CheckIfAnyRenameDeleteOrCreateDirOccured() {
  return JournalFolder(folderPaths().daemonEvents).hasEligible(journal::SkipRule::kPendingCheck);
}

bool UMSDBSyncInputManger::CheckIfBackupFilesPendingBool() {
  return JournalFolder(folderPaths().backup).hasEligible(journal::SkipRule::kPendingCheck);
}

bool UMSDBSyncInputManger::CheckForRestoreFiles() {
  return JournalFolder(folderPaths().restore).hasEligible(journal::SkipRule::kPendingCheck);
}

bool UMSDBSyncInputManger::CheckForRestoreFilesInMemory() {
  return restoreFilesCollection_.with(
      [](RestoreQueue& q) { return !q.queued.empty() || !q.writing.empty(); });
}

bool UMSDBSyncInputManger::isAnyDownloadPending() {
  // Memory before the folder: the writer publishes a file before its entries
  // leave memory, so this order cannot miss an entry in transit.
  return CheckForRestoreFilesInMemory() || CheckForRestoreFiles();
}

std::vector<std::string> UMSDBSyncInputManger::downloadsInMemory() {
  return restoreFilesCollection_.with([](RestoreQueue& q) {
    std::vector<std::string> paths;
    paths.reserve(q.queued.size() + q.writing.size());
    for (const auto& e : q.writing) paths.push_back(e.first);
    for (const auto& e : q.queued.items()) paths.push_back(e.first);
    return paths;
  });
}

std::vector<std::string> UMSDBSyncInputManger::downloadsInFolder() {
  JournalFolder folder(folderPaths().restore);
  uint64_t count = folder.changeCount();
  auto cached = restorePending_.with([count](RestorePendingCache& c) {
    return c.changeCount == count ? std::optional<std::vector<std::string>>(c.paths)
                                  : std::nullopt;
  });
  if (cached) return std::move(*cached);
  // Read after taking the count: a change during the read bumps the counter
  // past it, so the next call reads again.
  std::vector<std::string> paths;
  std::unordered_set<std::string> seen;
  for (auto& [path, value] : JournalReader::peekDownloadEntries(folder))
    if (seen.insert(path).second) paths.push_back(std::move(path));
  restorePending_.with([&](RestorePendingCache& c) {
    c.changeCount = count;
    c.paths = paths;
  });
  return paths;
}

std::vector<std::string> UMSDBSyncInputManger::CheckifAnyRestoreFilesPending() {
  std::vector<std::string> paths = downloadsInMemory();
  std::unordered_set<std::string> seen(paths.begin(), paths.end());
  for (auto& p : downloadsInFolder())
    if (seen.insert(p).second) paths.push_back(std::move(p));
  return paths;
}

void UMSDBSyncInputManger::ClearRestorePendingSet() {
  restorePending_.with([](RestorePendingCache& c) {
    c.changeCount.reset();
    c.paths.clear();
  });
}

std::vector<std::string> UMSDBSyncInputManger::CheckifBackupFilesPending() {
  return JournalReader::peekTextLines(JournalFolder(folderPaths().backup));
}

std::vector<std::string> UMSDBSyncInputManger::CheckifRestoreFilesPending() {
  std::vector<std::string> paths;
  for (auto& [path, value] : JournalReader::peekDownloadEntries(JournalFolder(folderPaths().restore)))
    paths.push_back(std::move(path));
  restoreFilesCollection_.with([&paths](RestoreQueue& q) {
    for (const auto& e : q.queued.items()) paths.push_back(e.first);
  });
  return paths;
}

std::vector<std::string> UMSDBSyncInputManger::CheckForDeleteFiles() {
  return JournalReader::peekTextLines(JournalFolder(folderPaths().daemonEvents),
                                      journal::kEventDelete);
}

std::vector<RenameEntry> UMSDBSyncInputManger::CheckForRenameFilesPending() {
  return JournalReader::peekRenames(JournalFolder(folderPaths().daemonEvents));
}

bool UMSDBSyncInputManger::CheckForCreateDirFilesPending() {
  for (const auto& name :
       JournalFolder(folderPaths().daemonEvents).eligibleNames(journal::SkipRule::kPendingCheck))
    if (journal::eventTypeOf(name) == journal::kEventCreateFolder) return true;
  return false;
}

std::optional<PropertyList::Dict> UMSDBSyncInputManger::PendingRestoreFiles() {
  JournalFolder folder(folderPaths().restore);
  std::vector<std::string> names = folder.names();
  if (names.empty()) return std::nullopt;
  PropertyList::Dict merged;
  for (const auto& name : names) {
    if (journal::isSkipped(name, journal::SkipRule::kPendingCheck)) continue;
    auto contents = folder.read(name);
    if (!contents) continue;
    for (auto& [path, value] : JournalReader::parseDownloadList(*contents, folder.pathFor(name))) {
      merged.insert_or_assign(std::move(path), PropertyList(std::move(value)));
      if (merged.size() > kPendingRestoreLimit) {
        isMoreThanTenThousandRestore_ = true;
        return PropertyList::Dict{};
      }
    }
  }
  return merged;
}

std::size_t UMSDBSyncInputManger::restoreSetWhichWritingToFile() {
  return restoreFilesCollection_.with([](RestoreQueue& q) { return q.writing.size(); });
}

std::size_t UMSDBSyncInputManger::restoreFileCollection() {
  return restoreFilesCollection_.with([](RestoreQueue& q) { return q.queued.size(); });
}

}  // namespace ulmora
