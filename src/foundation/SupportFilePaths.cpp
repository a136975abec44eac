#include "foundation/SupportFilePaths.h"

#include "foundation/QLLocalizedString.h"
#include "foundation/QLUtility.h"

namespace ulmora {

namespace {

constexpr int kLastIndex = 155;
// Reserved by the original numbering; never a file of ours.
constexpr int kReservedIndex = 48;

struct NamedFile {
  int index;
  std::string_view key;
};

// The string-table key of each application file the agent uses, by index.
constexpr NamedFile kNamedFiles[] = {
    {0, "ApplicationRootFolderPath"},
    {1, "ApplicationUserFolderPath"},
    {2, "DeamonPreferencePath"},
    {24, "LoginDetailsFilePath"},
    {25, "InProcessState"},
    {26, "LastUserLoginDetailsFilePath"},
    {31, "LogsFolderPath"},
    {32, "SessionLogsFolderPath"},
    {50, "RootUserFolder"},
    {84, "ProxySetting"},
    {94, "DefaultKeyPath"},
    {101, "SyncBackupFilesDir"},
    {102, "SyncDaemonEventsPathDir"},
    {103, "SyncDeleteFilesDir"},
    {104, "SyncRenameFilesDir"},
    {105, "SyncRestoreFilesDir"},
    {106, "SyncNotificationFilesDir"},
    {107, "LDBPath"},
    {108, "ListingFiles"},
    {109, "ListingDeleteFiles"},
    {110, "SyncFolderPath"},
    {113, "BackupFileEntries"},
    {114, "BackupFileEntriesAfterDelete"},
    {118, "RestoreFileEntries"},
    {120, "SyncCreateDir"},
    {121, "InstallerRefForUser"},
    {124, "UserQuotaDetails"},
    {125, "SyncOBBackupFilesDir"},
    {126, "SyncOBDeleteFilesDir"},
    {127, "SyncOBRenameFilesDir"},
    {128, "SyncOBCreateDir"},
    {129, "SyncOBRestoreFilesDir"},
    {130, "SyncBackupFilesCount"},
    {131, "SyncDeleteFilesCount"},
    {132, "SyncRenameFilesCount"},
    {133, "SelectiveSyncRefPath"},
    {136, "RecID"},
    {137, "RecentItems"},
    {139, "RestoreStatus1"},
    {140, "RestoreStatus2"},
    {141, "RestoreStatus3"},
    {142, "RestoreStatus4"},
    {150, "LOGXMLFile"},
    {152, "SystemInIdleState"},
};

}  // namespace

std::string_view SupportFilePaths::keyForApplicationFile(int index) {
  for (const NamedFile& f : kNamedFiles) {
    if (f.index == index) return f.key;
  }
  return {};
}

void SupportFilePaths::setConsoleUserName(std::string name) { consoleUser_ = std::move(name); }

void SupportFilePaths::setSyncUserName(std::string name) { syncUser_ = std::move(name); }

std::string SupportFilePaths::pathForApplicationFile(int index) const {
  if (index < 0 || index > kLastIndex || index == kReservedIndex) return std::string();
  const std::string key(keyForApplicationFile(index));
  if (key.empty()) return std::string();
  std::string pathTemplate = QLLocalizedString(key);
  if (pathTemplate.empty() || pathTemplate == key) return std::string();
  return QLUtility::fillPathTemplate(pathTemplate, consoleUser_, syncUser_)
      .value_or(std::string());
}

}  // namespace ulmora
