#pragma once

#include <sys/types.h>

#include <string>

namespace ulmora {

// A note in a run's work folder naming the engine process it started, so
// that an engine left running by an agent that ended without stopping it is
// found and stopped by the next agent of the same account, and nothing else
// is: a process is stopped only when its id, its start time and its owner
// all still match the note.
//
// File: "<work folder>/engine<slot>.pid" holding "<pid> <start time>" (the
// start time in clock ticks since boot, field 22 of /proc/<pid>/stat).
//
// Thread-safety: stateless; any thread.
class EngineProcessRecord {
 public:
  EngineProcessRecord() = delete;

  static std::string pathFor(const std::string& workFolder, int slot);
  // Writes the note (0600); false when it cannot be written.
  static bool write(const std::string& path, pid_t pid);
  static void remove(const std::string& path);
  // Stops (SIGKILL to its process group) every engine noted in `workFolder`
  // that still runs as this user, and removes the notes. The number stopped.
  static int stopLeftovers(const std::string& workFolder);
  // Field 22 of /proc/<pid>/stat; 0 when the process is gone.
  static unsigned long long startTime(pid_t pid);
};

}  // namespace ulmora
