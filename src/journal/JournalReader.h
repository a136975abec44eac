#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "journal/JournalFolder.h"
#include "journal/RenameEntry.h"
#include "platform/PropertyList.h"

namespace ulmora {

// The next event set of folder 102: the entries of the leading run of files
// of one type.
struct EventSet {
  std::string type;                  // "delete", "rename" or "createdir"
  std::vector<std::string> paths;    // delete and createdir entries
  std::vector<RenameEntry> renames;  // rename entries

  bool empty() const { return paths.empty() && renames.empty(); }
  // {type: [entries]} as the sync controller receives it.
  PropertyList toPropertyList() const;
};

// Reads journal files back. Every "take" reads files in journal order and
// consumes each file it has read, also one that could not be parsed: a file
// contributes its well-formed entries, the rest is reported in a trace line.
// No reader ever yields an empty entry.
//
// Thread-safety: stateless; the folder's files are the only shared state
// (see JournalFolder).
class JournalReader {
 public:
  JournalReader() = delete;

  // --- Parsing one file's content. `source` names the file in trace lines.
  static std::vector<std::string> parseTextList(std::string_view contents);
  static std::vector<RenameEntry> parseRenameList(std::string_view contents,
                                                  std::string_view source);
  // {path: text}; entries whose value is not a text are left out.
  static std::vector<std::pair<std::string, std::string>> parseDownloadList(
      std::string_view contents, std::string_view source);

  // --- The batch rule. With `limited`, a listing of kBatchListingThreshold
  // names or more (skipped ones included) gives at most kBatchFileLimit
  // files; otherwise every file the reader does not skip.
  static std::vector<std::string> batchNames(const JournalFolder& folder, bool limited);

  // --- Taking (reading and consuming) one batch.
  static std::vector<std::string> takeTextLists(const JournalFolder& folder, bool limited);
  // Later files win on equal paths.
  static PropertyList::Dict takeDownloadLists(const JournalFolder& folder, bool limited);
  // One element per marker file, its bytes; all files (no limit).
  static std::vector<std::string> takeMarkers(const JournalFolder& folder);

  // The next event set of `folder` (102), or nullopt when no entries were
  // taken. A file at the head whose name ends with no type word would block
  // every later set, so it is set aside ("<name>.read") with a trace line.
  static std::optional<EventSet> takeEventSet(const JournalFolder& folder);

  // --- Reading without consuming (the pending checks).
  // Every line of every file the pending rule does not skip; with a type,
  // only files whose name ends with it.
  static std::vector<std::string> peekTextLines(const JournalFolder& folder,
                                                std::string_view type = {});
  static std::vector<RenameEntry> peekRenames(const JournalFolder& folder);
  // Merged download lists, files read in journal order.
  static std::vector<std::pair<std::string, std::string>> peekDownloadEntries(
      const JournalFolder& folder);
};

}  // namespace ulmora
