#include "engine/QLSYNCParser.h"

#include <array>
#include <charconv>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "engine/KVTProgressRecord.h"
#include "engine/QuotaHandlerData.h"

namespace ulmora {

namespace {

using P = QLSYNCParser;

enum class FieldType {
  kText,    // raw text up to the next TAB
  kNumber,  // decimal, non-negative, fits int64
  kPath,    // escaped text
  kRest,    // raw text to the end of the line (TABs included)
};

struct Field {
  std::string_view name;
  FieldType type;
};

struct KindSpec {
  std::string_view keyword;
  std::vector<int> types;
  std::vector<Field> fields;
};

constexpr FieldType T = FieldType::kText;
constexpr FieldType N = FieldType::kNumber;
constexpr FieldType A = FieldType::kPath;
constexpr FieldType R = FieldType::kRest;

using K = KVTProgressRecord;

const std::array<KindSpec, 18>& kindSpecs() {
  static const std::array<KindSpec, 18> specs{{
      {"START", {P::kTransfer}, {{P::kOpKey, T}, {P::kTotalFilesKey, N}, {P::kTotalBytesKey, N}}},
      {"RECV", {P::kTransfer}, {{P::kPathKey, A}}},
      {"ALIVE", {P::kTransfer}, {{P::kBytesDoneKey, N}, {P::kFileSizeKey, N}, {P::kPathKey, A}}},
      {"HOLD", {P::kTransfer}, {{P::kHoldKey, N}}},
      {"PROGRESS",
       {P::kTransfer},
       {{K::kTransferModeKey, T},
        {K::kStatusKey, T},
        {K::kFileSizeKey, N},
        {K::kBackedUpFileCountKey, N},
        {K::kTotalFileCountKey, N},
        {K::kTotalTransferedSizeKey, N},
        {K::kTotalBackupSizeKey, N},
        {K::kRestorePendingSizeKey, N},
        {K::kSpeedKey, N},
        {K::kFileNameKey, A}}},
      {"IOERROR", {P::kTransfer, P::kFileOperation, P::kVersions}, {{P::kPathKey, A}, {P::kMessageKey, R}}},
      {"SFERROR", {P::kTransfer, P::kFileOperation, P::kVersions}, {{P::kPathKey, A}, {P::kMessageKey, R}}},
      {"COUNT", {P::kListing}, {{P::kCountKey, N}}},
      {"LIST",
       {P::kListing},
       {{"index", N},
        {"in_trash", N},
        {"file_ver", N},
        {"size", N},
        {"mod_time", T},
        {"ref_id", T},
        {"rc_id", T},
        {"fname", A},
        {"fnameOld", A}}},
      {"INDEX", {P::kListing}, {{P::kIndexKey, N}}},
      {"RENAMED", {P::kFileOperation}, {{P::kOldPathKey, A}, {P::kNewPathKey, A}}},
      {"DELETED", {P::kFileOperation}, {{P::kPathKey, A}}},
      {"CREATED", {P::kFileOperation}, {{P::kPathKey, A}}},
      {"FOUND",
       {P::kSearch},
       {{"FileSize", N},
        {"FileModificationDate", T},
        {"VersionInfo", N},
        {"ThumbnailStatus", N},
        {"InTrash", N},
        {"ref_id", T},
        {"FileType", T},
        {"FileName", A}}},
      {"ENCODED", {P::kEncode}, {{P::kEncodedKey, R}}},
      {"VERSION",
       {P::kVersions},
       {{"file_ver", N}, {"size", N}, {"mod_time", T}, {"ref_id", T}, {"current", N}, {"fname", A}}},
      {"FATAL",
       {P::kTransfer, P::kListing, P::kFileOperation, P::kSearch, P::kEncode, P::kVersions},
       {{P::kStatusKey, N}, {P::kErrorKey, R}}},
      // SUMMARY's fields after op and status depend on op: summaryFields().
      {"SUMMARY",
       {P::kTransfer, P::kListing, P::kFileOperation, P::kSearch, P::kEncode, P::kVersions},
       {{P::kOpKey, T}, {P::kStatusKey, N}}},
  }};
  return specs;
}

const std::vector<Field>& summaryFields(std::string_view op) {
  static const std::vector<Field> kTransferSummary = {
      {P::kFilesKey, N}, {P::kTransferredKey, N}, {P::kIncrementalKey, N},
      {P::kInSyncKey, N}, {P::kFailedKey, N},     {P::kBytesKey, N}};
  static const std::vector<Field> kListSummary = {{P::kRecordsKey, N}, {P::kIndexKey, N}};
  static const std::vector<Field> kOperationSummary = {{P::kDoneKey, N}, {P::kFailedKey, N}};
  static const std::vector<Field> kRecordsSummary = {{P::kRecordsKey, N}};
  static const std::vector<Field> kNone;
  if (op == "upload" || op == "download" || op == "restore-version") return kTransferSummary;
  if (op == "list") return kListSummary;
  if (op == "rename" || op == "remove" || op == "mkdir") return kOperationSummary;
  if (op == "search" || op == "list-versions") return kRecordsSummary;
  return kNone;
}

bool isNumber(std::string_view s) {
  if (s.empty()) return false;
  int64_t n = 0;
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), n);
  return ec == std::errc() && end == s.data() + s.size() && n >= 0;
}

