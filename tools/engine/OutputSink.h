#pragma once

#include <chrono>
#include <cstdio>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "EngineStatus.h"

namespace ulmora::kvt {

// Writes the run's event lines (docs/engine.md section 6): keyword and
// TAB-separated fields, one line per event, flushed at once so that the
// driver sees each event as it happens. Callers escape path fields.
//
// Thread-safety: single-threaded; the engine runs on one thread.
class OutputSink {
 public:
  explicit OutputSink(std::FILE* out = stdout, std::FILE* err = stderr);

  void line(std::string_view keyword, std::initializer_list<std::string_view> fields);
  // A whole line of fields, the first being the keyword.
  void line(const std::vector<std::string>& fields);
  // A line printed as is (quota XML).
  void raw(std::string_view text);
  // FATAL line on stdout and the verbatim text alone on stderr.
  void fatal(const Fatal& fatal);

  // False once stdout could not be written: nobody is reading any more.
  bool readerGone() const { return readerGone_; }
  // When the last line went out (for the once-a-second ALIVE lines).
  std::chrono::steady_clock::time_point lastLineTime() const { return lastLine_; }

 private:
  void emit(const std::string& text);

  std::FILE* out_;
  std::FILE* err_;
  bool readerGone_ = false;
  std::chrono::steady_clock::time_point lastLine_;
};

}  // namespace ulmora::kvt
