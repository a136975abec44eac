#include "sync/server/RenameDeleteRules.h"

#include <algorithm>
#include <array>

namespace ulmora {

std::optional<LocalChangeSet> LocalChangeSet::fromPropertyList(const PropertyList& set) {
  const PropertyList::Dict* dict = set.asDict();
  if (dict == nullptr || dict->empty()) return std::nullopt;
  const auto& [type, value] = *dict->begin();
  const PropertyList::Array* items = value.asArray();
  if (items == nullptr) return std::nullopt;
  LocalChangeSet out;
  out.type = type;
  for (const PropertyList& item : *items) {
    if (type == "rename") {
      if (auto r = RenameEntry::fromPropertyList(item)) out.renames.push_back(std::move(*r));
    } else if (const std::string* path = item.asString()) {
      out.paths.push_back(*path);
    }
  }
  return out;
}

PropertyList LocalChangeSet::entries() const {
  PropertyList::Array items;
  if (type == "rename") {
    for (const RenameEntry& r : renames) items.push_back(r.toPropertyList());
  } else {
    for (const std::string& p : paths) items.emplace_back(p);
  }
  return PropertyList(std::move(items));
}

namespace renamedelete {
namespace {

std::size_t componentCount(std::string_view path) {
  std::size_t n = 0;
  bool inComponent = false;
  for (char c : path) {
    if (c == '/') {
      inComponent = false;
    } else if (!inComponent) {
      inComponent = true;
      ++n;
    }
  }
  return n;
}

std::string_view trimSlash(std::string_view p) {
  while (p.size() > 1 && p.back() == '/') p.remove_suffix(1);
  return p;
}

}  // namespace

RenameBatch cutRenameBatch(const std::vector<RenameEntry>& snapshot) {
  RenameBatch out;
  const RenameEntry* last = nullptr;
  for (std::size_t i = 0; i < snapshot.size(); ++i) {
    const RenameEntry& e = snapshot[i];
    if (last != nullptr && e == *last) {
      out.taken.push_back(i);
      continue;
    }
    if (last != nullptr) {
      const std::string& newName = last->renamedPath;
      if (!newName.empty() && (e.originalPath.starts_with(newName) ||
                               componentCount(e.renamedPath) != componentCount(newName))) {
        break;
      }
    }
    out.batch.push_back(e);
    out.taken.push_back(i);
    last = &snapshot[i];
  }
  if (out.batch.empty()) out.taken.clear();
  return out;
}

bool isAtOrUnder(std::string_view path, std::string_view folder) {
  path = trimSlash(path);
  folder = trimSlash(folder);
  if (folder.empty() || folder == "/") return false;
  if (path == folder) return true;
  return path.size() > folder.size() && path.starts_with(folder) && path[folder.size()] == '/';
}

std::vector<LocalChangeSet> orderForUser(std::vector<LocalChangeSet> sets) {
  for (std::size_t i = 0; i < sets.size(); ++i) {
    if (sets[i].type != "delete") continue;
    std::vector<std::string> keep, later;
    std::size_t lastRename = i;
    for (const std::string& d : sets[i].paths) {
      std::size_t found = i;
      for (std::size_t j = i + 1; j < sets.size(); ++j) {
        if (sets[j].type != "rename") continue;
        for (const RenameEntry& r : sets[j].renames) {
          if (isAtOrUnder(d, r.renamedPath)) {
            found = j;
            break;
          }
        }
      }
      if (found == i) {
        keep.push_back(d);
      } else {
        later.push_back(d);
        lastRename = std::max(lastRename, found);
      }
    }
    if (later.empty()) continue;
    LocalChangeSet moved{"delete", std::move(later), {}};
    sets.insert(sets.begin() + static_cast<std::ptrdiff_t>(lastRename) + 1, std::move(moved));
    if (keep.empty()) {
      sets.erase(sets.begin() + static_cast<std::ptrdiff_t>(i));
      --i;
    } else {
      sets[i].paths = std::move(keep);
    }
  }
  return sets;
}

bool isConnectionError(std::string_view error) {
  static constexpr std::array<std::string_view, 5> kTexts = {
      "connection unexpectedly closed", "reset by peer", "timed out", "umkvt error: timeout",
      "error in umkvt protocol data stream"};
  return std::any_of(kTexts.begin(), kTexts.end(),
                     [&](std::string_view t) { return error.find(t) != std::string_view::npos; });
}

std::string withAccountUserName(std::string text, const std::string& syncUser, const std::string& accountUser) {
  if (syncUser.empty()) return text;
  std::size_t pos = 0;
  while ((pos = text.find(syncUser, pos)) != std::string::npos) {
    text.replace(pos, syncUser.size(), accountUser);
    pos += accountUser.size();
  }
  return text;
}

bool namesFoldersOrFiles(const std::vector<std::string>& paths) {
  return std::any_of(paths.begin(), paths.end(), [](const std::string& p) {
    if (p.ends_with('/')) return true;
    const std::size_t slash = p.rfind('/');
    const std::string_view name = slash == std::string::npos ? std::string_view(p)
                                                              : std::string_view(p).substr(slash + 1);
    const std::size_t dot = name.rfind('.');
    return dot != std::string_view::npos && dot > 0 && dot + 1 < name.size();
  });
}

bool isUsableRelativePath(std::string_view path) {
  if (path.empty() || path.front() != '/' || path.find('\0') != std::string_view::npos) return false;
  if (trimSlash(path) == "/") return false;
  std::size_t start = 0;
  while (start < path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string_view::npos) end = path.size();
    if (path.substr(start, end - start) == "..") return false;
    start = end + 1;
  }
  return true;
}

std::string trimmed(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

std::vector<std::string> selfAndParents(const std::string& relativePath, std::set<std::string>& seen) {
  std::vector<std::string> out;
  for (std::string p = relativePath; isUsableRelativePath(p) && seen.insert(p).second;) {
    out.push_back(p);
    const std::size_t slash = p.rfind('/');
    if (slash == 0 || slash == std::string::npos) break;
    p.resize(slash);
  }
  return out;
}

std::string format(std::string_view pattern, const std::vector<std::string>& values) {
  std::string out;
  std::size_t next = 0;
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] == '%' && i + 1 < pattern.size() && pattern[i + 1] == '@') {
      if (next < values.size()) out += values[next++];
      ++i;
    } else {
      out += pattern[i];
    }
  }
  return out;
}

}  // namespace renamedelete
}  // namespace ulmora
