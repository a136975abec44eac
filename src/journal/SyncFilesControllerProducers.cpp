// Producers: what the change capture queues for the writer thread. An add is
// one lock and one insertion (a rename also moves what is queued below it);
// nothing here touches the disk except the "/private/" test of a relative
// path, and the writer thread's walk of a renamed tree that a rename list
// cannot carry.
#include <sys/stat.h>

#include <algorithm>

#include "foundation/QLBackupProgressLogger.h"
#include "journal/JournalFormat.h"
#include "journal/RenameFollower.h"
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
  followRenames(events);
  mEventsListArray_.with([&events](EventList& list) {
    list.insert(list.end(), std::make_move_iterator(events.begin()),
                std::make_move_iterator(events.end()));
  });
}

void SyncFilesController::followRenames(const EventList& renames) {
  // Uploads and folder creations queued before the renames follow their
  // items; what is queued after them names the new items at the old places.
  SyncRootPath root = syncRoot();
  std::vector<RenameEntry> relative;
  relative.reserve(renames.size());
  for (const auto& event : renames)
    relative.push_back({root.relative(event.rename.originalPath),
                        root.relative(event.rename.renamedPath)});
  const RenameFollower follower(relative);
  if (follower.empty()) return;
  auto follow = [&root, &follower](OrderedSet<std::string>& queue) {
    std::vector<std::pair<std::size_t, std::string>> moves;
    for (std::size_t i = 0; i < queue.items().size(); ++i) {
      const std::string& item = queue.items()[i];
      // Each entry keeps the form it was queued in.
      if (auto now = follower.follow(root.relative(item)))
        moves.emplace_back(i, root.isFullPath(item) ? root.full(*now) : std::move(*now));
    }
    if (moves.empty()) return;
    std::vector<std::string> items = queue.take();
    for (auto& [i, now] : moves) items[i] = std::move(now);
    for (auto& item : items) queue.add(std::move(item));
  };
  backupFilesCollection_.with(follow);
  createDirCollection_.with(follow);
  // Uploads whose list was written after the item went and before its
  // rename arrived.
  std::vector<std::string> found = goneUploads_.with([&follower, &root](GoneUploads& g) {
    std::vector<std::string> moved;
    for (auto* set : {&g.current, &g.previous}) {
      for (auto it = set->begin(); it != set->end();) {
        if (auto now = follower.follow(*it)) {
          moved.push_back(root.full(*now));
          it = set->erase(it);
        } else {
          ++it;
        }
      }
    }
    return moved;
  });
  if (!found.empty()) addAll(backupFilesCollection_, found);
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

// ---------------------------------------------------------------- renames a list cannot carry

SyncFilesController::EventList SyncFilesController::withCarriableRenames(const SyncRootPath& root,
                                                                         EventList events) {
  for (auto& event : events) {
    if (event.kind != JournalEvent::Kind::kRename) continue;
    const std::string from = root.relative(event.rename.originalPath);
    const std::string to = root.relative(event.rename.renamedPath);
    if (journal::canCarryInPropertyList(from) && journal::canCarryInPropertyList(to)) continue;
    // The service would keep the old name for ever: the old item goes, and
    // the new one is sent as new.
    daemonTrace("SyncFilesController: a rename list cannot carry '" + from + "' -> '" + to +
                "'; sent as a delete and an upload");
    const std::string newPath = root.full(to);
    event = JournalEvent{JournalEvent::Kind::kDelete, from, {}};
    queueTreeForUpload(newPath);
  }
  return events;
}

void SyncFilesController::queueTreeForUpload(const std::string& fullPath) {
  struct stat st;
  if (::lstat(fullPath.c_str(), &st) != 0) return;  // gone again
  if (!S_ISDIR(st.st_mode)) {
    addBackupFiles(std::vector<std::string>{fullPath});
    return;
  }
  // Iterative, and never through a symlink: the tree is what the user sees.
  std::vector<std::string> folders;
  std::vector<std::string> files;
  std::vector<std::string> pending{fullPath};
  while (!pending.empty()) {
    std::string folder = std::move(pending.back());
    pending.pop_back();
    folders.push_back(folder);
    auto names = fileutil::listDirectory(folder);
    if (!names) continue;
    for (const auto& name : *names) {
      std::string path = fileutil::joinPath(folder, name);
      struct stat child;
      if (::lstat(path.c_str(), &child) != 0) continue;
      (S_ISDIR(child.st_mode) ? pending : files).push_back(std::move(path));
    }
  }
  std::sort(folders.begin(), folders.end());  // parents first
  addAll(createDirCollection_, folders);
  addBackupFiles(files);
}

}  // namespace ulmora
