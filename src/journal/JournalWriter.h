#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "journal/JournalFolder.h"
#include "journal/RenameEntry.h"
#include "platform/Clock.h"

namespace ulmora {

class JournalStampGenerator;

// Writes the three list forms of the journal format (text list, rename list,
// download list) and server-change markers, chunked and published through
// JournalFolder. Large lists yield the processor briefly through the clock
// (10 ms every 100 entries, and 10 ms more once in every 100 files), so a
// test clock makes the pauses free.
//
// No file is ever written empty, and an entry the form cannot carry is
// refused with a trace line while the rest of the list is written. Entries of
// a chunk that could not be published are handed back in `unwritten` so that
// the caller can queue them again.
//
// Thread-safety: the methods keep no state of their own and may be called
// from any thread; the stamp generator and the clock are thread-safe.
class JournalWriter {
 public:
  // How the files of one text list are named.
  enum class ChunkNames {
    kStampEach,  // stamp + suffix, a fresh stamp per file
    kNumbered,   // stamp + "_<n>" (n from 1), one stamp per list
  };

  // Where a text list with many files takes its extra pause between files.
  enum class FilePause {
    kAfterEveryHundredthFile,   // after files 100, 200, ...
    kBeforeEveryHundredthFile,  // after files 99, 199, ...: the next is 100, 200, ...
  };

  template <typename Entry>
  struct Result {
    std::vector<std::string> published;  // file names, in write order
    std::vector<Entry> unwritten;        // to be queued again
    std::size_t refused = 0;             // entries the form cannot carry
  };
  using DownloadEntry = std::pair<std::string, std::string>;  // path -> value

  static constexpr Clock::Duration kPause = std::chrono::milliseconds(10);

  JournalWriter(JournalStampGenerator& stamps, Clock& clock) : stamps_(stamps), clock_(clock) {}

  // One path per line, kEntriesPerFile entries per file. With kStampEach the
  // suffix follows the stamp ("_backup"); with kNumbered it is ignored.
  Result<std::string> writeTextList(const JournalFolder& folder,
                                    const std::vector<std::string>& entries,
                                    std::string_view suffix,
                                    ChunkNames naming = ChunkNames::kStampEach,
                                    FilePause filePause = FilePause::kAfterEveryHundredthFile) const;

  // One XML property-list array of {"OriginalPath", "RenamedPath"} under
  // stamp + `suffix`.
  Result<RenameEntry> writeRenameList(const JournalFolder& folder,
                                      const std::vector<RenameEntry>& entries,
                                      std::string_view suffix = journal::kRenameSuffix) const;

  // XML property-list dictionaries {path: value}, kEntriesPerFile entries per
  // file, each named by its stamp alone (`suffix` appended when given). A
  // path given twice is stored once, the later value winning.
  Result<DownloadEntry> writeDownloadLists(const JournalFolder& folder,
                                           const std::vector<DownloadEntry>& entries,
                                           std::string_view suffix = {}) const;

  // The one-byte marker "1" under the stamp alone.
  std::optional<std::string> writeMarker(const JournalFolder& folder) const;

  // Any text (count files and the like) under stamp + `suffix`.
  std::optional<std::string> writeText(const JournalFolder& folder, std::string_view suffix,
                                       std::string_view contents) const;

  JournalStampGenerator& stamps() const { return stamps_; }
  Clock& clock() const { return clock_; }

 private:
  void pauseAt(std::size_t index) const;

  JournalStampGenerator& stamps_;
  Clock& clock_;
};

}  // namespace ulmora
