#include "platform/ThreadCheck.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace ulmora::threadcheck {

void onLoop(const RunLoop& loop, const char* file, int line, const char* function) {
  if (loop.isCurrent()) return;
  std::fprintf(stderr, "%s:%d: %s called on thread %d, which is not its loop's\n", file, line, function,
               static_cast<int>(::gettid()));
  std::abort();
}

}  // namespace ulmora::threadcheck
