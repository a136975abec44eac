#include "FakeListingEngine.h"

#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstring>

namespace ulmora::testing {
namespace {

// Runs before main(): a scripted engine never reaches the test runner.
[[maybe_unused]] const bool kActsAsEngine = [] {
  const char* script = getenv(kFakeEngineScriptVariable);
  if (script == nullptr || script[0] == '\0') return false;
  sigset_t term;
  sigemptyset(&term);
  sigaddset(&term, SIGTERM);
  sigprocmask(SIG_BLOCK, &term, nullptr);
  if (FILE* f = fopen(script, "rb")) {
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, f)) > 0) {
      if (write(STDOUT_FILENO, buffer, n) < 0) break;
    }
    fclose(f);
  }
  size_t len = strlen(script);
  if (len > 5 && strcmp(script + len - 5, ".hold") == 0) {
    int sig = 0;
    sigwait(&term, &sig);
    _exit(20);
  }
  _exit(0);
}();

}  // namespace

std::string fakeEnginePath() {
  char path[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return {};
  return std::string(path, static_cast<size_t>(n));
}

ScopedFakeEngineScript::ScopedFakeEngineScript(const std::string& scriptPath) {
  setenv(kFakeEngineScriptVariable, scriptPath.c_str(), 1);
}

ScopedFakeEngineScript::~ScopedFakeEngineScript() { unsetenv(kFakeEngineScriptVariable); }

}  // namespace ulmora::testing
