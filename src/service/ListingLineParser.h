#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "service/ServerRecord.h"

namespace ulmora {

// One line of a change-listing run's output, understood.
struct ListingLine {
  enum class Kind {
    kCount,     // the number of records that follow (`number`)
    kRecord,    // one changed entry (`record`)
    kIndex,     // the highest index of the listing (`number`)
    kFatal,     // the run failed as a whole (`text`: the engine's error text)
    kSummary,   // the run's last line
    kUnsafe,    // a record whose path must not be used (`text`: why)
    kUnparsed,  // not a listing line (`text`: why)
  };
  Kind kind = Kind::kUnparsed;
  int64_t number = 0;
  ServerRecord record;
  std::string text;
};

// Parses one engine output line of a change listing (docs/engine.md). Never
// throws and never reads past `line`, whatever bytes it holds: a server (or a
// broken engine) controls this input.
//
// Record paths get their leading "/"; a record whose "fname" or "fnameOld"
// could take a local operation outside the sync root is kUnsafe, so it never
// reaches the record validation.
//
// Thread-safety: a pure function.
ListingLine parseListingLine(std::string_view line);

// The lines a listing keeps until it ends, as the engine wrote them. A
// parsed record is several times the size of its line, and a first sync
// lists every file of the account: the lines are parsed again one at a time
// when they are handled. Kept in fixed-size chunks, so a long listing is
// never copied to grow.
//
// Thread-safety: none; one listing run owns it.
class KeptListingLines {
 public:
  void add(std::string_view line);
  // Every kept line in the order it came, until `f` returns false.
  void forEach(const std::function<bool(std::string_view)>& f) const;
  std::size_t size() const { return count_; }

 private:
  static constexpr std::size_t kChunk = 256 * 1024;
  std::vector<std::string> chunks_;
  std::size_t count_ = 0;
};

}  // namespace ulmora
