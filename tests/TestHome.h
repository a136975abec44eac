#pragma once

#include <cstdlib>
#include <optional>
#include <string>

#include "TestTempDir.h"
#include "platform/FileUtil.h"
#include "platform/PropertyList.h"

namespace ulmora::testing {

// A temporary home folder for one test: $HOME points at it while alive, so
// every application file of the agent lands inside it.
class TemporaryHome {
 public:
  TemporaryHome() {
    if (const char* old = std::getenv("HOME")) oldHome_ = old;
    setenv("HOME", dir_.path().c_str(), 1);
  }
  ~TemporaryHome() {
    if (oldHome_) {
      setenv("HOME", oldHome_->c_str(), 1);
    } else {
      unsetenv("HOME");
    }
  }
  TemporaryHome(const TemporaryHome&) = delete;
  TemporaryHome& operator=(const TemporaryHome&) = delete;

  const std::string& path() const { return dir_.path(); }
  std::string sub(const std::string& relative) const { return dir_.sub(relative); }
  std::string loginDetailsPath() const { return sub(".config/ulmora/LastUserLoginDetails.plist"); }
  std::string syncFoldersPath() const { return sub(".config/ulmora/SyncFolders.plist"); }
  std::string accountFolder(const std::string& user) const {
    return sub(".local/share/ulmora/" + user);
  }

  void writeRaw(const std::string& path, const std::string& bytes) const {
    fileutil::makeDirectories(fileutil::parentPath(path));
    fileutil::writeFileAtomically(path, bytes);
  }
  void writePlist(const std::string& path, const PropertyList& value) const {
    fileutil::makeDirectories(fileutil::parentPath(path));
    value.writeFile(path);
  }
  // Login details naming `user`, and the sync-folder list {user: root}.
  void logIn(const std::string& user, const std::string& root) const {
    PropertyList login(PropertyList::Dict{});
    login.set("Ulmora username", user);
    login.set("UlmoraSync username", user);
    writePlist(loginDetailsPath(), login);
    PropertyList folders(PropertyList::Dict{});
    folders.set(user, root);
    writePlist(syncFoldersPath(), folders);
  }

 private:
  TestTempDir dir_;
  std::optional<std::string> oldHome_;
};

}  // namespace ulmora::testing
