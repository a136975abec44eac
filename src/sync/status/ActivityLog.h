#pragma once

#include <string>
#include <string_view>

#include "platform/Clock.h"

namespace ulmora {

// The daily activity record the status monitor reads: one XML file per day,
// "MM-dd-yyyy_sync.xml" in the activity-log folder, holding one <record>
// that is replaced (not appended to) each time a per-operation log file is
// created.
//
// The document is well-formed XML whatever the paths hold: bytes that are not
// UTF-8, and control characters that XML 1.0 cannot carry, become U+FFFD.
//
// Thread-safety: const methods only; call from any thread. Two threads
// writing the day's file at once each replace it whole (atomic rename).
class ActivityLog {
 public:
  // `activityFolder`: where the daily files go. `sessionLogFolder`: the
  // folder of the per-operation logs, as the path table gives it (with its
  // trailing "/").
  ActivityLog(std::string activityFolder, std::string sessionLogFolder, const Clock& clock);

  // The day's file name for a local time.
  static std::string fileNameFor(Clock::WallTime now);
  std::string currentFilePath() const;

  // The XML document for now.
  std::string constructXMLRequest() const;
  // Replaces the day's file with a fresh record; false when it cannot be
  // written (nobody is told: the record is a courtesy to the monitor).
  bool CreateXmlLogFile() const;

  // `text` with invalid UTF-8 and XML-forbidden control characters replaced.
  static std::string xmlSafe(std::string_view text);

 private:
  std::string activityFolder_;
  std::string sessionLogFolder_;
  const Clock& clock_;
};

}  // namespace ulmora
