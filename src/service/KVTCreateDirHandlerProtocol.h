#pragma once

#include <string>

namespace ulmora {

class KVTCreateDirController;

// What a folder-creation run reports, on the thread that called
// startCraeteDir, while the call runs. One run: createDirDidStart;
// createDirDidReceiveData per folder the server created (paths relative to
// the sync root, ending "/"); createDirDidReceiveErrors per refused item;
// then createDirDidFinishSuccessfully, createDirDidCancel, or
// createDirDidFailWithError (twice for an account problem: the account
// message first, then the engine's text).
class KVTCreateDirHandlerProtocol {
 public:
  virtual ~KVTCreateDirHandlerProtocol() = default;

  virtual void createDirDidStart(KVTCreateDirController& controller) = 0;
  virtual void createDirDidReceiveData(const std::string& folder) = 0;
  virtual void createDirDidFinishSuccessfully(KVTCreateDirController& controller) = 0;
  virtual void createDirDidFailWithError(const std::string& error, KVTCreateDirController& controller) = 0;
  virtual void createDirDidRetry() {}
  virtual void createDirDidReceiveErrors(const std::string& /*errorLine*/) {}
  virtual void createDirDidCancel(KVTCreateDirController& /*controller*/) {}
};

}  // namespace ulmora
