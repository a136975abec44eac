#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "platform/ThreadAnnotations.h"
#include "platform/PropertyList.h"

namespace ulmora {

// The agent's user defaults: one dictionary kept as an XML property list file.
//
// The file is read once, at construction; changes made on disk afterwards by
// another process are not seen (the agent is the file's only writer). Every
// change is written through at once (atomically, mode 0600), so nothing waits
// for a later synchronize() and a crash loses nothing.
//
// A file that exists but cannot be used (unreadable, not a property list, or
// not a dictionary) is never overwritten: before the first write it is moved
// aside to "<name>.corrupt-<n>" (the first free n from 1), with a trace line.
// Until that move succeeds nothing is written.
//
// Thread-safety: all methods may be called from any thread; one mutex guards
// the dictionary and the file writes.
class UserDefaults {
 public:
  explicit UserDefaults(std::string path);
  UserDefaults(const UserDefaults&) = delete;
  UserDefaults& operator=(const UserDefaults&) = delete;

  const std::string& path() const { return path_; }

  // A copy of the value; nullopt when the key is absent.
  std::optional<PropertyList> objectForKey(std::string_view key) const;
  // The value when it is a string; nullopt otherwise.
  std::optional<std::string> stringForKey(std::string_view key) const;

  // Sets (a Null value removes) the key and writes the file. The change is
  // kept in memory either way; false when the file could not be written.
  bool setObject(const std::string& key, PropertyList value);
  bool removeObjectForKey(const std::string& key);

  // Writes the current dictionary. False when the file could not be written.
  bool synchronize();

 private:
  void load();
  bool writeLocked() ULMORA_REQUIRES(mutex_);
  bool moveDamagedFileAsideLocked() ULMORA_REQUIRES(mutex_);

  const std::string path_;
  mutable Mutex mutex_;
  PropertyList values_ ULMORA_GUARDED_BY(mutex_);  // always a Dict
  bool damagedOnDisk_ ULMORA_GUARDED_BY(mutex_) = false;
};

}  // namespace ulmora
