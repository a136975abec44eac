#include "sync/server/ListingIndexStore.h"

#include <cctype>
#include <charconv>
#include <string>

#include "platform/FileUtil.h"
#include "platform/Trace.h"

namespace ulmora {

int64_t ListingIndexStore::parse(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
  if (i < text.size() && text[i] == '+') ++i;
  size_t start = i;
  while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) ++i;
  int64_t value = 0;
  auto [end, ec] = std::from_chars(text.data() + start, text.data() + i, value);
  if (ec != std::errc() || end == text.data() + start) return 0;
  return value;
}

int64_t ListingIndexStore::read() const {
  if (path_.empty() || path_.front() != '/') return 0;
  auto text = fileutil::readFile(path_);
  return text ? parse(*text) : 0;
}

bool ListingIndexStore::write(int64_t index) const {
  if (index < 0) index = 0;
  if (path_.empty() || path_.front() != '/') {
    // The account's folder is unknown: never a file beside the process.
    traceLine("writeListingIndexFile: no account folder for the index file");
    return false;
  }
  fileutil::makeDirectories(fileutil::parentPath(path_));
  bool ok = fileutil::writeFileAtomically(path_, std::to_string(index));
  if (!ok) traceLine("writeListingIndexFile could not replace " + path_);
  return ok;
}

IndexCommit decideIndexCommit(const IndexCommitFacts& f) {
  if (f.restoreCancelledDuringListing) return IndexCommit::kListAgain;
  if (!f.itemsFound) return IndexCommit::kKeepOld;
  if (f.downloadRunning || f.downloadsPendingInJournal || f.downloadsQueued > 0 ||
      f.downloadsBeingWritten > 0 || f.lastDownloadRunFailed)
    return IndexCommit::kHold;
  return IndexCommit::kWrite;
}

}  // namespace ulmora
