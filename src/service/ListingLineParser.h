#pragma once

#include <cstdint>
#include <string>
#include <string_view>

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

}  // namespace ulmora
