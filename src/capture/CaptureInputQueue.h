#pragma once

#include <map>
#include <string>

namespace ulmora {

// What the filter sets need from the account's sync input queue: marking a
// path as in sync, and dropping the database row of a path that is gone.
//
// Thread-safety: called from whichever thread runs the filter; the queue
// takes its own locks.
class CaptureInputQueue {
 public:
  virtual ~CaptureInputQueue() = default;

  // {relative path: value}; the value "Backup" records the path as in sync.
  virtual void addFileToUpdate(const std::map<std::string, std::string>& entries) = 0;
  virtual void addFileToDelete(const std::string& relativePath) = 0;
};

}  // namespace ulmora
