#include "service/PushChunkSplitter.h"

#include "platform/Trace.h"
#include "service/JsonPropertyList.h"

namespace ulmora {
namespace {

constexpr std::size_t kMinUnit = 3;

bool isBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

}  // namespace

std::vector<PropertyList> PushChunkSplitter::feed(std::string_view bytes) {
  std::vector<PropertyList> out;
  for (char c : bytes) {
    switch (mode_) {
      case Mode::kIdle:
        if (isBlank(c)) break;
        if (c == '{') {
          startObject();
        } else {
          mode_ = Mode::kText;
          unitLength_ = 1;
          textTrimmed_ = 1;
        }
        break;
      case Mode::kText:
        if (c == '\n' || c == '\r') {
          endText(out);
        } else if (c == '{') {
          endText(out);
          startObject();
        } else {
          ++unitLength_;
          if (!isBlank(c)) textTrimmed_ = unitLength_;
        }
        break;
      case Mode::kObject:
        objectByte(c, out);
        break;
    }
  }
  return out;
}

std::vector<PropertyList> PushChunkSplitter::finish() {
  std::vector<PropertyList> out;
  if (mode_ == Mode::kText) {
    endText(out);
  } else if (mode_ == Mode::kObject) {
    ++dropped_;
    traceLine("PushChunkSplitter: the stream ended inside a JSON object of " +
              std::to_string(unitLength_) + " bytes; dropped");
  }
  mode_ = Mode::kIdle;
  unit_.clear();
  unitLength_ = 0;
  return out;
}

void PushChunkSplitter::startObject() {
  mode_ = Mode::kObject;
  unit_.assign(1, '{');
  unitLength_ = 1;
  depth_ = 1;
  inString_ = false;
  escaped_ = false;
  oversized_ = false;
}

void PushChunkSplitter::objectByte(char c, std::vector<PropertyList>& out) {
  ++unitLength_;
  if (!oversized_) {
    if (unitLength_ > kMaxUnitBytes) {
      oversized_ = true;
      unit_.clear();
      unit_.shrink_to_fit();
    } else {
      unit_ += c;
    }
  }
  if (inString_) {
    if (escaped_) {
      escaped_ = false;
    } else if (c == '\\') {
      escaped_ = true;
    } else if (c == '"') {
      inString_ = false;
    }
    return;
  }
  if (c == '"') {
    inString_ = true;
  } else if (c == '{') {
    if (++depth_ > kMaxDepth) oversized_ = true;
  } else if (c == '}') {
    if (--depth_ == 0) endObject(out);
  }
}

void PushChunkSplitter::endText(std::vector<PropertyList>& out) {
  if (textTrimmed_ >= kMinUnit) out.emplace_back(kAck);
  mode_ = Mode::kIdle;
  unitLength_ = 0;
}

void PushChunkSplitter::endObject(std::vector<PropertyList>& out) {
  mode_ = Mode::kIdle;
  if (oversized_) {
    ++dropped_;
    traceLine("PushChunkSplitter: dropped a JSON object of " + std::to_string(unitLength_) +
              " bytes (longer or deeper than allowed)");
  } else if (unitLength_ >= kMinUnit) {
    auto value = propertyListFromJsonText(unit_, static_cast<int>(kMaxDepth));
    if (value && value->isDict()) {
      out.push_back(std::move(*value));
    } else {
      traceLine("PushChunkSplitter: a braced unit is not a JSON object; reported as a notice");
      out.emplace_back(kAck);
    }
  }
  unit_.clear();
  unitLength_ = 0;
}

}  // namespace ulmora
