// Feeds arbitrary engine output to the line parser: the first byte picks the
// record type, the rest is split into lines as a run's output would be.
// Checks what callers rely on besides "no crash": a line either fills the
// record with a kind or leaves it empty, and parsing is deterministic.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "engine/EngineLineRecord.h"
#include "engine/QLSYNCParser.h"
#include "engine/QuotaHandlerData.h"

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

void parseOne(std::string_view line, int type) {
  using ulmora::QLSYNCParser;
  ulmora::EngineLineRecord record;
  int rc = QLSYNCParser::ParseLineStr(line, record, type);
  check(rc == QLSYNCParser::kOk ? !record.kind().empty() : record.kind().empty());
  check(rc == QLSYNCParser::kOk || !record.has(QLSYNCParser::kPathKey));
  ulmora::EngineLineRecord again;
  check(QLSYNCParser::ParseLineStr(line, again, type) == rc);
  check(again.kind() == record.kind());
  if (rc == QLSYNCParser::kOk) (void)record.toDictionary();

  ulmora::QuotaHandlerData quota;
  if (QLSYNCParser::ParseLineStr(line, quota, type) != QLSYNCParser::kOk) {
    check(!quota.usedQuota() && !quota.totalQuota() && !quota.totalFilesCount());
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  int type = data[0] % 9;  // 1..7 are the record types; 0 and 8 are not
  std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
  while (true) {
    size_t nl = rest.find('\n');
    parseOne(rest.substr(0, nl), type);
    if (nl == std::string_view::npos) break;
    rest.remove_prefix(nl + 1);
  }
  return 0;
}
