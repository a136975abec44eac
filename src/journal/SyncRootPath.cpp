#include "journal/SyncRootPath.h"

namespace ulmora {

SyncRootPath::SyncRootPath(std::string_view root) : root_(root) {
  while (root_.size() > 1 && root_.back() == '/') root_.pop_back();
}

bool SyncRootPath::isRoot(std::string_view path) const {
  if (!known()) return false;
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  return path == root_;
}

bool SyncRootPath::isFullPath(std::string_view path) const {
  if (!known() || path.substr(0, root_.size()) != root_) return false;
  if (root_ == "/") return !path.empty() && path[0] == '/';
  return path.size() == root_.size() || path[root_.size()] == '/';
}

std::string SyncRootPath::relative(std::string_view path) const {
  if (!isFullPath(path)) return std::string(path);
  if (isRoot(path)) return {};
  if (root_ == "/") return std::string(path);
  return std::string(path.substr(root_.size()));
}

std::string SyncRootPath::full(std::string_view path) const {
  if (!known() || isFullPath(path)) return std::string(path);
  if (path.empty()) return root_;
  std::string out = root_;
  if (out.back() != '/' && (path.empty() || path[0] != '/')) out.push_back('/');
  out.append(path);
  return out;
}

}  // namespace ulmora
