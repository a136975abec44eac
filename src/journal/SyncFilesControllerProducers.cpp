// Producers: what the change capture queues for the writer thread. An add is
// one lock and one insertion; nothing here touches the disk except the
// "/private/" test of a relative path.
#include "foundation/QLBackupProgressLogger.h"
#include "journal/JournalFormat.h"
#include "journal/SyncFilesController.h"
#include "platform/FileUtil.h"

namespace ulmora {
namespace {

constexpr std::string_view kPrivatePrefix = "/private/";
constexpr std::string_view kSpotlightSuffix = "-Spotlight";


bool endsWith(std::string_view text, std::string_view tail) {
  return text.size() >= tail.size() && text.substr(text.size() - tail.size()) == tail;
}

// System temporary paths ("/private/...") are never synced. A full path under
// the root is kept, and so is a relative one naming an item in the root, so
// that a folder called "private" at the top of the root still syncs.
bool isPrivateSystemPath(const SyncRootPath& root, const std::string& path) {
  if (path.compare(0, kPrivatePrefix.size(), kPrivatePrefix) != 0) return false;
  if (root.isFullPath(path)) return false;
  return !(root.known() && fileutil::exists(root.full(path)));
}

bool isCompleteRename(const RenameEntry& rename) {
  if (!rename.originalPath.empty() && !rename.renamedPath.empty()) return true;
  daemonTrace("SyncFilesController: rename without " +
              std::string(rename.originalPath.empty() ? "its old path" : "its new path") +
              " dropped: '" + rename.originalPath + "' -> '" + rename.renamedPath + "'");
  return false;
}

template <typename Queue>
void addAll(Guarded<Queue>& queue, const std::vector<std::string>& paths) {
  queue.with([&paths](Queue& q) {
    for (const auto& p : paths)
      if (!p.empty()) q.add(p);
  });
}

}  // namespace

void SyncFilesController::addBackupFiles(const std::string& path) {
  addBackupFiles(std::vector<std::string>{path});
}

void SyncFilesController::addBackupFiles(const std::vector<std::string>& paths) {
  std::optional<SyncRootPath> root;  // asked for only when a "/private/" path needs it
  std::vector<std::string> kept;
  kept.reserve(paths.size());
  for (const auto& p : paths) {
    if (p.empty()) continue;
    if (p.compare(0, kPrivatePrefix.size(), kPrivatePrefix) == 0) {
      if (!root) root = syncRoot();
      if (isPrivateSystemPath(*root, p)) continue;
    }
    kept.push_back(p);
  }
  addAll(backupFilesCollection_, kept);
}

void SyncFilesController::addDeleteFiles(const std::string& path) {
  addDeleteFiles(std::vector<std::string>{path});
}

void SyncFilesController::addDeleteFiles(const std::vector<std::string>& paths) {
  SyncRootPath root = syncRoot();
  EventList events;
  for (const auto& p : paths) {
    if (p.empty() || endsWith(p, kSpotlightSuffix)) continue;
    // Cut while the root is known; the writer cuts again what was queued
    // while it was not.
    std::string relative = root.relative(p);
    if (relative.empty()) continue;
    events.push_back({JournalEvent::Kind::kDelete, std::move(relative), {}});
  }
  if (events.empty()) return;
  mEventsListArray_.with([&events](EventList& list) {
    list.insert(list.end(), std::make_move_iterator(events.begin()),
                std::make_move_iterator(events.end()));
  });
}

void SyncFilesController::addRenamedFiles(const RenameEntry& rename) {
  addRenamedFiles(std::vector<RenameEntry>{rename});
}

void SyncFilesController::addRenamedFiles(const std::vector<RenameEntry>& renames) {
  EventList events;
  for (const auto& r : renames)
    if (isCompleteRename(r)) events.push_back({JournalEvent::Kind::kRename, {}, r});
  if (events.empty()) return;
  mEventsListArray_.with([&events](EventList& list) {
    list.insert(list.end(), std::make_move_iterator(events.begin()),
                std::make_move_iterator(events.end()));
  });
}

void SyncFilesController::addRestoreFiles(const std::map<std::string, std::string>& entries) {
  restoreFilesCollection_.with([&entries](OrderedDict& q) {
    for (const auto& [path, value] : entries)
      if (!path.empty()) q.merge(path, value);
  });
}

void SyncFilesController::addNotificationFilesInfo() {
  notificationRequested_.with([](bool& requested) { requested = true; });
}

void SyncFilesController::addDirectory(const std::string& path) {
  addAll(createDirCollection_, {path});
}

void SyncFilesController::addDirectory(const std::vector<std::string>& paths) {
  addAll(createDirCollection_, paths);
}

void SyncFilesController::addOBBackupFiles(const std::string& path) {
  addAll(OBBackupFilesCollection_, {path});
}

void SyncFilesController::addOBBackupFiles(const std::vector<std::string>& paths) {
  addAll(OBBackupFilesCollection_, paths);
}

void SyncFilesController::addOBDeleteFiles(const std::string& path) {
  if (path.empty()) return;
  addAll(OBDeleteFilesCollection_, {fileutil::joinPath(outOfBoxPrefix_, path)});
}

void SyncFilesController::addOBRenamedFiles(const RenameEntry& rename) {
  if (!isCompleteRename(rename)) return;
  // Logged under the set's lock, so the trace shows the entries in the order
  // the set takes them.
  OBRenameFilesCollection_.with([&rename](OrderedSet<RenameEntry>& q) {
    daemonTrace(rename.description());
    q.add(rename);
  });
}

void SyncFilesController::addOBDirectory(const std::string& /*path*/) {}

void SyncFilesController::addOBRestoreFiles(const std::map<std::string, std::string>& entries) {
  OBrestoreFilesCollection_.with([&entries](OrderedDict& q) {
    for (const auto& [path, value] : entries)
      if (!path.empty()) q.merge(path, value);
  });
}

}  // namespace ulmora