bool unescape(std::string_view s, std::string& out) {
  out.clear();
  out.reserve(s.size());
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '\\') {
      out += s[i];
      continue;
    }
    if (++i == s.size()) return false;
    switch (s[i]) {
      case '\\': out += '\\'; break;
      case 't': out += '\t'; break;
      case 'n': out += '\n'; break;
      case 'r': out += '\r'; break;
      default: return false;
    }
  }
  return true;
}

using Parsed = std::vector<std::pair<std::string_view, std::string>>;

// Reads `fields` from `rest` (the line after the keyword's TAB) into `out`.
// On return `rest` holds what follows the last field read.
int readFields(std::string_view& rest, bool& exhausted, const std::vector<Field>& fields,
               Parsed& out) {
  for (const Field& f : fields) {
    if (exhausted) return P::kMissingField;
    std::string_view value;
    if (f.type == FieldType::kRest) {
      value = rest;
      rest = {};
      exhausted = true;
    } else {
      size_t tab = rest.find('\t');
      value = rest.substr(0, tab);
      if (tab == std::string_view::npos) {
        rest = {};
        exhausted = true;
      } else {
        rest.remove_prefix(tab + 1);
      }
    }
    std::string text;
    if (f.type == FieldType::kPath) {
      if (!unescape(value, text)) return P::kBadEscape;
    } else {
      if (f.type == FieldType::kNumber && !isNumber(value)) return P::kBadNumber;
      text = std::string(value);
    }
    out.emplace_back(f.name, std::move(text));
  }
  return P::kOk;
}

bool takesType(const KindSpec& spec, int type) {
  for (int t : spec.types) {
    if (t == type) return true;
  }
  return false;
}

std::string_view trimBlanks(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// "<name>value</name>", "<name>" or "</name>".
int parseQuotaLine(std::string_view line, Parsed& out, std::string& kind) {
  line = trimBlanks(line);
  if (line.size() < 3 || line.front() != '<' || line.back() != '>') return P::kUnknownKind;
  size_t close = line.find('>');
  std::string_view name = line.substr(1, close - 1);
  if (close == line.size() - 1) {
    // A lone opening or closing tag.
    if (name == "quota" || name == "/quota") {
      kind = std::string(name);
      return P::kOk;
    }
    return P::kUnknownKind;
  }
  std::string_view inner = line.substr(close + 1);
  std::string endTag = "</" + std::string(name) + ">";
  if (inner.size() < endTag.size() || inner.substr(inner.size() - endTag.size()) != endTag) {
    return P::kMissingField;
  }
  std::string_view value = trimBlanks(inner.substr(0, inner.size() - endTag.size()));
  std::string_view key;
  if (name == "usedquota") {
    key = QuotaHandlerData::kUsedKey;
  } else if (name == "totalquota") {
    key = QuotaHandlerData::kTotalKey;
  } else if (name == "filecount") {
    key = QuotaHandlerData::kFilesKey;
  } else if (name == "error") {
    key = P::kErrorKey;
  } else {
    return P::kUnknownKind;
  }
  kind = std::string(name);
  out.emplace_back(key, std::string(value));
  return P::kOk;
}

int parseTabLine(std::string_view line, int type, Parsed& out, std::string& kind) {
  size_t tab = line.find('\t');
  std::string_view keyword = line.substr(0, tab);
  std::string_view rest = tab == std::string_view::npos ? std::string_view() : line.substr(tab + 1);
  bool exhausted = tab == std::string_view::npos;
  for (const KindSpec& spec : kindSpecs()) {
    if (spec.keyword != keyword) continue;
    if (!takesType(spec, type)) return P::kUnknownKind;
    kind = std::string(keyword);
    int rc = readFields(rest, exhausted, spec.fields, out);
    if (rc != P::kOk) return rc;
    if (keyword != "SUMMARY") return P::kOk;
    // A run refused before it started ends with op and status alone. A
    // successful run always carries its counts, so a bare one is truncated.
    bool failed = out[1].second.find_first_not_of('0') != std::string::npos;
    if (exhausted && failed) return P::kOk;
    return readFields(rest, exhausted, summaryFields(out[0].second), out);
  }
  return P::kUnknownKind;
}

}  // namespace

int QLSYNCParser::ParseLineStr(std::string_view line, DataHandler& handler, int columanOption) {
  handler.ClearData();
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  if (line.empty()) return kEmptyLine;
  if (columanOption < kTransfer || columanOption > kVersions) return kUnknownType;
  Parsed fields;
  std::string kind;
  int rc = columanOption == kQuota ? parseQuotaLine(line, fields, kind)
                                   : parseTabLine(line, columanOption, fields, kind);
  if (rc != kOk) return rc;
  handler.Data(kind, kKindKey);
  for (const auto& [key, value] : fields) handler.Data(value, key);
  return kOk;
}

}  // namespace ulmora
