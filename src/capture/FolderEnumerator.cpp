#include "capture/FolderEnumerator.h"

#include <algorithm>
#include <exception>
#include <utility>

#include "capture/CaptureJournalSink.h"
#include "capture/CapturePaths.h"
#include "capture/DirectoryWalker.h"
#include "capture/ExcludedFilesCollections.h"
#include "journal/SyncRootPath.h"
#include "platform/Trace.h"

namespace ulmora {

FolderEnumerator::FolderEnumerator(Options options, CaptureJournalSink& sink,
                                   const ExcludedFilesCollections& collections)
    : options_([&] {
        options.root = std::string(capturepath::withoutTrailingSlash(options.root));
        std::set<std::string> deselected;
        for (const std::string& folder : options.deselectedFolders) {
          std::string key = capturepath::normalizedRelative(folder);
          if (!key.empty()) deselected.insert(std::move(key));
        }
        options.deselectedFolders = std::move(deselected);
        if (options.batchSize == 0) options.batchSize = 1;
        return std::move(options);
      }()),
      sink_(sink),
      collections_(collections) {}

FolderEnumerator::~FolderEnumerator() { stop(); }

bool FolderEnumerator::isDeselected(std::string_view relativePath) const {
  if (options_.deselectedFolders.empty()) return false;
  std::string key(relativePath);
  // Deselected folders are few; an item is below one when one of its
  // ancestors (or itself) is listed.
  while (!key.empty()) {
    if (options_.deselectedFolders.count(key)) return true;
    const size_t slash = key.rfind('/');
    if (slash == std::string::npos || slash == 0) break;
    key.resize(slash);
  }
  return false;
}

void FolderEnumerator::send(const std::vector<std::string>& batch) {
  if (batch.empty()) return;
  if (options_.outOfBox) {
    sink_.addOBBackupFiles(batch);
  } else {
    sink_.addBackupFiles(batch);
  }
}

FolderEnumerator::Result FolderEnumerator::run(std::stop_token stop) {
  Result result;
  std::shared_ptr<const ExclusionRules> rules = collections_.exclusionRules();
  const size_t rootLength = options_.root == "/" ? 0 : options_.root.size();
  std::vector<std::string> batch;
  batch.reserve(options_.batchSize);

  // A folder holding nothing to hand on reaches the server only as a folder
  // creation: no file of its own carries it there. The walk reads one folder
  // whole before it enters the next, so a folder is known empty when the
  // next one is entered.
  std::string reading;
  bool nothingFound = false;
  std::vector<std::string> emptyFolders;
  auto leaveFolder = [&] {
    if (nothingFound && !options_.outOfBox && reading != options_.root) emptyFolders.push_back(reading);
    nothingFound = false;
  };

  DirectoryWalker::Callbacks callbacks;
  callbacks.enterFolder = [&](const std::string& folder) {
    leaveFolder();
    reading = folder;
    nothingFound = true;
    return true;
  };
  // Unread is not empty.
  callbacks.folderSkipped = [&](const std::string&, int) { nothingFound = false; };
  callbacks.entry = [&](const DirectoryWalker::Entry& entry) {
    const std::string_view relative = std::string_view(entry.path).substr(rootLength);
    const bool folder = entry.type == DirectoryWalker::EntryType::kDirectory;
    if (ExcludedFilesCollections::isInCacheFolder(relative) || rules->excludesEntry(relative)) {
      ++result.itemsExcluded;
      return false;
    }
    if (entry.type == DirectoryWalker::EntryType::kOther) return false;  // sockets, fifos
    nothingFound = false;
    if (folder) {
      if (isDeselected(relative)) {
        ++result.itemsExcluded;
        return false;
      }
      return true;
    }
    batch.push_back(entry.path);
    ++result.filesHandedOn;
    if (batch.size() >= options_.batchSize) {
      send(batch);
      batch.clear();
    }
    return false;
  };
  const DirectoryWalker::Result walk = DirectoryWalker::walk(options_.root, callbacks, stop);
  send(batch);
  if (!walk.stopped) leaveFolder();
  for (size_t at = 0; at < emptyFolders.size(); at += options_.batchSize) {
    const size_t end = std::min(emptyFolders.size(), at + options_.batchSize);
    sink_.addDirectory({emptyFolders.begin() + static_cast<std::ptrdiff_t>(at),
                        emptyFolders.begin() + static_cast<std::ptrdiff_t>(end)});
  }
  result.emptyFoldersHandedOn = static_cast<int64_t>(emptyFolders.size());
  result.completed = walk.topReadable && !walk.stopped;
  if (!walk.topReadable && !walk.stopped) traceLine("first scan: the sync folder \"" + options_.root + "\" cannot be read");
  return result;
}

void FolderEnumerator::start() {
  stop();
  running_ = true;
  thread_ = std::jthread([this](std::stop_token stop) {
    try {
      run(stop);
    } catch (const std::exception& e) {
      traceLine(std::string("first scan: ") + e.what());
    }
    running_ = false;
  });
}

void FolderEnumerator::stop() {
  if (!thread_.joinable()) return;
  thread_.request_stop();
  thread_.join();
}

void FolderEnumerator::didFoundFile(const std::string& path) {
  const SyncRootPath root(options_.root);
  const std::string relative = capturepath::normalizedRelative(root.relative(path));
  if (relative.empty() || isDeselected(relative) || collections_.shouldExcludeFile(path)) return;
  send({root.full(path)});
}

}  // namespace ulmora
