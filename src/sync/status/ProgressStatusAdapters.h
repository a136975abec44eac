#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>

#include "engine/KVTBackupManager.h"
#include "sync/status/MonitorSink.h"
#include "sync/status/ProgressTracker.h"

namespace ulmora {

class CompanionMessenger;

// The progress counters' view of a real engine manager, looked up on every
// call: nullptr (the manager is gone while the controller stops) reads as an
// idle manager that never started.
//
// Thread-safety: as KVTBackupManager (any thread), as long as the function
// may be called there.
class KVTManagerRunView final : public TransferRunView {
 public:
  explicit KVTManagerRunView(std::function<KVTBackupManager*()> manager)
      : manager_(std::move(manager)) {}
  bool isRunning() const override;
  double StartTime() const override;
  int64_t PreviousTransferedSize() const override;
  void SetPreviousTransferedSize(int64_t bytes) override;

 private:
  std::function<KVTBackupManager*()> manager_;
};

// Messages to the status monitor over the console user's channel, asked for
// anew on every send: none (this account is not the logged-in one) drops the
// message. Queued on the channel (runInThread false), so it never blocks.
//
// Thread-safety: any thread, as long as the function may be called there.
class MessengerMonitorSink final : public MonitorSink {
 public:
  explicit MessengerMonitorSink(std::function<std::shared_ptr<CompanionMessenger>()> messenger)
      : messenger_(std::move(messenger)) {}
  void sendToMonitor(const std::string& payload, int type) override;

 private:
  std::function<std::shared_ptr<CompanionMessenger>()> messenger_;
};

}  // namespace ulmora
