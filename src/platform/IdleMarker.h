#pragma once

#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>

#include "platform/Clock.h"

namespace ulmora {

// Keeps the marker file that says the machine is idle: it exists while the
// user has given no input for `threshold`, and is removed otherwise (also
// when idleness cannot be told, so an unknown state never counts as idle).
//
// The desktop platform counted the time since the last keyboard or mouse
// event. Here the stand-in is the user's terminals: the newest access time of
// the terminal devices the user owns (/dev/pts/N, /dev/ttyN).
//
// Thread-safety: update() from one thread at a time.
class IdleMarker {
 public:
  // Time since the user's last input; nullopt when it cannot be told.
  using IdleProbe = std::function<std::optional<Clock::Duration>()>;
  static constexpr Clock::Duration kDefaultThreshold = std::chrono::minutes(5);
  static constexpr Clock::Duration kCheckInterval = std::chrono::minutes(1);

  IdleMarker(std::string markerPath, IdleProbe probe,
             Clock::Duration threshold = kDefaultThreshold);

  // Probes once and creates (0600) or removes the marker; true when idle.
  bool update();

  // The probe over the terminals of `uid`, measured against `clock`'s wall time.
  static std::optional<Clock::Duration> terminalIdleTime(uid_t uid, const Clock& clock);

 private:
  const std::string path_;
  const IdleProbe probe_;
  const Clock::Duration threshold_;
};

}  // namespace ulmora
