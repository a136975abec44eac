#include "session/PlaceholderSyncController.h"

#include "ipc/MessageSendingModule.h"
#include "platform/Trace.h"
#include "session/SessionMessageTypes.h"
#include "sync/SyncControllerOwner.h"

namespace ulmora {
namespace {

void trace(const std::string& what) { traceLine("sync controller (placeholder): " + what); }

}  // namespace

PlaceholderSyncController::PlaceholderSyncController(RunLoop* mainLoop)
    : mainLoop_((mainLoop != nullptr ? *mainLoop : RunLoop::main()).handle()) {}

PlaceholderSyncController::~PlaceholderSyncController() = default;

SyncSessionDetails PlaceholderSyncController::session() const {
  std::lock_guard<std::mutex> hold(mu_);
  return session_;
}

SyncControllerOwner* PlaceholderSyncController::owner() const {
  std::lock_guard<std::mutex> hold(mu_);
  return owner_;
}

void PlaceholderSyncController::initWithConsoleUser(const SyncSessionDetails& session) {
  {
    std::lock_guard<std::mutex> hold(mu_);
    session_ = session;
  }
  trace("initWithConsoleUser " + session.consoleUser + " / " + session.syncUser + " at \"" +
        session.syncRootPath + "\"");
}

void PlaceholderSyncController::setSharedUlmoraSyncUserController(SyncControllerOwner* owner) {
  std::lock_guard<std::mutex> hold(mu_);
  owner_ = owner;
}

void PlaceholderSyncController::setReinitializeState(bool state) {
  reinitialize_ = state;
  trace(std::string("setReinitializeState ") + (state ? "YES" : "NO"));
}

bool PlaceholderSyncController::getReinitializeState() const { return reinitialize_; }

void PlaceholderSyncController::sendRootToFinder(int type, bool runInThread) {
  SyncControllerOwner* o = owner();
  MessageSendingModule* finder = o != nullptr ? o->finderMessenger() : nullptr;
  if (finder == nullptr) return;
  finder->sendIPCMessage(PropertyList(session().syncRootPath), type, runInThread);
}

void PlaceholderSyncController::startSync() {
  unlinked_ = false;
  trace("startSync: nothing is transferred; the sync root goes to the file manager");
  sendRootToFinder(messagetype::kFinderSyncRoot, true);
  // The second message follows on the main loop rather than after a sleep
  // that would hold every command and timer of the agent.
  mainLoop_.postDelayed(guard_.wrap([this] {
                          sendRootToFinder(messagetype::kFinderSyncRootAgain, true);
                        }),
                        kSecondRootMessageDelay);
}

void PlaceholderSyncController::PauseSync() {
  paused_ = true;
  trace("PauseSync");
}

void PlaceholderSyncController::ResumeSync() {
  paused_ = false;
  trace("ResumeSync");
}

void PlaceholderSyncController::UnlinkSync() { trace("UnlinkSync"); }

void PlaceholderSyncController::stopSyncForUnlink(bool unlink) {
  unlinked_ = true;
  trace(std::string("stopSyncForUnlink ") + (unlink ? "YES" : "NO"));
}

void PlaceholderSyncController::ReinitializeSync() { trace("ReinitializeSync"); }

void PlaceholderSyncController::startSyncListingAllFiles(int mode) {
  trace("startSyncListingAllFiles " + std::to_string(mode) + ": no listing runs yet");
  // A reinitialise ends with its full listing; without one it ends here, so
  // the account does not stay marked as reinitialising.
  if (mode == 0 && reinitialize_.exchange(false)) {
    if (SyncControllerOwner* o = owner()) o->setisReinitializeState(false);
  }
}

void PlaceholderSyncController::selectiveSyncModefied() { trace("selectiveSyncModefied"); }

void PlaceholderSyncController::ShowVersion(const std::string& path) {
  trace("ShowVersion \"" + path + "\": no version history yet");
}

void PlaceholderSyncController::SendPathRootSet() {
  trace("SendPathRootSet");
  sendRootToFinder(messagetype::kFinderSyncRoot, false);
}

void PlaceholderSyncController::RecalculateQuota() { trace("RecalculateQuota: no quota yet"); }

void PlaceholderSyncController::sendToolTip() { trace("sendToolTip: no status yet"); }

void PlaceholderSyncController::notAbleTOCreateFolderAtPath() {
  trace("notAbleTOCreateFolderAtPath \"" + session().syncRootPath + "\"");
  SyncControllerOwner* o = owner();
  MessageSendingModule* monitor = o != nullptr ? o->monitorMessenger() : nullptr;
  if (monitor == nullptr) return;
  monitor->sendIPCMessage(PropertyList(kFolderInvalidText), messagetype::kMonitorSyncFolderDisabled,
                          false);
  monitor->sendIPCMessage(PropertyList(kFolderInvalidText), messagetype::kMonitorSyncFolderInvalid,
                          false);
}

void PlaceholderSyncController::updateIconOverlay() { trace("updateIconOverlay"); }

std::string PlaceholderSyncController::getUlmoraSyncRootPath() { return session().syncRootPath; }

std::string PlaceholderSyncController::syncUserName() { return session().syncUser; }

void PlaceholderSyncController::queryMainDB(int option) {
  if (SyncControllerOwner* o = owner()) o->queryMainDB(option);
}

void PlaceholderSyncController::GetTotalCountAndTotalSizeOfBackupFiles() {
  if (SyncControllerOwner* o = owner()) o->queryMainDBForTotalCountAndSizeOfBackupFiles();
}

void PlaceholderSyncController::GetTotalCountAndTotalSizeOfRestoreFiles() {
  if (SyncControllerOwner* o = owner()) o->queryMainDBForTotalCountAndSizeOfRestoreFiles();
}

void PlaceholderSyncController::setOfflineDeleteRenamedFileInfo(
    const std::optional<RDDataBaseRows>& rows) {
  trace(rows ? "rename/delete rows for " + std::to_string(rows->size()) + " operations"
             : std::string("the rename/delete database could not be read"));
}

}  // namespace ulmora
