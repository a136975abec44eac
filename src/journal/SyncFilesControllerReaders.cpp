// Readers and cleaners of the journal folders, the rename/delete-database
// removal queue, the delegate forwards and the line-file merge.
#include <algorithm>
#include <unordered_set>

#include "foundation/QLBackupProgressLogger.h"
#include "journal/JournalFormat.h"
#include "journal/JournalReader.h"
#include "journal/SyncFilesController.h"
#include "journal/SyncFilesControllerProtocol.h"
#include "platform/FileUtil.h"

namespace ulmora {
namespace {


std::optional<int> readFolderFor(std::string_view code) {
  if (code == journal::kCodeUpload) return journal::kUploadFolder;
  if (code == journal::kCodeDelete) return journal::kDeleteFolder;
  if (code == journal::kCodeRename) return journal::kRenameFolder;
  if (code == journal::kCodeDownload) return journal::kDownloadFolder;
  if (code == journal::kCodeServerChange) return journal::kServerChangeFolder;
  return std::nullopt;
}

std::optional<int> cleanFolderFor(std::string_view code) {
  if (code == journal::kCodeCreateFolder) return journal::kCreateFolderFolder;
  if (code == journal::kCodeEventFolder) return journal::kEventFolder;
  return readFolderFor(code);
}

std::optional<int> cleanOBFolderFor(std::string_view code) {
  if (code == journal::kCodeOBUpload) return journal::kOBUploadFolder;
  if (code == journal::kCodeOBDelete) return journal::kOBDeleteFolder;
  if (code == journal::kCodeOBRename) return journal::kOBRenameFolder;
  if (code == journal::kCodeOBCreateFolder) return journal::kOBCreateFolderFolder;
  return std::nullopt;
}

void clean(const JournalFolder& folder, bool onlyConsumed) {
  if (!folder.valid()) return;
  if (onlyConsumed)
    folder.removeConsumed();
  else
    folder.clear();
}

// Equal entries collapse; the first arrival keeps its place.
PropertyList uniqueTexts(std::vector<std::string> items) {
  PropertyList::Array out;
  std::unordered_set<std::string> seen;
  for (auto& s : items)
    if (seen.insert(s).second) out.emplace_back(std::move(s));
  return PropertyList(std::move(out));
}

void addUnique(PropertyList::Array& out, PropertyList value) {
  if (std::find(out.begin(), out.end(), value) == out.end()) out.push_back(std::move(value));
}

// Reads `name` as a dictionary property list; nullopt (traced) otherwise.
std::optional<PropertyList> readDictionary(const JournalFolder& folder, const std::string& name) {
  auto contents = folder.read(name);
  auto plist = contents ? PropertyList::parse(*contents) : std::nullopt;
  if (plist && plist->isDict()) return plist;
  daemonTrace("SyncFilesController: not a dictionary list: " + folder.pathFor(name));
  return std::nullopt;
}

}  // namespace

// ---------------------------------------------------------------- reading

PropertyList SyncFilesController::readFileFor(const std::string& code) {
  if (code == journal::kCodeUpload && !shouldReturnBackupEntries_) return PropertyList::Array{};
  auto index = readFolderFor(code);
  if (!index) return PropertyList::Array{};
  JournalFolder from = folder(*index);
  if (code == journal::kCodeDownload)
    return PropertyList(JournalReader::takeDownloadLists(from, true));
  if (code == journal::kCodeServerChange) {
    PropertyList::Array markers;
    for (auto& bytes : JournalReader::takeMarkers(from))
      addUnique(markers, PropertyList(PropertyList::Data{std::move(bytes)}));
    return PropertyList(std::move(markers));
  }
  if (code == journal::kCodeRename) {
    PropertyList::Array renames;
    for (const auto& name : JournalReader::batchNames(from, true)) {
      if (auto dict = readDictionary(from, name)) addUnique(renames, std::move(*dict));
      from.consume(name);
    }
    return PropertyList(std::move(renames));
  }
  return uniqueTexts(JournalReader::takeTextLists(from, true));
}

PropertyList::Array SyncFilesController::readRenameFiles() {
  JournalFolder from = folder(journal::kRenameFolder);
  PropertyList::Array renames;
  for (const auto& name : from.names()) {
    std::string_view extension = journal::extensionOf(name);
    if (extension == journal::kInProgressExtension || extension == journal::kConsumedExtension)
      continue;
    if (auto dict = readDictionary(from, name)) addUnique(renames, std::move(*dict));
    from.consume(name);
  }
  return renames;
}

// ---------------------------------------------------------------- cleaning

void SyncFilesController::deleteFileFor(const std::string& code, bool onlyRedItems) {
  auto index = cleanFolderFor(code);
  if (!index) return;
  clean(folder(*index), onlyRedItems);
  if (*index == journal::kUploadFolder && folder(*index).valid())
    journal::cleanUploadCounts(folder(*index), folder(journal::kUploadCountFolder), onlyRedItems);
}

void SyncFilesController::deleteOBFileFor(const std::string& code, bool onlyReadItems) {
  if (auto index = cleanOBFolderFor(code)) clean(folder(*index), onlyReadItems);
}

// ---------------------------------------------------------------- rename/delete database

void SyncFilesController::deleteFileEntryFromRDDB(const std::string& path) {
  if (path.empty()) return;
  mRemoveEntryFromRDDB_.with([&path](auto& q) { q.add(path); });
}

std::optional<std::vector<std::string>> SyncFilesController::filesToDeleteFromRDDB() {
  auto taken = mRemoveEntryFromRDDB_.with([](auto& q) { return q.take(); });
  if (taken.empty()) return std::nullopt;
  return taken;
}

// ---------------------------------------------------------------- delegate

void SyncFilesController::mainDBQueryFinished(const std::vector<std::string>& paths) {
  if (auto* d = delegate_.load()) d->didDBQueryFinishedForBackupFiles(paths);
}

void SyncFilesController::RDDBQueryFinished() {
  if (auto* d = delegate_.load()) d->didDBQueryForRDDBCompleated();
}

// ---------------------------------------------------------------- line files

bool SyncFilesController::writeDataIntoFiles(const std::vector<std::string>& fileArray,
                                             const std::string& filePath) {
  if (filePath.empty()) return false;
  std::vector<std::string> carried;
  carried.reserve(fileArray.size());
  for (const auto& entry : fileArray) {
    if (entry.empty()) continue;
    if (!journal::canCarryInTextList(entry)) {
      daemonTrace("SyncFilesController: a line file cannot carry an entry with a newline; left out");
      continue;
    }
    carried.push_back(entry);
  }
  auto existing = fileutil::readFile(filePath);
  if (!existing) {
    if (fileutil::exists(filePath)) {
      daemonTrace("SyncFilesController: line file unreadable, left alone: " + filePath);
      return false;
    }
    return fileutil::writeFileAtomically(filePath, journal::joinTextList(carried));
  }
  auto presentLines = journal::splitTextList(*existing);
  std::unordered_set<std::string> present(presentLines.begin(), presentLines.end());
  std::vector<std::string> added;
  for (auto& entry : carried)
    if (present.insert(entry).second) added.push_back(std::move(entry));
  if (added.empty()) return true;
  std::string tail = existing->empty() || existing->back() == '\n' ? std::string() : "\n";
  tail += journal::joinTextList(added);
  return fileutil::appendToFile(filePath, tail);
}

}  // namespace ulmora
