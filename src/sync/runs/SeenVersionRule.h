#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "database/BackupStatusAndRefId.h"
#include "engine/EngineSetFiles.h"

namespace ulmora {

class ExcludedFilesCollections;

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
// The version an upload of `relativePath` may replace, given what its row
// says (`row`, seenVersionForUpload of it): the one this computer's own last
// transfer of it left, kept by `transfers` until the row records the same,
// then the row's, which may carry the reference id. A file renamed here has
// no row at its new name until a listing brings the rename back: until the
// row records a version, the one its former name had is taken.
std::optional<engineset::SeenVersion> seenVersionForUpload(ExcludedFilesCollections& transfers,
                                                           const std::string& relativePath,
                                                           const std::optional<engineset::SeenVersion>& row);
// The server took this computer's rename of `from` to `to`: what an upload
// at `to` may replace is the version last synced at `from` (`seenAtFrom`,
// seenVersionForUpload of `from` read before the rows change).
void handSeenVersionOn(ExcludedFilesCollections& transfers, const std::string& from, const std::string& to,
                       const std::optional<engineset::SeenVersion>& seenAtFrom);

// The row of `relativePath` is removed because its file is gone here, before
// the delete (or rename) made here reaches the server: that delete may still
// trash only `seen` (seenVersionForUpload of it, read before the row goes).
void keepSeenVersionOfGoneFile(ExcludedFilesCollections& transfers, const std::string& relativePath,
                               const std::optional<engineset::SeenVersion>& seen);

// "yyyy-MM-dd HH:mm:ss +0000" as the database stores it, in seconds since
// the epoch; nullopt for any other text.
std::optional<int64_t> recordedDateSeconds(std::string_view text);

// The engine's answer for an item whose server file is another version than
// the one this computer last synced (an edit from another computer).
bool isNewerVersionRefusal(std::string_view engineMessage);

}  // namespace ulmora
