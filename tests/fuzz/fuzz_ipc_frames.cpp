// Feeds arbitrary bytes, as a companion could send them, to the IPC frame
// reader, whole and cut into pieces: the frames and the final status must
// not depend on the cuts, and every frame must read as a message or a
// notification or be refused without harm.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "ipc/BusNotification.h"
#include "ipc/IpcFrame.h"
#include "ipc/IpcMessage.h"
#include "platform/Trace.h"

namespace {

struct Outcome {
  std::vector<ulmora::PropertyList> frames;
  ulmora::IpcFrame::Reader::Status last = ulmora::IpcFrame::Reader::Status::kNeedMore;
};

// Compared as written out again: a real that is not a number never equals
// itself, but writes the same bytes each time.
bool sameFrames(const Outcome& a, const Outcome& b) {
  if (a.frames.size() != b.frames.size()) return false;
  for (std::size_t i = 0; i < a.frames.size(); ++i) {
    if (a.frames[i].toBinary() != b.frames[i].toBinary()) return false;
  }
  return true;
}

Outcome read(std::string_view bytes, std::size_t step) {
  using Status = ulmora::IpcFrame::Reader::Status;
  ulmora::IpcFrame::Reader reader;
  Outcome outcome;
  for (std::size_t at = 0; at < bytes.size(); at += step) {
    reader.append(bytes.substr(at, step));
    for (;;) {
      ulmora::PropertyList body;
      outcome.last = reader.next(&body);
      if (outcome.last != Status::kFrame) break;
      outcome.frames.push_back(std::move(body));
    }
    // After these the stream is over, as the agent closes the connection.
    if (outcome.last == Status::kTooLarge || outcome.last == Status::kMalformed) break;
  }
  return outcome;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  ulmora::setTraceSink([](std::string_view) {});
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::size_t step = 1 + data[0] % 13;
  const std::string_view bytes(reinterpret_cast<const char*>(data + 1), size - 1);
  const Outcome whole = read(bytes, bytes.size() + 1);
  const Outcome pieces = read(bytes, step);
  if (!sameFrames(whole, pieces) || whole.last != pieces.last) std::abort();
  for (const ulmora::PropertyList& frame : whole.frames) {
    (void)ulmora::IpcMessage::fromPropertyList(frame);
    (void)ulmora::BusNotification::fromPropertyList(frame);
    // What was read can be written again and reads back the same.
    std::optional<std::string> again = ulmora::IpcFrame::encode(frame);
    if (!again) continue;
    const Outcome reread = read(*again, again->size() + 1);
    if (reread.frames.size() != 1) std::abort();
  }
  return 0;
}
