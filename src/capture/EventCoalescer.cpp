#include "capture/EventCoalescer.h"

#include <algorithm>
#include <string_view>
#include <unordered_set>
#include <utility>

namespace ulmora {
namespace {
// The last operation naming `path`, as its old or new path.
template <typename Ops>
auto lastNaming(Ops& ops, const std::string& path) {
  return std::find_if(ops.rbegin(), ops.rend(),
                      [&](const auto& op) { return op.path == path || op.newPath == path; });
}
}  // namespace


void EventCoalescer::touch(Clock::TimePoint now) {
  // The window opens with its first change and closes a fixed time later, so
  // a steady stream of changes is still handed on every window.
  if (!opened_) opened_ = now;
}

std::optional<Clock::TimePoint> EventCoalescer::deadline() const {
  if (!opened_) return std::nullopt;
  return *opened_ + window_;
}

std::map<std::string, EventCoalescer::Change> EventCoalescer::extractTree(const std::string& path) {
  std::map<std::string, Change> out;
  auto self = changed_.find(path);
  if (self != changed_.end()) {
    out.emplace("", self->second);
    changed_.erase(self);
  }
  // Entries below `path` sort between "path/" and "path0" ('0' follows '/').
  const std::string low = path + "/";
  const std::string high = path + "0";
  auto first = changed_.lower_bound(low);
  auto last = changed_.lower_bound(high);
  for (auto it = first; it != last; ++it) out.emplace(it->first.substr(path.size()), it->second);
  changed_.erase(first, last);
  return out;
}

void EventCoalescer::created(const std::string& path, bool isFolder, Clock::TimePoint now) {
  touch(now);
  if (!isFolder) {
    // Removed and created again in one window: the file was replaced.
    auto last = lastNaming(operations_, path);
    // A folder removed keeps its delete: what it held is gone.
    if (last != operations_.rend() && last->kind == Operation::Kind::kDelete && last->path == path &&
        !last->isFolder) {
      operations_.erase(std::next(last).base());
      changed_[path] = Change{State::kModified, false};
      return;
    }
  }
  auto it = changed_.find(path);
  if (it == changed_.end()) {
    changed_.emplace(path, Change{State::kCreated, isFolder});
  } else {
    it->second.isFolder = isFolder;
  }
}

void EventCoalescer::modified(const std::string& path, Clock::TimePoint now) {
  touch(now);
  changed_.try_emplace(path, Change{State::kModified, false});
}

void EventCoalescer::removed(const std::string& path, bool isFolder, Clock::TimePoint now) {
  touch(now);
  std::map<std::string, Change> gone = extractTree(path);
  auto self = gone.find("");
  if (self != gone.end() && self->second.state == State::kCreated) return;  // never handed on
  // Below a folder made in this window the server has nothing yet; an item
  // that came and went between the folder's watch and its reading was never
  // seen created.
  for (std::size_t slash = path.rfind('/'); slash != std::string::npos && slash > 0;
       slash = path.rfind('/', slash - 1)) {
    auto parent = changed_.find(path.substr(0, slash));
    if (parent != changed_.end() && parent->second.isFolder &&
        parent->second.state == State::kCreated) {
      return;
    }
  }
  operations_.push_back(Operation{Operation::Kind::kDelete, path, {}, isFolder});
}

void EventCoalescer::withdrawRemovals(const std::function<bool(const std::string& path, bool isFolder)>& isThere,
                                      Clock::TimePoint now) {
  // One pass from the end: a removal counts only while it is the last
  // change naming its path.
  std::unordered_set<std::string_view> named;
  std::vector<bool> withdrawn(operations_.size(), false);
  bool any = false;
  for (std::size_t i = operations_.size(); i-- > 0;) {
    const Operation& op = operations_[i];
    if (op.kind == Operation::Kind::kDelete && !named.count(op.path) && isThere(op.path, op.isFolder)) {
      withdrawn[i] = true;
      any = true;
    }
    named.insert(op.path);
    if (!op.newPath.empty()) named.insert(op.newPath);
  }
  if (!any) return;
  touch(now);
  std::vector<Operation> kept;
  kept.reserve(operations_.size());
  for (std::size_t i = 0; i < operations_.size(); ++i) {
    Operation& op = operations_[i];
    if (!withdrawn[i]) {
      kept.push_back(std::move(op));
    } else if (!op.isFolder) {
      // Its content may be another than the server's: it goes up again. A
      // folder's contents are judged one by one; the folder is no news.
      changed_[op.path] = Change{State::kModified, false};
    }
  }
  operations_ = std::move(kept);
}

void EventCoalescer::renamed(const std::string& from, const std::string& to, bool isFolder,
                             Clock::TimePoint now) {
  touch(now);
  if (from == to) return;
  std::map<std::string, Change> moved = extractTree(from);
  // Whatever stood at the target (a file, or an empty folder) was replaced.
  changed_.erase(to);
  (void)isFolder;
  auto self = moved.find("");
  const bool createdHere = self != moved.end() && self->second.state == State::kCreated;
  if (!createdHere) operations_.push_back(Operation{Operation::Kind::kRename, from, to});
  for (auto& [suffix, change] : moved) changed_[to + suffix] = change;
}

EventCoalescer::Batch EventCoalescer::take() {
  Batch batch;
  batch.operations = std::move(operations_);
  operations_.clear();
  for (auto& [path, change] : changed_) {
    if (change.isFolder) {
      // A folder is only news when it is new; its contents speak for
      // themselves.
      if (change.state == State::kCreated) batch.folders.push_back(path);
    } else {
      batch.files.push_back(path);
    }
  }
  changed_.clear();
  opened_.reset();
  return batch;
}

}  // namespace ulmora
