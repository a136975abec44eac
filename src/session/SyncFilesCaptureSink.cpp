#include "session/SyncFilesCaptureSink.h"

#include <map>

#include "journal/SyncFilesController.h"

namespace ulmora {
namespace {

constexpr const char* kNoValueYet = "NA";

std::map<std::string, std::string> withoutValues(const std::vector<std::string>& paths) {
  std::map<std::string, std::string> entries;
  for (const std::string& p : paths) entries.emplace(p, kNoValueYet);
  return entries;
}

}  // namespace

void SyncFilesCaptureSink::addBackupFiles(const std::vector<std::string>& paths) {
  writer_.addBackupFiles(paths);
}

void SyncFilesCaptureSink::addDirectory(const std::vector<std::string>& paths) {
  writer_.addDirectory(paths);
}

void SyncFilesCaptureSink::addDeleteFiles(const std::vector<std::string>& paths) {
  writer_.addDeleteFiles(paths);
}

void SyncFilesCaptureSink::addRenamedFiles(const std::vector<RenameEntry>& renames) {
  writer_.addRenamedFiles(renames);
}

void SyncFilesCaptureSink::addRestoreFiles(const std::vector<std::string>& paths) {
  writer_.addRestoreFiles(withoutValues(paths));
}

void SyncFilesCaptureSink::addOBBackupFiles(const std::vector<std::string>& paths) {
  writer_.addOBBackupFiles(paths);
}

void SyncFilesCaptureSink::addOBRestoreFiles(const std::vector<std::string>& paths) {
  writer_.addOBRestoreFiles(withoutValues(paths));
}

void SyncFilesCaptureSink::mainDBQueryFinished(const std::vector<std::string>& paths) {
  writer_.mainDBQueryFinished(paths);
}

void SyncFilesCaptureSink::RDDBQueryFinished(const std::optional<RDDataBaseRows>& /*rows*/) {
  writer_.RDDBQueryFinished();
}

}  // namespace ulmora
