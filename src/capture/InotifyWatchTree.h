#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace ulmora {

// The folders an inotify descriptor watches, as a tree of names, so that the
// full path of an event can be formed and a moved folder's watches follow it
// by changing one link.
//
// inotify knows folders by inode: watching a folder that is already watched
// under another name returns the same descriptor, which this tree then moves
// to the new name (the case after events were lost).
//
// Thread-safety: none; it belongs to the watcher thread.
class InotifyWatchTree {
 public:
  enum class AddResult { kAdded, kAlreadyWatched, kLimit, kGone, kFailed };

  // `maxWatches` 0: as many as the kernel allows; otherwise a cap that acts
  // as the kernel's limit would.
  InotifyWatchTree(int inotifyFd, std::size_t maxWatches);
  ~InotifyWatchTree();
  InotifyWatchTree(const InotifyWatchTree&) = delete;
  InotifyWatchTree& operator=(const InotifyWatchTree&) = delete;

  // Starts the tree at the sync root. A symlink is not followed, the root's
  // own name included: a root replaced by a link to another folder is not
  // the sync folder (kGone). Any earlier watches are dropped.
  AddResult watchRoot(const std::string& root);
  // Watches a folder below the root whose parent is watched. Symlinks are
  // never followed, neither the folder's own name nor any folder above it
  // (kGone when one on the way is a link now).
  AddResult watch(const std::string& path);

  const std::string& rootPath() const { return rootPath_; }
  bool hasRoot() const { return root_ != nullptr; }
  bool isRoot(int wd) const { return root_ && root_->wd == wd; }
  bool isWatched(const std::string& path) const { return find(path) != nullptr; }

  // The folder a descriptor watches; nullopt for an unknown descriptor or a
  // folder no longer linked to the root.
  std::optional<std::string> pathOf(int wd) const;

  // A watched folder moved inside the root: its subtree follows. False when
  // `from` was not watched or the new parent is not.
  bool move(const std::string& from, const std::string& to);
  // Stops watching a folder and everything below it (moved out of the root).
  void unwatch(const std::string& path);
  // A folder below the root was deleted: its node no longer has a name.
  void unlink(const std::string& path);
  // The kernel dropped a watch (IN_IGNORED). True when it was the root's.
  bool forget(int wd);
  // Drops every watch.
  void clear();

  // Marks every folder watched from now on (or found watched again) as
  // seen; sweep() then drops the watches of the folders not seen, i.e.
  // those that no longer exist where the tree put them. Meanwhile a folder
  // whose name a new folder takes is kept aside, so that the walk can still
  // find it under its new name.
  void beginSweep();
  void sweep();

  std::size_t size() const { return byWd_.size(); }

  // A watched folder that watch() found under another name: a rename whose
  // events were lost. Full paths; `from` as the tree had it then.
  struct Relink {
    std::string from;
    std::string to;
  };
  // The relinks since the last call, in the order found (a walk finds a
  // folder before what it holds, so later ones name their folders as the
  // earlier ones left them).
  std::vector<Relink> takeRelinks() { return std::exchange(relinks_, {}); }

 private:
  struct Node {
    int wd = -1;
    Node* parent = nullptr;
    std::string name;
    std::map<std::string, Node*> children;
    uint64_t generation = 0;
    // Where it was when a new folder took its name during a sweep.
    std::string formerPath;
  };

  Node* find(const std::string& path) const;
  void detach(Node* node);
  void attach(Node* node, Node* parent, const std::string& name);
  void removeSubtree(Node* node);
  std::optional<int> addKernelWatch(const std::string& path, bool followSymlink, AddResult* failure);
  std::optional<int> addKernelWatchBelowRoot(const std::string& path, AddResult* failure);
  std::optional<int> addKernelWatchOn(const std::string& target, uint32_t mask, const std::string& path,
                                      AddResult* failure);
  std::optional<int> watchFailed(int error, const std::string& path, AddResult* failure);

  const int fd_;
  const std::size_t maxWatches_;
  std::string rootPath_;
  Node* root_ = nullptr;
  std::unordered_map<int, std::unique_ptr<Node>> byWd_;
  uint64_t generation_ = 0;
  bool sweeping_ = false;
  std::vector<Relink> relinks_;
};

}  // namespace ulmora
