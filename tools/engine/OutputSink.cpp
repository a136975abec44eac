#include "OutputSink.h"

#include "platform/Clock.h"

namespace ulmora::kvt {

OutputSink::OutputSink(std::FILE* out, std::FILE* err)
    : out_(out), err_(err), lastLine_(Clock::systemClock().monotonicNow()) {}

void OutputSink::line(std::string_view keyword, std::initializer_list<std::string_view> fields) {
  std::string text(keyword);
  for (std::string_view field : fields) {
    text += '\t';
    text.append(field);
  }
  text += '\n';
  emit(text);
}

void OutputSink::line(const std::vector<std::string>& fields) {
  std::string text;
  for (size_t i = 0; i < fields.size(); ++i) {
    if (i) text += '\t';
    text += fields[i];
  }
  text += '\n';
  emit(text);
}

void OutputSink::raw(std::string_view text) {
  std::string copy(text);
  copy += '\n';
  emit(copy);
}

void OutputSink::fatal(const Fatal& fatal) {
  line("FATAL", {std::to_string(fatal.status), fatal.text});
  std::fprintf(err_, "%s\n", fatal.text.c_str());
  std::fflush(err_);
}

void OutputSink::emit(const std::string& text) {
  lastLine_ = Clock::systemClock().monotonicNow();
  if (readerGone_) return;
  if (std::fwrite(text.data(), 1, text.size(), out_) != text.size() || std::fflush(out_) != 0) {
    readerGone_ = true;
  }
}

}  // namespace ulmora::kvt
