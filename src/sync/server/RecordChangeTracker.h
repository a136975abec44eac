#pragma once

#include <mutex>
#include <optional>
#include <string>

#include "platform/ThreadAnnotations.h"

namespace ulmora {

// The record-change id (rc_id) that the listings carry: when it changes, the
// server's reference ids may have changed, and the reference-id listing is
// run again. The last id acted on is kept in the "RecID" file.
//
// An empty rc_id is no id: it neither replaces a stored one nor asks for a
// new listing.
//
// Thread-safety: all members lock.
class RecordChangeTracker {
 public:
  // Loads the stored id; a missing or empty file means none yet.
  explicit RecordChangeTracker(std::string recIdFilePath);

  // True when the id differs from a known one (the caller relists). The
  // first id ever seen is only stored.
  bool note(const std::string& rcId);
  std::optional<std::string> current() const;

 private:
  std::string path_;
  mutable Mutex mu_;
  std::optional<std::string> localRecId_ ULMORA_GUARDED_BY(mu_);
};

}  // namespace ulmora
