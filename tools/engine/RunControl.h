#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "OutputSink.h"
#include "platform/Clock.h"

namespace ulmora::kvt {

// The driver's hold on a running engine: the cancel file "intCancel" and the
// throttle file "QLThrottle" in the run's work folder (docs/engine.md
// section 5), SIGTERM/SIGINT, and a reader that went away.
//
// Both files are re-read at most every 100 ms, so a cancel is seen within
// 200 ms even while the engine sleeps for the throttle or holds on "-1".
//
// Thread-safety: single-threaded, except the signal flag.
class RunControl {
 public:
  RunControl(std::optional<std::string> workDir, std::optional<int64_t> capBytesPerSecond,
             OutputSink& out, Clock& clock);

  // Makes SIGTERM and SIGINT ask for a cancel instead of killing the engine
  // mid-file, and SIGPIPE harmless.
  static void installSignalHandlers();

  bool cancelled();

  // Accounts for `bytes` just moved: waits out a "-1" hold and sleeps as long
  // as the current rate asks. False when the run was cancelled meanwhile.
  // Call with 0 before each item so that a hold also stops between files.
  bool pace(int64_t bytes);

  // Bytes to move before the next pace() call: small enough that a slow rate
  // still lets the engine look at its files often.
  size_t chunkSize();

  // True while "-1" holds the transfer or a rate applies.
  bool holding();
  bool rateLimited();

  // Sleeps without moving anything until cancelled (the stall fault).
  void idleUntilCancelled();

 private:
  void refresh(bool force);
  int64_t effectiveRate() const;

  std::optional<std::string> workDir_;
  std::optional<int64_t> cap_;
  OutputSink& out_;
  Clock& clock_;
  Clock::TimePoint lastRead_{};
  bool everRead_ = false;
  bool cancelSeen_ = false;
  bool hold_ = false;
  int64_t throttle_ = 0;  // bytes per second, 0 = unlimited
  int64_t lastRate_ = 0;
  Clock::TimePoint nextFree_{};
};

}  // namespace ulmora::kvt
