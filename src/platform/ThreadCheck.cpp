#include "platform/ThreadCheck.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace ulmora::threadcheck {

namespace {
[[noreturn]] void offLoop(const char* file, int line, const char* function) {
  std::fprintf(stderr, "%s:%d: %s called on thread %d, which is not its loop's\n", file, line, function,
               static_cast<int>(::gettid()));
  std::abort();
}
}  // namespace

void onLoop(const RunLoop& loop, const char* file, int line, const char* function) {
  if (!loop.isCurrent()) offLoop(file, line, function);
}

void onLoop(const RunLoop::Handle& loop, const char* file, int line, const char* function) {
  if (loop.isCurrent() == false) offLoop(file, line, function);
}

}  // namespace ulmora::threadcheck
