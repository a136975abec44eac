#include "sync/runs/AccountEngines.h"

#include <utility>

#include "engine/EngineProcessRecord.h"
#include "engine/KVTBackupManager.h"
#include "engine/User.h"
#include "foundation/QLBackupProgressLogger.h"
#include "service/SynListingController.h"

namespace ulmora {

AccountEngines::AccountEngines(Setup setup, Clock& clock) {
  const auto makeManager = [&](bool downloads) {
    std::unique_ptr<KVTBackupManager> m =
        setup.makeManager ? setup.makeManager() : std::make_unique<KVTBackupManager>(clock);
    m->setForOB(false);
    m->setRelativeOperation(1);
    m->setExecutorPath(setup.enginePath);
    m->setApplicationSupportFolder(setup.applicationFolder);
    m->initializeApplicationSupportPaths(setup.consoleUser, setup.syncUser);
    m->setConsoleUserName(setup.consoleUser);
    // A download's set files carry no root line.
    if (downloads) m->setRestoreMirrorPath(1);
    m->setRestore(downloads);
    return m;
  };
  uploads_ = makeManager(false);
  downloads_ = makeManager(true);

  // Only this account's engines, by the process ids its runs noted: the
  // engines of other users and accounts are left alone.
  for (KVTBackupManager* m : {uploads_.get(), downloads_.get()}) {
    leftoversStopped_ += EngineProcessRecord::stopLeftovers(m->workFolder());
  }
  if (leftoversStopped_ > 0) daemonTrace("removeOldKvtExes: " + std::to_string(leftoversStopped_) + " engines stopped");

  const auto makeListing = [&](bool refIds) {
    auto l = std::make_unique<SynListingController>();
    l->setExecutorPath(setup.enginePath);
    l->setforRefIDUpdate(refIds);
    l->initializeAppSupportFilePaths(setup.consoleUser, setup.syncUser);
    return l;
  };
  changeListing_ = makeListing(false);
  refIdListing_ = makeListing(true);
}

AccountEngines::~AccountEngines() { stop(); }

bool AccountEngines::changeListingMayStart() const {
  return changeListing_ && !changeListing_->isRunning() && !changeListing_->IsRetryListingCalledForNoData();
}

bool AccountEngines::changeListingRunning() const { return changeListing_ && changeListing_->isRunning(); }

void AccountEngines::useServer(const std::string& server) {
  for (KVTBackupManager* m : {uploads_.get(), downloads_.get()}) {
    m->editUserInfo([&](User& u) { u.setKVTServerIP(server); });
  }
}

void AccountEngines::stop() {
  // The listings' workers and the runs' last reports reach the listings'
  // delegate, and the runs' reports may start a listing: listings first,
  // then the runs, then the listings once more, and only then are they
  // dropped.
  const auto stopListings = [this] {
    if (changeListing_) changeListing_->shutdown();
    if (refIdListing_) refIdListing_->shutdown();
  };
  stopListings();
  uploads_->shutdown();
  downloads_->shutdown();
  stopListings();
  changeListing_.reset();
  refIdListing_.reset();
}

}  // namespace ulmora
