#pragma once

#include <sys/types.h>

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/ThreadAnnotations.h"
#include "platform/Clock.h"

namespace ulmora {

// What to run. The executable is started directly with posix_spawn: there is
// no shell and no $PATH search, so every argument reaches the child byte for
// byte, whatever quotes, "$(...)", back-ticks or ";" it holds.
struct ProcessOptions {
  // Path of the program (absolute, or relative to the agent's working folder).
  std::string executable;
  // argv[1...]. argv[0] is `argv0` when set, else `executable`.
  std::vector<std::string> arguments;
  std::optional<std::string> argv0;

  // With `inheritEnvironment`, the child gets the agent's environment with
  // `environment` added on top (a name given here replaces the inherited
  // value). Without it, `environment` is the child's whole environment.
  bool inheritEnvironment = true;
  std::vector<std::pair<std::string, std::string>> environment;

  // The child's working folder; the agent's own when unset.
  std::optional<std::string> workingDirectory;

  // Bytes fed to the child's standard input, which is closed afterwards.
  // Unset: standard input is /dev/null, so a child that reads it never waits
  // on the agent's terminal.
  std::optional<std::string> input;

  // When set, a child still running this long after start() is killed with
  // SIGKILL (its whole process group) and the result says timedOut.
  std::optional<Clock::Duration> timeout;
  // The clock the time-out is measured on; Clock::systemClock() when null.
  Clock* clock = nullptr;
};

struct ProcessResult {
  bool started = false;
  pid_t pid = -1;
  // The exit code when the child exited on its own, else -1.
  int exitStatus = -1;
  // The signal that ended the child, else 0.
  int termSignal = 0;
  bool timedOut = false;
  // When !started: the errno of the failure (ENOENT, EACCES, ...).
  int startErrno = 0;
  // Whatever the child wrote to a stream that has no line handler. When the
  // child could not be started, `err` holds the reason as text.
  std::string out;
  std::string err;

  bool succeeded() const { return started && exitStatus == 0; }
};

// One child process, owned by this object.
//
// The child runs in a process group of its own, with every signal at its
// default disposition and nothing blocked, and sees only descriptors 0, 1 and
// 2 (standard output and error are pipes to the agent).
//
// Output moves only while wait() runs: wait() polls both pipes (and feeds
// standard input) on the calling thread, so neither stream can fill up and
// stall the child while the agent waits on the other. A stream with a line
// handler is handed over line by line (without the "\n"; a last line without
// one is handed over at the end; a line longer than 1 MiB arrives in pieces)
// and is not kept; a stream without one is collected into the result.
//
// wait() returns once the child has exited, after reading what it left in
// the pipes. Descendants that keep the pipes open do not hold it up.
//
// The destructor kills (SIGKILL, whole group) and reaps a child that is still
// running, so no child outlives its owner and none is left a zombie.
//
// The agent must not set SIGCHLD to SIG_IGN: the kernel would then reap the
// child itself and its exit status would be lost (reported as -1 / 0).
//
// Thread-safety: start(), wait(), the setters and the destructor belong to the
// owning thread; the handlers run on the thread inside wait(). pid(),
// isRunning() and kill() may be called from any thread, also while wait()
// runs (that is how another thread cancels a child).
class ChildProcess {
 public:
  using LineHandler = std::function<void(std::string_view line)>;

  explicit ChildProcess(ProcessOptions options);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Set before start().
  void setStdoutLineHandler(LineHandler handler);
  void setStderrLineHandler(LineHandler handler);

  // Starts the child. False when it could not be started (missing or
  // non-executable file, bad working folder, an argument holding a NUL, ...);
  // wait() then returns the reason. Calling it a second time does nothing.
  bool start();

  // The child's process id (also its process group id); -1 before start().
  pid_t pid() const;

  // True from a successful start() until wait() has reaped the child.
  bool isRunning() const;

  // Sends `signal` to the child's process group. False when the child has
  // already been reaped (or never started), so a reused pid is never hit.
  bool kill(int signal);

  // Pumps the pipes until the child exits (or the time-out kills it), reaps
  // it and returns the outcome. Later calls return the same outcome.
  ProcessResult wait();

 private:
  struct Pipes;
  class Pump;

  void failStart(int error, std::string_view what);
  void reap();
  void killGroupLocked(int signal) ULMORA_REQUIRES(mutex_);

  ProcessOptions options_;
  LineHandler stdoutHandler_;
  LineHandler stderrHandler_;
  std::unique_ptr<Pipes> pipes_;
  Clock::TimePoint startTime_{};
  bool startCalled_ = false;
  bool waited_ = false;
  ProcessResult result_;

  // Guards pid_ and reaped_ so that kill() never signals a reaped pid.
  mutable Mutex mutex_;
  pid_t pid_ ULMORA_GUARDED_BY(mutex_) = -1;
  bool reaped_ ULMORA_GUARDED_BY(mutex_) = true;
};

// Runs a child to its end and returns everything it wrote.
class ProcessRunner {
 public:
  static ProcessResult run(ProcessOptions options);
};

}  // namespace ulmora
