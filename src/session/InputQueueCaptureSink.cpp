#include "session/InputQueueCaptureSink.h"

#include <map>

#include "journal/UMSDBSyncInputManger.h"
#include "platform/Trace.h"

namespace ulmora {

InputQueueCaptureSink::InputQueueCaptureSink(UMSDBSyncInputManger& queue, Callbacks callbacks)
    : queue_(queue), callbacks_(std::move(callbacks)) {}

void InputQueueCaptureSink::addBackupFiles(const std::vector<std::string>& paths) {
  for (const std::string& p : paths) queue_.addBackupFiles(p);
}

void InputQueueCaptureSink::addDirectory(const std::vector<std::string>& paths) {
  for (const std::string& p : paths) queue_.addDirectory(p);
}

void InputQueueCaptureSink::addDeleteFiles(const std::vector<std::string>& paths) {
  for (const std::string& p : paths) queue_.addDeleteFiles(p);
}

void InputQueueCaptureSink::addRenamedFiles(const std::vector<RenameEntry>& renames) {
  for (const RenameEntry& r : renames) queue_.addRenamedFiles(r);
}

void InputQueueCaptureSink::addRestoreFiles(const std::vector<std::string>& paths) {
  std::map<std::string, std::string> entries;
  for (const std::string& p : paths) entries.emplace(p, "NA");
  queue_.addRestoreFiles(entries);
}

void InputQueueCaptureSink::addOBBackupFiles(const std::vector<std::string>& paths) {
  for (const std::string& p : paths) queue_.addOBBackupFiles(p);
}

void InputQueueCaptureSink::addOBRestoreFiles(const std::vector<std::string>& paths) {
  traceLine("session: " + std::to_string(paths.size()) +
            " Out-of-Box downloads dropped: no journal writer for them yet");
}

void InputQueueCaptureSink::mainDBQueryFinished(const std::vector<std::string>& paths) {
  if (callbacks_.mainQueryFinished) callbacks_.mainQueryFinished(paths);
}

void InputQueueCaptureSink::RDDBQueryFinished(const std::optional<RDDataBaseRows>& /*rows*/) {
  if (callbacks_.renameDeleteQueryFinished) callbacks_.renameDeleteQueryFinished();
}

void InputQueueCaptureSink::addFileToUpdate(const std::map<std::string, std::string>& entries) {
  queue_.addFileToUpdate(entries);
}

void InputQueueCaptureSink::addFileToDelete(const std::string& relativePath) {
  queue_.addFileToDelete(relativePath);
}

}  // namespace ulmora
