#include "service/ListingLineParser.h"

#include <algorithm>
#include <cstring>

#include "engine/EngineLineRecord.h"
#include "engine/QLSYNCParser.h"
#include "service/ServerPath.h"

namespace ulmora {

ListingLine parseListingLine(std::string_view line) {
  ListingLine out;
  EngineLineRecord r;
  int result = QLSYNCParser::ParseLineStr(line, r, QLSYNCParser::kListing);
  if (result != QLSYNCParser::kOk) {
    out.text = "listing line not understood (" + std::to_string(result) + ")";
    return out;
  }
  const std::string& kind = r.kind();
  if (kind == "COUNT") {
    out.kind = ListingLine::Kind::kCount;
    out.number = r.number(QLSYNCParser::kCountKey);
  } else if (kind == "INDEX") {
    out.kind = ListingLine::Kind::kIndex;
    out.number = r.number(QLSYNCParser::kIndexKey);
  } else if (kind == "FATAL") {
    out.kind = ListingLine::Kind::kFatal;
    out.text = r.text(QLSYNCParser::kErrorKey);
  } else if (kind == "SUMMARY") {
    out.kind = ListingLine::Kind::kSummary;
  } else if (kind == "LIST") {
    ServerRecord& s = out.record;
    s.index = r.text(ServerRecord::kIndexKey);
    s.inTrash = r.text(ServerRecord::kInTrashKey);
    s.fileVer = r.text(ServerRecord::kFileVerKey);
    s.size = r.text(ServerRecord::kSizeKey);
    s.modTime = r.text(ServerRecord::kModTimeKey);
    s.refId = r.text(ServerRecord::kRefIdKey);
    s.rcId = r.text(ServerRecord::kRcIdKey);
    s.fname = r.text(ServerRecord::kFnameKey);
    s.fnameOld = r.text(ServerRecord::kFnameOldKey);
    if (auto why = serverpath::whyUnsafe(s.fname)) {
      out.kind = ListingLine::Kind::kUnsafe;
      out.text = "fname: " + *why;
    } else if (auto whyOld = s.fnameOld.empty() ? std::nullopt : serverpath::whyUnsafe(s.fnameOld)) {
      out.kind = ListingLine::Kind::kUnsafe;
      out.text = "fnameOld: " + *whyOld;
    } else {
      out.kind = ListingLine::Kind::kRecord;
      s.fname = serverpath::withLeadingSlash(s.fname);
      if (!s.fnameOld.empty()) s.fnameOld = serverpath::withLeadingSlash(s.fnameOld);
    }
  } else {
    out.text = "unexpected listing line " + kind;
  }
  return out;
}

void KeptListingLines::add(std::string_view line) {
  // Each line is its length (4 bytes) and its bytes, whatever they are.
  const auto length = static_cast<uint32_t>(std::min<std::size_t>(line.size(), UINT32_MAX));
  const std::size_t need = sizeof length + length;
  if (chunks_.empty() || chunks_.back().size() + need > chunks_.back().capacity()) {
    chunks_.emplace_back();
    chunks_.back().reserve(std::max(kChunk, need));
  }
  std::string& chunk = chunks_.back();
  chunk.append(reinterpret_cast<const char*>(&length), sizeof length);
  chunk.append(line.data(), length);
  ++count_;
}

void KeptListingLines::forEach(const std::function<bool(std::string_view)>& f) const {
  for (const std::string& chunk : chunks_) {
    std::size_t at = 0;
    while (at + sizeof(uint32_t) <= chunk.size()) {
      uint32_t length = 0;
      std::memcpy(&length, chunk.data() + at, sizeof length);
      at += sizeof length;
      if (!f(std::string_view(chunk.data() + at, length))) return;
      at += length;
    }
  }
}

}  // namespace ulmora
