#include "session/SyncAgent.h"

#include <curl/curl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <thread>

#include "foundation/QLBackupProgressLogger.h"
#include "platform/Clock.h"
#include "foundation/QLUtility.h"
#include "foundation/SupportFilePaths.h"
#include "platform/RunLoop.h"
#include "platform/Trace.h"
#include "session/UMSMultipleACManager.h"

namespace ulmora {
namespace {

constexpr int kLogsFolder = 31;

sigset_t stopSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  return set;
}

}  // namespace

int SyncAgent::run() {
  // Before any thread: every thread inherits the mask, and only the waiter
  // below ever takes the stop signals, so they cannot interrupt a write.
  const sigset_t signals = stopSignals();
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  signal(SIGPIPE, SIG_IGN);
  if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
    std::fputs("ulmora-agent: libcurl could not be initialised\n", stderr);
    return 1;
  }

  const std::string consoleUser = QLUtility::currentConsoleUserName();
  SupportFilePaths consolePaths;
  consolePaths.setConsoleUserName(consoleUser);
  QLBackupProgressLogger& logger = QLBackupProgressLogger::progressLogger();
  const std::string logs = consolePaths.pathForApplicationFile(kLogsFolder);
  if (!logs.empty()) logger.setLogFolder(logs);
  traceLine("agent started for \"" + consoleUser + "\" (pid " + std::to_string(getpid()) + ")");
  if (const double scale = Clock::timeScale(); scale != 1.0) {
    traceLine("agent: test time scale " + std::to_string(scale) +
              ": timers, delayed work and sleeps run that many times faster; dates stay real");
  }

  RunLoop& loop = RunLoop::main();
  int exitStatus = 0;
  {
    UMSMultipleACManager::Options options;
    options.consoleUser = consoleUser;
    UMSMultipleACManager manager(std::move(options));
    manager.start();

    std::thread waiter([&signals, handle = loop.handle()] {
      int received = 0;
      if (sigwait(&signals, &received) == 0) {
        traceLine("agent: signal " + std::to_string(received) + ", stopping");
      }
      handle.stop();
    });
    loop.run();
    waiter.join();
    manager.shutdown();
  }
  traceLine("agent stopped");
  logger.flushAll();
  curl_global_cleanup();
  return exitStatus;
}

}  // namespace ulmora
