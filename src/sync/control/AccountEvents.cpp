#include "sync/control/AccountEvents.h"

#include <cctype>
#include <unistd.h>

#include "foundation/QLBackupProgressLogger.h"
#include "platform/FileUtil.h"
#include "platform/ThreadCheck.h"

namespace ulmora {

AccountEvents::AccountEvents(Paths paths, AccountEventsPort& port, RunLoop& mainLoop)
    : paths_(std::move(paths)), port_(port), mainLoop_(mainLoop) {}

void AccountEvents::HandleAccountUnderMaintainence() {
  daemonTrace(
      "HandleAccountUnderMaintainence:getLoginDetailForUlmoraSyncUser will be called after 2 minutes "
      "called ");
  if (maintenanceFetchPending_.exchange(true)) return;
  mainLoop_.postDelayed(guard_.wrap([this] {
                          maintenanceFetchPending_ = false;
                          getLoginDetailForUlmoraSyncUser();
                        }),
                        kMaintenanceWait);
}

void AccountEvents::getLoginDetailForUlmoraSyncUser() {
  ULMORA_DCHECK_ON_LOOP(mainLoop_);
  daemonTrace("HandleAccountUnderMaintainence:getLoginDetailForUlmoraSyncUser called ");
  mainLoop_.post(guard_.wrap([this] { port_.requestAccountDetails(); }));
}

bool AccountEvents::isPlausibleServer(const std::string& server) {
  if (server.empty() || server.size() > 253 || server[0] == '.' || server[0] == '-') return false;
  for (char c : server)
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '-' && c != '_' && c != ':')
      return false;
  return true;
}

void AccountEvents::didScriptControllerFinishedSuccessfully(const PropertyList& reply,
                                                            bool fromOwnClient) {
  ULMORA_DCHECK_ON_LOOP(mainLoop_);
  const auto* dict = reply.asDict();
  if (!fromOwnClient || !dict || dict->size() < 2) return;
  const auto server = reply.stringFor(kServerKey);
  if (!server || !isPlausibleServer(*server)) {
    // Storing it would point every later engine run at nowhere (or elsewhere).
    daemonTrace("setupConnectionForURL: the reply holds no usable server address");
    return;
  }
  auto details = PropertyList::readFile(paths_.lastUserLoginDetails);
  if (details && details->isDict()) {
    daemonTrace("setupConnectionForURL:result:" + reply.toXml());
    details->set("IP", *server);
    details->set("UserAtServer",
                 details->stringFor("UlmoraSync username").value_or("") + "@" + *server + "::quellar");
    details->writeFile(paths_.lastUserLoginDetails);
    details->writeFile(paths_.loginDetails);
  }
  port_.reloadSettings();
  if (port_.takeRestartDueToMaintenance()) {
    if (restartScheduled_) return;
    restartScheduled_ = true;
    mainLoop_.postDelayed(guard_.wrap([this] {
                            daemonTrace("setupConnectionForURL: new login details updated so restarting damon ");
                            port_.exitProcess(0);
                          }),
                          kRestartWait);
    return;
  }
  daemonTrace("setupConnectionForURL: new login details updated so calling query main DB");
  port_.queryMainDB(false);
}

void AccountEvents::parsingFailedWithError(const std::string& error) {
  ULMORA_DCHECK_ON_LOOP(mainLoop_);
  daemonTrace("setupConnectionForURL:parsingFailedWithError:" + error);
}

void AccountEvents::didReceievedData() {
  ULMORA_DCHECK_ON_LOOP(mainLoop_);
  daemonTrace("setupConnectionForURL:didReceievedData ");
}

void AccountEvents::removeLastUserLoginDetails() {
  if (fileutil::exists(paths_.lastUserLoginDetails)) ::unlink(paths_.lastUserLoginDetails.c_str());
}

void AccountEvents::sendToMonitor(const std::string& text, int type) {
  if (auto monitor = port_.monitorMessenger())
    monitor->sendIPCMessage(PropertyList(text), type, false);
}

void AccountEvents::passwordChangedFromWeb() {
  port_.showDesktopPushNotification("N1012");
  sendToMonitor("", kPasswordChangedMessage);
  removeLastUserLoginDetails();
}

void AccountEvents::sendToolTip() {
  ULMORA_DCHECK_ON_LOOP(mainLoop_);
  port_.sendCurrentSyncStatus();
}

void AccountEvents::ifSyncFolderDoNotExist() {
  ULMORA_DCHECK_ON_LOOP(mainLoop_);
  if (port_.accountLoggedOutUnlinked()) return;
  if (missingFolderReported_.exchange(true)) return;
  port_.setMonitorToolTip("T1020");
  port_.showDesktopPushNotification("N1029");
  sendToMonitor(kFolderMissingText, kFolderMissingMessage);
  removeLastUserLoginDetails();
}

void AccountEvents::notAbleTOCreateFolderAtPath() {
  ULMORA_DCHECK_ON_LOOP(mainLoop_);
  if (invalidFolderReported_.exchange(true)) return;
  port_.setMonitorToolTip("T1021");
  port_.showDesktopPushNotification("N1028");
  sendToMonitor(kFolderInvalidText, kFolderMissingMessage);
  sendToMonitor(kFolderInvalidText, kFolderInvalidMessage);
  removeLastUserLoginDetails();
}

void AccountEvents::syncFolderFound() {
  missingFolderReported_ = false;
  invalidFolderReported_ = false;
}

namespace {

bool isTemporaryName(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return fileutil::lastComponent(path).rfind("~$", 0) == 0;
}

}  // namespace

bool AccountEvents::AreAllToBeExcluded(const std::vector<RenameEntry>& renames) {
  for (const auto& r : renames)
    if (!isTemporaryName(r.originalPath) || !isTemporaryName(r.renamedPath)) return false;
  return true;
}

bool AccountEvents::AreAllToBeExcludedDelete(const std::vector<std::string>& paths) {
  for (const auto& path : paths) {
    if (isTemporaryName(path)) continue;
    if (!path.empty() && path.back() == '/') return false;
    const std::string name = fileutil::lastComponent(path);
    const auto dot = name.rfind('.');
    if (dot != std::string::npos && dot > 0 && dot + 1 < name.size()) return false;
  }
  return true;
}

}  // namespace ulmora
