// Feeds arbitrary bytes, split into lines, to the change-listing line parser.
// Besides "no crash": a record that comes out is one the listing may hand on
// (no path that could leave the sync root), and parsing is deterministic.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "service/ListingLineParser.h"
#include "service/ServerPath.h"

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

void parseOne(std::string_view line) {
  using ulmora::ListingLine;
  ListingLine out = ulmora::parseListingLine(line);
  if (out.kind == ListingLine::Kind::kRecord) {
    check(ulmora::serverpath::isSafeItemPath(out.record.fname));
    check(out.record.fname.front() == '/');
    check(out.record.fnameOld.empty() || ulmora::serverpath::isSafeItemPath(out.record.fnameOld));
    std::string_view code = out.record.operationCode();
    check(code == "2" || code == "3" || code == "4");
  }
  ListingLine again = ulmora::parseListingLine(line);
  check(again.kind == out.kind && again.record == out.record && again.number == out.number);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  size_t start = 0;
  while (start <= input.size()) {
    size_t nl = input.find('\n', start);
    parseOne(input.substr(start, nl == std::string_view::npos ? std::string_view::npos : nl - start));
    if (nl == std::string_view::npos) break;
    start = nl + 1;
  }
  return 0;
}
