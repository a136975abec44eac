#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "platform/ThreadAnnotations.h"

#include "database/BackupStatusAndRefId.h"
#include "engine/EngineSetFiles.h"

namespace ulmora {

// An upload or delete from this computer may replace only the server version
// it last synced. What the database row says of a file before either: the row
// records a synced file (uploaded and downloaded, with a known date and
// size) or nothing is checked, as for a file new here, whose row stands for
// no server version.
struct UploadRowFacts {
  bool backedUp = false;
  bool restored = false;
  std::optional<RecordedFileFacts> recorded;
  std::optional<std::string> refId;
};
std::optional<engineset::SeenVersion> seenVersionForUpload(const UploadRowFacts& row);

// The versions this computer's own finished transfers left on the server.
// A finished file's row is written behind, seconds to minutes later, and
// then with the facts the file has at that time: until the row says what
// the transfer left, the row would name an older version (or a later edit)
// and the file's next upload from here would be refused as over another
// computer's version.
//
// Thread-safety: every method may be called from any thread.
class OwnSyncedVersions {
 public:
  // A transfer of `relativePath` finished with `reportedSize` bytes. The
  // file at `fullPath` is that version while its size still matches; when
  // it does not (changed since, or gone), what the server holds is not
  // known here and nothing is kept for the path.
  void transferFinished(const std::string& relativePath, const std::string& fullPath,
                        std::string_view reportedSize);
  // The version an upload of `relativePath` may replace, given what its
  // row says (`row`, seenVersionForUpload of it): the kept one until the row
  // records the same file, then the row's, which may carry the reference id.
  std::optional<engineset::SeenVersion> seenVersion(const std::string& relativePath,
                                                    const std::optional<engineset::SeenVersion>& row);
  bool holds(const std::string& relativePath) const;
  std::size_t size() const;

 private:
  mutable Mutex mutex_;
  std::unordered_map<std::string, engineset::SeenVersion> versions_ ULMORA_GUARDED_BY(mutex_);
};

// "yyyy-MM-dd HH:mm:ss +0000" as the database stores it, in seconds since
// the epoch; nullopt for any other text.
std::optional<int64_t> recordedDateSeconds(std::string_view text);

// The engine's answer for an item whose server file is another version than
// the one this computer last synced (an edit from another computer).
bool isNewerVersionRefusal(std::string_view engineMessage);

}  // namespace ulmora
