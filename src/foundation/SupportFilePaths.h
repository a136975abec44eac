#pragma once

#include <string>
#include <string_view>

namespace ulmora {

// Maps an application-file index (0..155) to the absolute path of that file
// or folder for one console user and one sync account. Each template lives in
// the string table under its file's own name (101 "SyncBackupFilesDir", 107
// "LDBPath", ...); in a template "%HOME%" is the console user's home folder
// and "%SYNCUSER%" the sync user name. Index 48, indices above 155 (or below
// 0), and indices without a name or a template give "".
//
// Thread-safety: the setters must not race with pathForApplicationFile.
class SupportFilePaths {
 public:
  SupportFilePaths() = default;

  void setConsoleUserName(std::string name);
  void setSyncUserName(std::string name);
  const std::string& consoleUserName() const { return consoleUser_; }
  const std::string& syncUserName() const { return syncUser_; }

  std::string pathForApplicationFile(int index) const;
  // The string-table key of an index; empty for an index without a name.
  static std::string_view keyForApplicationFile(int index);

 private:
  std::string consoleUser_;
  std::string syncUser_;
};

}  // namespace ulmora
