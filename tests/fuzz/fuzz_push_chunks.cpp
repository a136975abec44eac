// Feeds arbitrary bytes to the push stream splitter, whole and cut into
// pieces, and checks that the messages do not depend on the cuts and are
// always a dictionary or the notice text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "platform/Trace.h"
#include "service/PushChunkSplitter.h"

namespace {

std::vector<ulmora::PropertyList> split(std::string_view bytes, std::size_t step) {
  ulmora::PushChunkSplitter splitter;
  std::vector<ulmora::PropertyList> all;
  for (std::size_t at = 0; at < bytes.size(); at += step) {
    for (auto& item : splitter.feed(bytes.substr(at, step))) all.push_back(std::move(item));
  }
  for (auto& item : splitter.finish()) all.push_back(std::move(item));
  return all;
}

}  // namespace

// Dropped and odd units are traced; thousands of lines a second would bury
// the fuzzer's own output.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  ulmora::setTraceSink([](std::string_view) {});
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::size_t step = 1 + data[0] % 7;
  const std::string_view bytes(reinterpret_cast<const char*>(data + 1), size - 1);
  const auto whole = split(bytes, bytes.size() + 1);
  const auto pieces = split(bytes, step);
  if (whole != pieces) std::abort();
  for (const auto& item : whole) {
    const bool notice = item.asString() != nullptr && *item.asString() == "Ack::";
    if (!item.isDict() && !notice) std::abort();
  }
  return 0;
}
