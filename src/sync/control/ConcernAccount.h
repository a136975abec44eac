#pragma once

#include <string>

namespace ulmora {

class SynListingController;
class SyncControllerOwner;

// What the control and push concerns both ask of the account: its owner, the
// sync root, the settings' reading and the cycle's gate, the live change
// listing.
class ConcernAccount {
 public:
  virtual ~ConcernAccount() = default;

  // The agent's side of the account; nullptr before it is set.
  virtual SyncControllerOwner* accountOwner() = 0;
  virtual std::string getUlmoraSyncRootPath() = 0;
  virtual bool setUserData() = 0;
  virtual int shouldSync() = 0;
  // The change listing; nullptr once the controller has stopped.
  virtual SynListingController* liveChangeListing() = 0;
};

}  // namespace ulmora
