#include "platform/UserDefaults.h"

#include <utility>

#include "platform/FileUtil.h"
#include "platform/Trace.h"

namespace ulmora {
namespace {

// Enough for any realistic pile of damaged copies; past it something is
// badly wrong and writing stops rather than looping.
constexpr int kMaxDamagedCopies = 1000;

}  // namespace

UserDefaults::UserDefaults(std::string path)
    : path_(std::move(path)), values_(PropertyList::Dict{}) {
  load();
}

void UserDefaults::load() {
  MutexLock lock(mutex_);
  if (!fileutil::exists(path_))
    return;
  std::optional<std::string> bytes = fileutil::readFile(path_);
  std::optional<PropertyList> parsed = bytes ? PropertyList::parse(*bytes) : std::nullopt;
  if (parsed && parsed->isDict()) {
    values_ = std::move(*parsed);
    return;
  }
  damagedOnDisk_ = true;
  traceLine("UserDefaults: '" + path_ + "' is not a readable dictionary; starting empty, " +
            "the file is kept aside before the next write");
}

std::optional<PropertyList> UserDefaults::objectForKey(std::string_view key) const {
  MutexLock lock(mutex_);
  const PropertyList* value = values_.find(key);
  if (!value)
    return std::nullopt;
  return *value;
}

std::optional<std::string> UserDefaults::stringForKey(std::string_view key) const {
  MutexLock lock(mutex_);
  return values_.stringFor(key);
}

bool UserDefaults::setObject(const std::string& key, PropertyList value) {
  if (value.isNull())
    return removeObjectForKey(key);
  MutexLock lock(mutex_);
  values_.set(key, std::move(value));
  return writeLocked();
}

bool UserDefaults::removeObjectForKey(const std::string& key) {
  MutexLock lock(mutex_);
  values_.asDict()->erase(key);
  return writeLocked();
}

bool UserDefaults::synchronize() {
  MutexLock lock(mutex_);
  return writeLocked();
}

bool UserDefaults::writeLocked() {
  if (damagedOnDisk_ && !moveDamagedFileAsideLocked())
    return false;
  return values_.writeFile(path_);
}

bool UserDefaults::moveDamagedFileAsideLocked() {
  for (int n = 1; n <= kMaxDamagedCopies; ++n) {
    std::string aside = path_ + ".corrupt-" + std::to_string(n);
    switch (fileutil::renameNoReplace(path_, aside)) {
      case fileutil::RenameResult::kOk:
        traceLine("UserDefaults: kept the damaged '" + path_ + "' as '" + aside + "'");
        damagedOnDisk_ = false;
        return true;
      case fileutil::RenameResult::kTargetExists:
        continue;
      case fileutil::RenameResult::kFailed:
        // Gone meanwhile: nothing left to protect.
        if (!fileutil::exists(path_)) {
          damagedOnDisk_ = false;
          return true;
        }
        traceLine("UserDefaults: could not keep the damaged '" + path_ + "' aside; not writing");
        return false;
    }
  }
  traceLine("UserDefaults: no free name to keep the damaged '" + path_ + "' aside; not writing");
  return false;
}

}  // namespace ulmora
