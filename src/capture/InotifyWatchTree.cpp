#include "capture/InotifyWatchTree.h"

#include <fcntl.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <vector>

#include "capture/CapturePaths.h"
#include "platform/FileUtil.h"
#include "platform/LinkSafePath.h"
#include "platform/UniqueFd.h"
#include "platform/Trace.h"

namespace ulmora {
namespace {

constexpr uint32_t kEvents = IN_CREATE | IN_DELETE | IN_MODIFY | IN_CLOSE_WRITE | IN_ATTRIB |
                             IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF;
// IN_EXCL_UNLINK: a file unlinked while a program still writes it produces
// no more events under a name that is gone.
constexpr uint32_t kFlags = IN_ONLYDIR | IN_EXCL_UNLINK;

}  // namespace

InotifyWatchTree::InotifyWatchTree(int inotifyFd, std::size_t maxWatches)
    : fd_(inotifyFd), maxWatches_(maxWatches) {}

InotifyWatchTree::~InotifyWatchTree() = default;  // closing the descriptor drops the watches

std::optional<int> InotifyWatchTree::addKernelWatch(const std::string& path, bool followSymlink,
                                                    AddResult* failure) {
  const uint32_t mask = kEvents | kFlags | (followSymlink ? 0 : IN_DONT_FOLLOW);
  return addKernelWatchOn(path, mask, path, failure);
}

// inotify_add_watch takes a path and follows every link on it but the last:
// a folder above the one to watch, swapped for a link after the walk looked
// at it, would carry the watch out of the root. The folder is opened from
// the root down without following any link, and the watch put on that very
// folder through its descriptor.
std::optional<int> InotifyWatchTree::addKernelWatchBelowRoot(const std::string& path, AddResult* failure) {
  static const bool descriptorsByPath = ::access("/proc/self/fd", X_OK) == 0;
  // A path too long for the kernel is refused as before, by the kernel.
  if (!descriptorsByPath || path.size() >= PATH_MAX) return addKernelWatch(path, false, failure);
  std::optional<std::vector<std::string>> parts;
  if (capturepath::isSameOrBelow(path, rootPath_) && path.size() > rootPath_.size())
    parts = linksafe::plainComponents(std::string_view(path).substr(rootPath_ == "/" ? 0 : rootPath_.size()));
  if (!parts) {
    *failure = AddResult::kFailed;
    return std::nullopt;
  }
  linksafe::OpenOptions options;
  options.followRoot = false;
  UniqueFd folder;
  int error = 0;
  if (std::optional<linksafe::Parent> parent = linksafe::openParent(rootPath_, *parts, options)) {
    folder.reset(::openat(parent->folder.get(), parent->leaf.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  }
  error = errno;
  if (!folder) return watchFailed(error, path, failure);
  return addKernelWatchOn("/proc/self/fd/" + std::to_string(folder.get()), kEvents | kFlags, path, failure);
}

std::optional<int> InotifyWatchTree::addKernelWatchOn(const std::string& target, uint32_t mask,
                                                      const std::string& path, AddResult* failure) {
  const int wd = inotify_add_watch(fd_, target.c_str(), mask);
  if (wd >= 0) {
    if (maxWatches_ != 0 && !byWd_.count(wd) && byWd_.size() >= maxWatches_) {
      inotify_rm_watch(fd_, wd);
      *failure = AddResult::kLimit;
      return std::nullopt;
    }
    return wd;
  }
  return watchFailed(errno, path, failure);
}

std::optional<int> InotifyWatchTree::watchFailed(int error, const std::string& path, AddResult* failure) {
  switch (error) {
    case ENOSPC:
      *failure = AddResult::kLimit;
      break;
    case ENOENT:
    case ENOTDIR:
    case ELOOP:
      *failure = AddResult::kGone;  // removed, or replaced by a file or symlink
      break;
    default:
      *failure = AddResult::kFailed;
      traceLine("watcher: cannot watch \"" + path + "\": " + std::strerror(error));
      break;
  }
  return std::nullopt;
}

InotifyWatchTree::AddResult InotifyWatchTree::watchRoot(const std::string& root) {
  clear();
  rootPath_ = std::string(capturepath::withoutTrailingSlash(root));
  AddResult failure = AddResult::kFailed;
  std::optional<int> wd = addKernelWatch(rootPath_, false, &failure);
  if (!wd) return failure;
  auto node = std::make_unique<Node>();
  node->wd = *wd;
  node->generation = generation_;
  root_ = node.get();
  byWd_.emplace(*wd, std::move(node));
  return AddResult::kAdded;
}

InotifyWatchTree::AddResult InotifyWatchTree::watch(const std::string& path) {
  if (!root_) return AddResult::kFailed;
  const std::string_view trimmed = capturepath::withoutTrailingSlash(path);
  if (trimmed == rootPath_) {
    // The root is known; adding it again only confirms it.
    AddResult failure = AddResult::kFailed;
    std::optional<int> wd = addKernelWatch(rootPath_, false, &failure);
    if (!wd) return failure;
    root_->generation = generation_;
    return AddResult::kAlreadyWatched;
  }
  Node* parent = find(fileutil::parentPath(trimmed));
  if (!parent) return AddResult::kFailed;
  const std::string name = fileutil::lastComponent(trimmed);
  AddResult failure = AddResult::kFailed;
  std::optional<int> wd = addKernelWatchBelowRoot(std::string(trimmed), &failure);
  if (!wd) return failure;

  auto known = byWd_.find(*wd);
  if (known != byWd_.end()) {
    Node* node = known->second.get();
    node->generation = generation_;
    if (node == root_) return AddResult::kAlreadyWatched;  // a mount of the root inside itself
    if (node->parent != parent || node->name != name) {
      std::optional<std::string> was = pathOf(*wd);  // none when it was unlinked
      if (!was && !node->formerPath.empty()) was = std::move(node->formerPath);
      node->formerPath.clear();
      detach(node);
      attach(node, parent, name);
      if (was) relinks_.push_back(Relink{std::move(*was), std::string(trimmed)});
    }
    return AddResult::kAlreadyWatched;
  }
  auto node = std::make_unique<Node>();
  node->wd = *wd;
  node->generation = generation_;
  Node* raw = node.get();
  byWd_.emplace(*wd, std::move(node));
  attach(raw, parent, name);
  return AddResult::kAdded;
}

InotifyWatchTree::Node* InotifyWatchTree::find(const std::string& path) const {
  if (!root_ || !capturepath::isSameOrBelow(path, rootPath_)) return nullptr;
  Node* node = root_;
  std::string_view rest = std::string_view(path).substr(rootPath_ == "/" ? 0 : rootPath_.size());
  size_t i = 0;
  while (i < rest.size()) {
    while (i < rest.size() && rest[i] == '/') ++i;
    size_t end = rest.find('/', i);
    if (end == std::string_view::npos) end = rest.size();
    if (end > i) {
      auto it = node->children.find(std::string(rest.substr(i, end - i)));
      if (it == node->children.end()) return nullptr;
      node = it->second;
    }
    i = end;
  }
  return node;
}

std::optional<std::string> InotifyWatchTree::pathOf(int wd) const {
  auto it = byWd_.find(wd);
  if (it == byWd_.end()) return std::nullopt;
  std::vector<const std::string*> names;
  const Node* node = it->second.get();
  while (node != root_) {
    if (!node->parent) return std::nullopt;  // unlinked
    names.push_back(&node->name);
    node = node->parent;
  }
  std::string path = rootPath_;
  for (auto name = names.rbegin(); name != names.rend(); ++name) {
    if (path.empty() || path.back() != '/') path.push_back('/');
    path.append(**name);
  }
  return path;
}

void InotifyWatchTree::detach(Node* node) {
  if (!node->parent) return;
  auto it = node->parent->children.find(node->name);
  if (it != node->parent->children.end() && it->second == node) node->parent->children.erase(it);
  node->parent = nullptr;
}

void InotifyWatchTree::attach(Node* node, Node* parent, const std::string& name) {
  auto existing = parent->children.find(name);
  if (existing != parent->children.end() && existing->second != node) {
    // A folder that stood here before is gone (its events were lost): what
    // the tree knew about it no longer has a place. During a sweep it may
    // yet turn up under another name (renamed, and a new folder made at
    // its name); the sweep drops it if not.
    Node* displaced = existing->second;
    if (sweeping_) {
      if (std::optional<std::string> was = pathOf(displaced->wd)) displaced->formerPath = std::move(*was);
      detach(displaced);
    } else {
      removeSubtree(displaced);
    }
  }
  node->parent = parent;
  node->name = name;
  parent->children[name] = node;
}

void InotifyWatchTree::removeSubtree(Node* top) {
  detach(top);
  std::vector<Node*> pending{top};
  std::vector<int> gone;
  while (!pending.empty()) {
    Node* node = pending.back();
    pending.pop_back();
    for (auto& [name, child] : node->children) pending.push_back(child);
    gone.push_back(node->wd);
  }
  for (int wd : gone) {
    inotify_rm_watch(fd_, wd);
    byWd_.erase(wd);
  }
}

bool InotifyWatchTree::move(const std::string& from, const std::string& to) {
  Node* node = find(from);
  if (!node || node == root_) return false;
  Node* parent = find(fileutil::parentPath(capturepath::withoutTrailingSlash(to)));
  if (!parent) {
    removeSubtree(node);
    return false;
  }
  detach(node);
  attach(node, parent, fileutil::lastComponent(capturepath::withoutTrailingSlash(to)));
  return true;
}

void InotifyWatchTree::unwatch(const std::string& path) {
  Node* node = find(path);
  if (node && node != root_) removeSubtree(node);
}

void InotifyWatchTree::unlink(const std::string& path) {
  Node* node = find(path);
  if (node && node != root_) detach(node);
}

bool InotifyWatchTree::forget(int wd) {
  auto it = byWd_.find(wd);
  if (it == byWd_.end()) return false;
  Node* node = it->second.get();
  const bool wasRoot = node == root_;
  detach(node);
  for (auto& [name, child] : node->children) child->parent = nullptr;
  if (wasRoot) root_ = nullptr;
  byWd_.erase(it);
  return wasRoot;
}

void InotifyWatchTree::clear() {
  for (auto& [wd, node] : byWd_) inotify_rm_watch(fd_, wd);
  byWd_.clear();
  root_ = nullptr;
}

void InotifyWatchTree::beginSweep() {
  sweeping_ = true;
  ++generation_;
  if (root_) root_->generation = generation_;
}

void InotifyWatchTree::sweep() {
  sweeping_ = false;
  std::vector<Node*> stale;
  for (auto& [wd, node] : byWd_) {
    if (node->generation != generation_) stale.push_back(node.get());
  }
  for (Node* node : stale) detach(node);
  for (Node* node : stale) {
    for (auto& [name, child] : node->children) child->parent = nullptr;
  }
  for (Node* node : stale) {
    const int wd = node->wd;
    inotify_rm_watch(fd_, wd);
    byWd_.erase(wd);
  }
}

}  // namespace ulmora
