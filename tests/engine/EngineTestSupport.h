#pragma once

// Shared by the engine tests that run the real stand-in engine.

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "engine/KVTBackupManager.h"
#include "engine/KVTBackupRestoreHandlerProtocol.h"
#include "engine/User.h"

namespace ulmora::testing {

inline const char* enginePath() { return ULMORA_ENGINE_PATH; }

// Records every call a manager makes, in order, and lets a test wait for the
// run's ending.
class RecordingDelegate : public KVTBackupRestoreHandlerProtocol {
 public:
  struct Call {
    std::string name;
    std::string text;  // error text or path, when the call has one
    std::thread::id thread;
  };

  void operationDidStart(KVTBackupManager&) override { add("operationDidStart"); }
  void operationDidReceiveData(const KVTProgressRecord& r, KVTBackupManager&) override;
  void removeSfErrorFileFromDb(const std::string& path, KVTBackupManager&) override {
    add("removeSfErrorFileFromDb", path);
  }
  void makeScriptCallForObject(KVTBackupManager&) override { add("makeScriptCallForObject"); }
  void operationStartedRetrying(KVTBackupManager&) override { add("operationStartedRetrying"); }
  void operationDidFinishFileListGeneration(KVTBackupManager&) override {
    add("operationDidFinishFileListGeneration");
  }
  void operationDidReceiveErrors(const std::string& error, const std::string& path, KVTBackupManager&) override {
    add("operationDidReceiveErrors", error + "|" + path);
  }
  void operationDidFailWithError(const std::string& error, KVTBackupManager&) override {
    add("operationDidFailWithError", error);
  }
  void operationDidFailWithOverQuota(KVTBackupManager&) override { add("operationDidFailWithOverQuota"); }
  void operationDidCancel(KVTBackupManager&) override { add("operationDidCancel"); }
  void operationCanceld(KVTBackupManager&) override { add("operationCanceld"); }
  void operationDidFinishSuccessfully(KVTBackupManager&) override { add("operationDidFinishSuccessfully"); }
  void restoreRestarted(KVTBackupManager&) override { add("restoreRestarted"); }
  void deleteHalfRestoredFiles() override;
  void ClearRestoreRelatedFileEntries() override { add("ClearRestoreRelatedFileEntries"); }

  // Waits (at most `limit` of real time) until `pred` holds over the calls.
  bool waitFor(const std::function<bool(const std::vector<Call>&)>& pred,
               std::chrono::seconds limit = std::chrono::seconds(120));
  bool waitForEnding(std::chrono::seconds limit = std::chrono::seconds(120));
  bool waitForCall(const std::string& name, std::chrono::seconds limit = std::chrono::seconds(120));

  std::vector<Call> calls() const;
  std::vector<std::string> names() const;
  std::vector<KVTProgressRecord> records() const;
  int count(const std::string& name) const;
  // The one ending of the run ("" when none yet); fails the test on two.
  std::string ending() const;

  // Hooks run on the calling thread, before the call is recorded.
  std::function<void(const KVTProgressRecord&)> onData;
  std::function<void()> onDeleteHalfRestored;

 private:
  void add(std::string name, std::string text = {});

  mutable std::mutex mu_;
  std::condition_variable cv_;
  std::vector<Call> calls_;
  std::vector<KVTProgressRecord> records_;
};

bool isEnding(const std::string& name);

// Waits, with short real-time pauses, until `pred` holds; for state that no
// callback announces (an engine holding on the throttle).
bool eventually(const std::function<bool()>& pred, std::chrono::seconds limit = std::chrono::seconds(60));

// The files (not folders) the storage folder holds for `user`, by asking the
// engine itself.
std::set<std::string> serverFiles(const std::string& storage, const std::string& user = "alice");

}  // namespace ulmora::testing
