#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "journal/CompanionMessenger.h"
#include "journal/NotificationPoster.h"

namespace ulmora {

// What the file manager's integration learns from the sync controller beside
// the badge lists the journals post: the sync root, the folders being
// created, and the start and end of a version restore.
//
// Thread-safety: sendMessageToFinder runs on the folder creation thread,
// postSyncList on any thread (the runs' dispatch, the controller's worker),
// VersionRestoreStarted and VersionRestoreEnded on the version controller's
// worker, SendPathRootSet on the main thread; none keeps state of its own,
// and the channel getter and the poster must be callable from any thread.
class FinderLists {
 public:
  static constexpr int kRootPathMessage = 3;
  static constexpr int kVersionRestoreStarted = 22;
  static constexpr int kVersionRestoreEnded = 23;
  static constexpr std::size_t kMaxFoldersAnnounced = 9;
  static constexpr const char* kSyncListNotification = "FilessyncListGot";
  static constexpr const char* kSyncListKey = "syncList";

  // The channel is nullptr while this account is not the logged-in one.
  using FinderChannel = std::function<std::shared_ptr<CompanionMessenger>()>;

  // The root is asked each time: the settings may move it.
  using RootSource = std::function<std::string()>;
  FinderLists(RootSource syncRoot, FinderChannel finder, NotificationPoster& poster);
  FinderLists(std::string syncRoot, FinderChannel finder, NotificationPoster& poster)
      : FinderLists([syncRoot] { return syncRoot; }, std::move(finder), poster) {}

  // The folders being created and each parent below the root, without
  // duplicates; nullopt when there are none or more than nine (a large
  // creation run is not worth badging).
  static std::optional<std::vector<std::string>> foldersToAnnounce(
      const std::vector<std::string>& createDirCollection, const std::string& syncRoot);
  // true when something was posted.
  bool sendMessageToFinder(const std::vector<std::string>& createDirCollection) const;
  // Posts kSyncListNotification with `paths` under kSyncListKey, as given:
  // the items a run is about to send or fetch, or the items not in sync.
  void postSyncList(const std::vector<std::string>& paths) const;

  // A path that is already below the root comes back unchanged; any other is
  // taken as relative to the root.
  static std::string getFullPathFor(const std::string& path, const std::string& syncRoot);

  void SendPathRootSet() const;
  void VersionRestoreStarted() const;
  void VersionRestoreEnded() const;

 private:
  void send(const std::string& payload, int type) const;

  RootSource syncRoot_;
  FinderChannel finder_;
  NotificationPoster& poster_;
};

}  // namespace ulmora
