#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/PropertyList.h"

namespace ulmora {

// The unit on every IPC socket: a 4-byte big-endian body length followed by
// the body, a binary property list (docs/ipc.md).
//
// Thread-safety: encode() may be called from any thread; a Reader is used by
// one thread at a time.
class IpcFrame {
 public:
  IpcFrame() = delete;

  static constexpr size_t kHeaderBytes = 4;
  // A larger length ends the connection: no message of ours comes near it,
  // and a reader must not be made to buffer without limit.
  static constexpr uint32_t kMaxBodyBytes = 16u * 1024u * 1024u;

  // Header and body; nullopt (with a trace line) when the body would exceed
  // kMaxBodyBytes.
  static std::optional<std::string> encode(const PropertyList& body);

  // Cuts a byte stream into frames.
  class Reader {
   public:
    enum class Status {
      kNeedMore,   // no complete frame buffered
      kFrame,      // *out holds the next frame's body
      kTooLarge,   // the header announces more than kMaxBodyBytes
      kMalformed,  // the body is not a binary property list
    };

    void append(std::string_view bytes);
    // Takes the next frame out of the buffer. After kTooLarge or kMalformed
    // the stream cannot be resynchronised: the caller drops the connection.
    Status next(PropertyList* out);
    size_t buffered() const { return buffer_.size() - start_; }

   private:
    std::string buffer_;
    size_t start_ = 0;  // consumed bytes at the front, dropped lazily
  };
};

}  // namespace ulmora
