#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/Clock.h"
#include "platform/IdleMarker.h"
#include "platform/RunLoop.h"
#include "sync/control/SyncSessionDetails.h"

namespace ulmora {

class ExcludedFilesCollections;
class FileStateDatabaseQueries;
class KVTBackupManager;
class NetworkReachability;
class NotificationPoster;
class SyncFilesController;
class UMSDBSyncInputManger;
class UserDefaults;

// What an account's sync controller is built with: the account's session and
// the objects of the composition root it works with. Collaborators of the
// controller take from it only what they use.
//
// Every reference and pointer here must outlive the controller (the account
// controller destroys the sync controller before any of them). Pointers may
// be null where noted; the controller then does without.
struct SyncContext {
  SyncContext(SyncSessionDetails session, Clock& clock, RunLoop& mainLoop,
              UMSDBSyncInputManger& inputQueue, ExcludedFilesCollections& collections)
      : session(std::move(session)),
        clock(clock),
        mainLoop(mainLoop),
        inputQueue(inputQueue),
        collections(collections) {}

  SyncSessionDetails session;

  Clock& clock;
  // Carries the timers, the delayed messages and every completion that must
  // run on the main thread.
  RunLoop& mainLoop;

  UMSDBSyncInputManger& inputQueue;
  ExcludedFilesCollections& collections;
  // The account's event journal writer; null in tests that need none.
  SyncFilesController* eventJournal = nullptr;
  // Reads of the account's local database; null in tests that need none.
  FileStateDatabaseQueries* database = nullptr;
  // The user's notification bus (in-sync lists); null: nothing is posted.
  NotificationPoster* poster = nullptr;
  // The agent's user defaults ("CACHE_CLEARED_DATE"); null: the controller
  // keeps its own in the account's application folder.
  UserDefaults* defaults = nullptr;
  // Whether the service host can be reached; null: one of the platform's.
  std::function<std::unique_ptr<NetworkReachability>()> makeReachability;
  // Time since the user's last input, for the idle marker; empty: the
  // user's terminals.
  IdleMarker::IdleProbe idleProbe;
  // Makes the upload and the download engine managers; empty: real ones on
  // `clock`.
  std::function<std::unique_ptr<KVTBackupManager>()> makeEngineManager;
  // The engine executable; "" for the string table's "ExecuterPathKVT".
  std::string enginePath;
};

}  // namespace ulmora
