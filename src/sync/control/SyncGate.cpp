#include "sync/control/SyncGate.h"

namespace ulmora::syncgate {

namespace {

bool flag(const PropertyList& dict, const char* key) {
  const PropertyList* value = dict.find(key);
  return value != nullptr && value->boolValue();
}

}  // namespace

int shouldSync(const Input& input) {
  std::string name = input.syncUserName.value_or("");
  if (name.empty()) {
    if (!input.loginDetailsExist || input.loginDetails == nullptr) return kNoAccount;
    name = input.loginDetails->stringFor(kAccountUserKey).value_or("");
    if (name.empty()) return kNoAccount;
  }
  if (!input.loginDetailsExist) return kNoLoginDetails;
  if (input.syncFolders == nullptr || input.syncFolders->find(name) == nullptr) return kNoAccount;
  if (input.loginDetails == nullptr) return kNoLoginDetails;
  if (flag(*input.loginDetails, kUnlinkKey)) return kUnlinked;
  if (flag(*input.loginDetails, kMoveKey)) return kMoveInProgress;
  if (flag(*input.loginDetails, kPauseKey)) return kPaused;
  return kMaySync;
}

bool startMayProceed(int gate) {
  return gate == kNoAccount || gate == kMaySync || gate == kNoLoginDetails;
}

}  // namespace ulmora::syncgate
