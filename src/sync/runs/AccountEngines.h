#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/Clock.h"

namespace ulmora {

class KVTBackupManager;
class SynListingController;

// The account's two engine managers (uploads, downloads) and its two server
// listings (changes, reference ids): made and set up as one, and ended in
// the one order their threads allow.
//
// Life: built before the concerns that take them by reference; each concern
// makes itself the delegate of the ones it drives. The construction stops the
// engines an earlier agent of this account left running (only those its own
// runs noted). stop() ends the listings' workers, then the runs, then the
// listings again (a run's last report may have started one) and drops the
// listings; the managers stay, refusing runs, because the input queue's writer
// may ask whether they run until the account stops it.
//
// Thread-safety: built and stopped on the main loop. The managers may be used
// from any thread (each guards its own state). The listings, changeListing(),
// refIdListing() and liveChangeListing() belong to the main loop; after stop()
// the first two must not be called, and liveChangeListing() answers nullptr.
class AccountEngines {
 public:
  struct Setup {
    std::string consoleUser;
    std::string syncUser;
    std::string enginePath;
    // Application folder 1: the managers' work folders lie below it.
    std::string applicationFolder;
    // Makes a manager; null: a real one on the clock.
    std::function<std::unique_ptr<KVTBackupManager>()> makeManager;
  };

  AccountEngines(Setup setup, Clock& clock);
  // stop().
  ~AccountEngines();
  AccountEngines(const AccountEngines&) = delete;
  AccountEngines& operator=(const AccountEngines&) = delete;

  KVTBackupManager& uploads() { return *uploads_; }
  KVTBackupManager& downloads() { return *downloads_; }
  SynListingController& changeListing() { return *changeListing_; }
  SynListingController& refIdListing() { return *refIdListing_; }
  // The change listing while the engines run; nullptr once stopped.
  SynListingController* liveChangeListing() { return changeListing_.get(); }

  // The change listing is idle and no retry for no data is pending; false
  // once stopped.
  bool changeListingMayStart() const;
  bool changeListingRunning() const;
  // Both managers' connection records name `server` from here on.
  void useServer(const std::string& server);
  // The number of leftover engines the construction stopped.
  int leftoversStopped() const { return leftoversStopped_; }

  // Idempotent.
  void stop();

 private:
  std::unique_ptr<KVTBackupManager> uploads_;
  std::unique_ptr<KVTBackupManager> downloads_;
  std::unique_ptr<SynListingController> changeListing_;
  std::unique_ptr<SynListingController> refIdListing_;
  int leftoversStopped_ = 0;
};

}  // namespace ulmora
