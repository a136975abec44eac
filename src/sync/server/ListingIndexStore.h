#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace ulmora {

// The listing index file ("indexFile.txt" in the account's root folder): the
// index after which the next change listing starts, as the decimal text of a
// signed 64-bit integer without a line break. "0" means a full listing.
//
// Thread-safety: reads may happen on any thread; writes belong to the main
// thread (each write replaces the file atomically, so a reader sees the old
// or the new index, never a part).
class ListingIndexStore {
 public:
  static constexpr std::string_view kFileName = "indexFile.txt";

  explicit ListingIndexStore(std::string path) : path_(std::move(path)) {}

  const std::string& path() const { return path_; }
  // A missing or unreadable file, text without leading digits, a negative
  // value or one beyond 64 bits: 0.
  int64_t read() const;
  // Makes the folder when missing. False when the file could not be
  // replaced (the old value stays).
  bool write(int64_t index) const;

  static int64_t parse(std::string_view text);

 private:
  std::string path_;
};

// Whether the index that a change listing reported may be stored now.
//
// The index may only move past changes whose downloads are done: when it is
// stored while a download still runs, waits or failed, a restart would list
// from beyond those changes and the files would never arrive.
struct IndexCommitFacts {
  bool restoreCancelledDuringListing = false;  // the listing stopped a download
  bool itemsFound = false;                     // the listing reported changes
  bool downloadRunning = false;
  bool downloadsPendingInJournal = false;      // folder 105, read afresh
  std::size_t downloadsQueued = 0;             // in memory, not yet written
  std::size_t downloadsBeingWritten = 0;
  bool lastDownloadRunFailed = false;
};

enum class IndexCommit {
  kWrite,         // store the index now
  kHold,          // keep it for the download completion
  kKeepOld,       // nothing changed: the file keeps its value
  kListAgain,     // the listing stopped a download: list again, forget the index
};

IndexCommit decideIndexCommit(const IndexCommitFacts& facts);

}  // namespace ulmora
