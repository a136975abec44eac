#include "database/DatabaseTrace.h"

#include "foundation/QLBackupProgressLogger.h"

namespace ulmora {

void databaseTrace(std::string_view message) {
  QLBackupProgressLogger::progressLogger().logDaemonTrace(message, true);
}

void RepeatedFailureTrace::report(const std::string& message) {
  {
    MutexLock lock(mutex_);
    if (message == last_) return;
    last_ = message;
  }
  databaseTrace(message);
}

void RepeatedFailureTrace::clear() {
  MutexLock lock(mutex_);
  last_.clear();
}

}  // namespace ulmora
