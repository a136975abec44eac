#include "ipc/IpcFrame.h"

#include "platform/Trace.h"

namespace ulmora {

namespace {

uint32_t readBigEndian32(const char* p) {
  const auto* b = reinterpret_cast<const unsigned char*>(p);
  return (uint32_t{b[0]} << 24) | (uint32_t{b[1]} << 16) | (uint32_t{b[2]} << 8) | uint32_t{b[3]};
}

}  // namespace

std::optional<std::string> IpcFrame::encode(const PropertyList& body) {
  std::string bytes = body.toBinary();
  if (bytes.size() > kMaxBodyBytes) {
    traceLine("IPC: message of " + std::to_string(bytes.size()) +
              " bytes exceeds the frame limit; not sent");
    return std::nullopt;
  }
  const auto n = static_cast<uint32_t>(bytes.size());
  std::string frame;
  frame.reserve(kHeaderBytes + bytes.size());
  frame.push_back(static_cast<char>(n >> 24));
  frame.push_back(static_cast<char>(n >> 16));
  frame.push_back(static_cast<char>(n >> 8));
  frame.push_back(static_cast<char>(n));
  frame += bytes;
  return frame;
}

void IpcFrame::Reader::append(std::string_view bytes) {
  // Compact only once the consumed part dominates, so a stream of small
  // frames costs linear time.
  if (start_ > 0 && start_ >= buffer_.size() / 2) {
    buffer_.erase(0, start_);
    start_ = 0;
  }
  buffer_.append(bytes);
}

IpcFrame::Reader::Status IpcFrame::Reader::next(PropertyList* out) {
  if (buffered() < kHeaderBytes) return Status::kNeedMore;
  const uint32_t length = readBigEndian32(buffer_.data() + start_);
  if (length > kMaxBodyBytes) return Status::kTooLarge;
  if (buffered() - kHeaderBytes < length) return Status::kNeedMore;
  std::string_view body(buffer_.data() + start_ + kHeaderBytes, length);
  // Only binary bodies: the format is fixed, and the XML reader has no
  // business seeing bytes a peer chose.
  std::optional<PropertyList> parsed;
  if (body.starts_with("bplist")) parsed = PropertyList::parse(body);
  start_ += kHeaderBytes + length;
  if (start_ == buffer_.size()) {
    buffer_.clear();
    start_ = 0;
  }
  if (!parsed) return Status::kMalformed;
  *out = std::move(*parsed);
  return Status::kFrame;
}

}  // namespace ulmora
