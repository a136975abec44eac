#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/Clock.h"

namespace ulmora {

// The changes the watcher saw during one coalescing window, reduced to what
// the journal writer needs, and what it hands on when the window closes.
//
// Deletes and renames stay in the order they happened (the writer keeps one
// ordered event list); created and modified items are sets. Within a
// window:
// - an item created and then removed leaves no trace;
// - an item created and then renamed is created under its new name (the
//   server never knew the old one), and so is everything created inside a
//   folder renamed that way;
// - a modified item that is renamed is modified under its new name;
// - a file removed and then created again is a modification, not a delete
//   followed by a create, so the new contents are never lost to a late
//   delete; a folder keeps its delete (its old contents are gone);
// - anything changed inside a removed folder is dropped with it;
// - a removal inside a folder created in the window needs no delete.
//
// All paths are full paths.
//
// Thread-safety: none; it belongs to the watcher thread.
class EventCoalescer {
 public:
  struct Operation {
    enum class Kind { kDelete, kRename };
    Kind kind;
    std::string path;     // delete: the item; rename: the old path
    std::string newPath;  // rename only
    // Delete only: the item was a folder. Not compared: the journals carry
    // no kind.
    bool isFolder = false;
    bool operator==(const Operation& other) const {
      return kind == other.kind && path == other.path && newPath == other.newPath;
    }
  };

  struct Batch {
    std::vector<Operation> operations;  // in order
    std::vector<std::string> folders;   // created, parents first
    std::vector<std::string> files;     // created or modified, sorted
    bool empty() const { return operations.empty() && folders.empty() && files.empty(); }
  };

  explicit EventCoalescer(Clock::Duration window) : window_(window) {}

  void created(const std::string& path, bool isFolder, Clock::TimePoint now);
  void modified(const std::string& path, Clock::TimePoint now);
  void removed(const std::string& path, bool isFolder, Clock::TimePoint now);
  void renamed(const std::string& from, const std::string& to, bool isFolder, Clock::TimePoint now);

  // After lost events: every pending removal that is the last change of its
  // path and whose item `isThere` finds again (put back, moved back, copied
  // back while the events were lost) is withdrawn; a file then counts as
  // modified, since its content may be another.
  void withdrawRemovals(const std::function<bool(const std::string& path, bool isFolder)>& isThere,
                        Clock::TimePoint now);

  bool empty() const { return changed_.empty() && operations_.empty(); }
  // When the current window closes; nullopt while nothing is pending.
  std::optional<Clock::TimePoint> deadline() const;
  // What is pending, and a fresh window.
  Batch take();

 private:
  enum class State { kCreated, kModified };
  struct Change {
    State state;
    bool isFolder;
  };

  void touch(Clock::TimePoint now);
  // Removes `path` and everything below it from changed_; returns the
  // removed entries (paths relative to `path`, "" for `path` itself).
  std::map<std::string, Change> extractTree(const std::string& path);

  Clock::Duration window_;
  std::optional<Clock::TimePoint> opened_;
  std::map<std::string, Change> changed_;
  std::vector<Operation> operations_;
};

}  // namespace ulmora
