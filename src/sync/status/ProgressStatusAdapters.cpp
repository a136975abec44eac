#include "sync/status/ProgressStatusAdapters.h"

#include "journal/CompanionMessenger.h"
#include "platform/PropertyList.h"

namespace ulmora {

bool KVTManagerRunView::isRunning() const {
  KVTBackupManager* m = manager_();
  return m != nullptr && m->isRunning();
}

double KVTManagerRunView::StartTime() const {
  KVTBackupManager* m = manager_();
  return m != nullptr ? m->StartTime() : 0;
}

int64_t KVTManagerRunView::PreviousTransferedSize() const {
  KVTBackupManager* m = manager_();
  return m != nullptr ? m->PreviousTransferedSize() : 0;
}

void KVTManagerRunView::SetPreviousTransferedSize(int64_t bytes) {
  if (KVTBackupManager* m = manager_()) m->SetPreviousTransferedSize(bytes);
}

void MessengerMonitorSink::sendToMonitor(const std::string& payload, int type) {
  std::shared_ptr<CompanionMessenger> channel = messenger_ ? messenger_() : nullptr;
  if (channel == nullptr) return;
  channel->sendIPCMessage(PropertyList(payload), type, false);
}

}  // namespace ulmora
