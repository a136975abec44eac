#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/PropertyList.h"

namespace ulmora {

// Cuts the byte stream of a push subscription into messages.
//
// The network splits the stream anywhere, so the messages cannot follow the
// chunks that happen to arrive; they follow the text instead:
// - a JSON object, from "{" to its matching "}" (braces inside strings do not
//   count), becomes a dictionary;
// - any other text, up to a line end or the next "{", is a service notice and
//   becomes the string "Ack::";
// - a brace-balanced text that does not parse as a JSON object is a notice too;
// - a unit shorter than 3 characters after trimming white space is ignored;
// - white space between units is skipped.
//
// The output therefore depends only on the bytes, never on how they were cut.
//
// Bounds: an object longer than kMaxUnitBytes or nested deeper than kMaxDepth
// is dropped (traced) and the stream goes on after its closing brace; an
// object the stream ends inside of is dropped (traced) by finish().
//
// Thread-safety: a value; one thread at a time.
class PushChunkSplitter {
 public:
  static constexpr std::size_t kMaxUnitBytes = 1u << 20;
  static constexpr int64_t kMaxDepth = 64;
  static constexpr const char* kAck = "Ack::";

  // Appends bytes; returns the messages they complete, in stream order.
  std::vector<PropertyList> feed(std::string_view bytes);
  // The stream has ended: completes a notice in progress and drops an
  // unfinished object. The splitter is then ready for a new stream.
  std::vector<PropertyList> finish();

  // Units dropped so far (oversized, too deep, or cut off by the end).
  std::size_t droppedCount() const { return dropped_; }

 private:
  enum class Mode { kIdle, kText, kObject };

  void startObject();
  void endText(std::vector<PropertyList>& out);
  void endObject(std::vector<PropertyList>& out);
  void objectByte(char c, std::vector<PropertyList>& out);

  Mode mode_ = Mode::kIdle;
  std::string unit_;             // the object so far (emptied once oversized)
  std::size_t unitLength_ = 0;   // bytes of the unit, also past what is kept
  std::size_t textTrimmed_ = 0;  // a notice's length up to its last non-blank byte
  int64_t depth_ = 0;
  bool inString_ = false;
  bool escaped_ = false;
  bool oversized_ = false;
  std::size_t dropped_ = 0;
};

}  // namespace ulmora
