#include "platform/Trace.h"

#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <string>
#include <utility>

namespace ulmora {
namespace {

// The sink is called with the mutex held, so once setTraceSink returns no
// call into the old sink is still running and its owner may go away.
std::mutex& sinkMutex() {
  static std::mutex m;
  return m;
}

TraceSink& installedSink() {
  static TraceSink sink;
  return sink;
}

// A sink that traces while writing (the logger's own file writes can fail)
// would deadlock on the mutex; such nested lines go to standard error.
thread_local bool insideSink = false;

void writeToStandardError(std::string_view message) {
  // One message is one line: a newline or escape sequence inside a value (a
  // file name) must not forge a line or reach the terminal.
  static constexpr char kHex[] = "0123456789abcdef";
  if (!message.empty() && message.back() == '\n')
    message.remove_suffix(1);
  std::string line;
  line.reserve(message.size() + 1);
  for (char ch : message) {
    const auto c = static_cast<unsigned char>(ch);
    if (c >= 0x20 && c != 0x7f) {
      line.push_back(ch);
    } else if (c == '\n') {
      line += "\\n";
    } else if (c == '\t') {
      line += "\\t";
    } else {
      line += "\\x";
      line.push_back(kHex[c >> 4]);
      line.push_back(kHex[c & 0xf]);
    }
  }
  line.push_back('\n');
  // One write per line keeps lines from different threads whole.
  const char* p = line.data();
  size_t left = line.size();
  while (left > 0) {
    ssize_t n = ::write(STDERR_FILENO, p, left);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return;
    p += n;
    left -= static_cast<size_t>(n);
  }
}

}  // namespace

void setTraceSink(TraceSink sink) {
  {
    std::lock_guard<std::mutex> lock(sinkMutex());
    std::swap(installedSink(), sink);
  }
  // The old sink is destroyed here, outside the lock, in case its captures
  // trace on the way out.
}

void traceLine(std::string_view message) {
  if (insideSink) {
    writeToStandardError(message);
    return;
  }
  std::lock_guard<std::mutex> lock(sinkMutex());
  TraceSink& sink = installedSink();
  if (!sink) {
    writeToStandardError(message);
    return;
  }
  insideSink = true;
  try {
    sink(message);
  } catch (...) {
    // A failing sink must not take the tracing thread down with it.
    insideSink = false;
    writeToStandardError(message);
    return;
  }
  insideSink = false;
}

}  // namespace ulmora
