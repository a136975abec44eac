#include "foundation/QLLogger.h"

#include <ctime>

#include "foundation/QLBackupProgressLogger.h"
#include "platform/Clock.h"

namespace ulmora {

namespace {

// "%@" in each template stands for the date.
const char* sessionNameTemplate(int operation) {
  switch (operation) {
    case 1:
    case 12:
      return "%@_sync.sync-up";
    case 2:
      return "%@_sync.sync-down";
    case 3:
    case 9:
    case 13:
      return "%@_sync.rename";
    case 4:
      return "%@_sync.delete";
    case 5:
      return "Automatic_Sync%@";
    case 6:
      return "VersionRestore%@";
    case 7:
      return "Put_Back%@";
    case 8:
      return "Empty_Trash%@";
    case 10:
      return "Delete_Forever%@";
    case 11:
      return "Continuous_Backup%@";
    default:
      return nullptr;
  }
}

std::string sessionDate(const Clock& clock) {
  std::time_t t = std::chrono::system_clock::to_time_t(clock.wallNow());
  std::tm local{};
  localtime_r(&t, &local);
  char text[16];
  size_t n = std::strftime(text, sizeof text, " %m-%d-%Y", &local);
  return std::string(text, n);
}

}  // namespace

void QLLogger::logDaemonTrace(std::string_view message) {
  // Through the process-wide logger, so this line follows the lines it still
  // buffers instead of overtaking them.
  QLBackupProgressLogger::progressLogger().logDaemonTrace(message, /*flush=*/true);
}

std::string QLLogger::constructSessionFileNameforOperarion(int operation) {
  return constructSessionFileNameforOperarion(operation, Clock::systemClock());
}

std::string QLLogger::constructSessionFileNameforOperarion(int operation, const Clock& clock) {
  const char* pattern = sessionNameTemplate(operation);
  if (pattern == nullptr) return std::string();
  std::string name(pattern);
  name.replace(name.find("%@"), 2, sessionDate(clock));
  return name;
}

}  // namespace ulmora
