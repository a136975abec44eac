#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/PropertyList.h"

namespace ulmora {

// A file's BACKUP_STATUS and REF_ID as recorded; both missing when the
// database has no row for the file.
struct BackupStatusAndRefId {
  static constexpr std::string_view kBackupStatusKey = "backupStatus";
  static constexpr std::string_view kRefIdKey = "ref_id";

  std::optional<std::string> backupStatus;
  std::optional<std::string> refId;

  // {"backupStatus": ..., "ref_id": ...}, leaving out what is missing.
  PropertyList toPropertyList() const {
    PropertyList::Dict dict;
    if (backupStatus) dict[std::string(kBackupStatusKey)] = *backupStatus;
    if (refId) dict[std::string(kRefIdKey)] = *refId;
    return PropertyList(std::move(dict));
  }
  bool operator==(const BackupStatusAndRefId&) const = default;
};

// A file's FILE_LMD ("yyyy-MM-dd HH:mm:ss +0000") and FILE_SIZE as recorded
// when it was last synced.
struct RecordedFileFacts {
  std::optional<std::string> modificationDate, size;
  bool operator==(const RecordedFileFacts&) const = default;
};

}  // namespace ulmora
