#pragma once

#include <string_view>

#include "engine/DataHandler.h"

namespace ulmora {

// Parses one line of engine output (docs/engine.md, "Output lines") into a
// record. A line is a keyword and TAB-separated fields; path fields carry the
// escapes "\\", "\t", "\n", "\r". The quota query prints XML elements, one
// per line, instead.
//
// The record first gets the line's kind under kKindKey, then each field under
// its name below. On any failure the record is left cleared, never half
// filled. Fields past the ones a kind defines are ignored, so a newer engine
// may add some.
//
// Thread-safety: stateless; call from any thread.
class QLSYNCParser {
 public:
  // The record types (the third argument): which line kinds a caller expects.
  enum ColumanOption : int {
    kTransfer = 1,       // START RECV ALIVE HOLD PROGRESS IOERROR SFERROR FATAL SUMMARY
    kListing = 2,        // COUNT LIST INDEX FATAL SUMMARY
    kFileOperation = 3,  // RENAMED DELETED CREATED IOERROR SFERROR FATAL SUMMARY
    kSearch = 4,         // FOUND FATAL SUMMARY
    kQuota = 5,          // <usedquota> <totalquota> <filecount> <quota> </quota> <error>
    kEncode = 6,         // ENCODED FATAL SUMMARY
    kVersions = 7,       // VERSION IOERROR SFERROR FATAL SUMMARY
  };

  enum Result : int {
    kOk = 0,
    kEmptyLine = 1,
    kUnknownKind = 2,    // a keyword this record type does not take
    kMissingField = 3,   // truncated line
    kBadNumber = 4,
    kBadEscape = 5,
    kUnknownType = 6,    // columanOption is none of the above
  };

  static constexpr std::string_view kKindKey = "kind";

  // Field names. PROGRESS fields use the progress record's own keys
  // (KVTProgressRecord); LIST, FOUND and VERSION use the server record and
  // search entry keys, so their dictionaries can be handed on as they are.
  static constexpr std::string_view kOpKey = "op";
  static constexpr std::string_view kTotalFilesKey = "totalFiles";
  static constexpr std::string_view kTotalBytesKey = "totalBytes";
  static constexpr std::string_view kPathKey = "path";
  static constexpr std::string_view kBytesDoneKey = "bytesDone";
  static constexpr std::string_view kFileSizeKey = "fileSize";
  static constexpr std::string_view kHoldKey = "hold";
  static constexpr std::string_view kMessageKey = "message";
  static constexpr std::string_view kStatusKey = "status";
  static constexpr std::string_view kErrorKey = "error";
  // SUMMARY of upload, download and restore-version. A SUMMARY with a
  // non-zero status may stop after kStatusKey (a run refused before it
  // started); its count fields are then absent.
  static constexpr std::string_view kFilesKey = "files";
  static constexpr std::string_view kTransferredKey = "transferred";
  static constexpr std::string_view kIncrementalKey = "incremental";
  static constexpr std::string_view kInSyncKey = "insync";
  static constexpr std::string_view kFailedKey = "failed";
  static constexpr std::string_view kBytesKey = "bytes";
  // SUMMARY of list, search, list-versions, rename, remove, mkdir.
  static constexpr std::string_view kRecordsKey = "records";
  static constexpr std::string_view kIndexKey = "index";
  static constexpr std::string_view kDoneKey = "done";
  // COUNT, RENAMED, ENCODED.
  static constexpr std::string_view kCountKey = "count";
  static constexpr std::string_view kOldPathKey = "old";
  static constexpr std::string_view kNewPathKey = "new";
  static constexpr std::string_view kEncodedKey = "encoded";

  // Returns kOk (0) when `line` is a line of a kind `columanOption` takes and
  // `handler` now holds it.
  static int ParseLineStr(std::string_view line, DataHandler& handler, int columanOption);
};

}  // namespace ulmora
