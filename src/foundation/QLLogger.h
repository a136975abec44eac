#pragma once

#include <string>
#include <string_view>

namespace ulmora {

class Clock;

// Unbuffered trace lines and the names of per-operation session logs.
//
// Thread-safety: all methods may be called from any thread.
class QLLogger {
 public:
  // One line appended at once to the process-wide daemon trace, after the
  // lines that logger still holds buffered.
  static void logDaemonTrace(std::string_view message);

  // The session log file name of an operation code with today's date as
  // " MM-dd-yyyy" (leading blank), e.g. 1 -> "<date>_sync.sync-up"... as the
  // table in the .cpp; "" for an unknown code. The date is the local date of
  // `clock` (the system clock in the first form).
  static std::string constructSessionFileNameforOperarion(int operation);
  static std::string constructSessionFileNameforOperarion(int operation, const Clock& clock);
};

}  // namespace ulmora
