#include "sync/upload/UploadRoadAdapters.h"

namespace ulmora {

std::vector<std::string> KVTManagerPort::fileFolderSetForOperation() const {
  return manager_.fileFolderSetForOperation();
}
void KVTManagerPort::setFileFolderSetForOperation(const std::vector<std::string>& set) {
  manager_.setFileFolderSetForOperation(set);
}
void KVTManagerPort::setSameBackupSetRepeated(bool repeated) { manager_.setSameBackupSetRepeated(repeated); }

void KVTManagerPort::prepareUploadRun(const std::string& sourceFolder, const User& user,
                                      const std::string& proxySettingsFile) {
  manager_.setBackupSourceFolder(sourceFolder);
  manager_.setDestinationPath("/");
  manager_.editUserInfo([&](User& record) {
    record.setUserName(user.userName());
    record.setPassword(user.password());
    record.setPrivateKey(user.privateKey());
    record.setPort(user.port());
    record.setKVTServerIP(user.kvtServerIP());
    record.setISDefaultKey(user.isDefaultKey());
    record.setEncPassword(user.encPassword());
    record.setEncPvtPassword(user.encPvtPassword());
    if (!user.ulmoraUsername().empty()) record.setUlmoraUsername(user.ulmoraUsername());
    if (!user.webServer().empty()) record.setWebServer(user.webServer());
  });
  manager_.setProxyObjectWithSettingsFile(proxySettingsFile);
  manager_.setRestore(false);
  manager_.deleteTempFilePaths();
  manager_.createTempFilePaths();
  manager_.setCancel(false);
  if (throttle_) manager_.setBandwidthThrottleValue(throttle_());
}

void KVTManagerPort::startBackup() { manager_.startBackup(); }

RunSummary KVTManagerPort::summary() const {
  RunSummary s;
  s.succesFileCount = manager_.succesFileCount();
  s.incSuccessFileCount = manager_.incSuccessFileCount();
  s.syncFileCount = manager_.syncFileCount();
  s.failureFileCount = manager_.failureFileCount();
  s.backupOrRestorFailCount = manager_.backupOrRestorFailCount();
  s.fileSuccessfullySynced = manager_.fileSuccessfullySynced();
  s.fileIncSuccessSynced = manager_.fileIncSuccessSynced();
  s.isCanceled = manager_.isCanceled();
  s.errorCode = manager_.errorCode();
  return s;
}

bool KVTManagerPort::isRunning() const { return manager_.isRunning(); }
void KVTManagerPort::setRunningState(bool running) { manager_.setRunningState(running); }
void KVTManagerPort::removeTempFilePaths() { manager_.removeTempFilePaths(); }
void KVTManagerPort::setKVTServerIP(const std::string& server) {
  manager_.editUserInfo([&](User& record) { record.setKVTServerIP(server); });
}

std::vector<std::string> InputQueuePort::readUploadBatch() {
  std::vector<std::string> out;
  PropertyList batch = queue_.readFileFor("1");
  if (const auto* array = batch.asArray()) {
    for (const auto& item : *array) {
      if (auto text = item.textValue()) out.push_back(*text);
    }
  }
  return out;
}
bool InputQueuePort::shouldReturnBackupEntries() const { return queue_.shouldReturnBackupEntries(); }
bool InputQueuePort::CheckIfBackupFilesPendingBool() { return queue_.CheckIfBackupFilesPendingBool(); }
bool InputQueuePort::doesIPFileAvailableFor(const std::string& code) { return queue_.doesIPFileAvailableFor(code); }
void InputQueuePort::deleteFileFor(const std::string& code, bool onlyRedItems) {
  queue_.deleteFileFor(code, onlyRedItems);
}
std::vector<std::string> InputQueuePort::CheckifAnyRestoreFilesPending() {
  return queue_.CheckifAnyRestoreFilesPending();
}
void InputQueuePort::addFileToUpdate(const std::map<std::string, std::string>& entries) {
  queue_.addFileToUpdate(entries);
}
void InputQueuePort::addFileToDelete(const std::string& relativePath) { queue_.addFileToDelete(relativePath); }
void InputQueuePort::addRenamedFiles(const RenameEntry& entry) { queue_.addRenamedFiles(entry); }
void InputQueuePort::addBackupFiles(const std::string& fullPath) { queue_.addBackupFiles(fullPath); }

}  // namespace ulmora
