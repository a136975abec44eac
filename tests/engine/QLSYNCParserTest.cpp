#include "engine/QLSYNCParser.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "engine/EngineLineRecord.h"
#include "engine/KVTProgressRecord.h"
#include "engine/QuotaHandlerData.h"

namespace ulmora {
namespace {

using P = QLSYNCParser;
using Fields = std::vector<std::pair<std::string, std::string>>;

struct GoodLine {
  const char* name;
  int type;
  std::string line;
  std::string kind;
  Fields expected;  // a subset of the record's fields
};

void PrintTo(const GoodLine& c, std::ostream* os) { *os << c.name; }

class ParsesEveryLineKind : public ::testing::TestWithParam<GoodLine> {};

TEST_P(ParsesEveryLineKind, FillsTheRecord) {
  const GoodLine& c = GetParam();
  EngineLineRecord r;
  ASSERT_EQ(P::ParseLineStr(c.line, r, c.type), P::kOk);
  EXPECT_EQ(r.kind(), c.kind);
  for (const auto& [key, value] : c.expected) EXPECT_EQ(r.text(key), value) << key;
}

INSTANTIATE_TEST_SUITE_P(
    Lines, ParsesEveryLineKind,
    ::testing::Values(
        GoodLine{"Start", P::kTransfer, "START\tupload\t3\t8", "START",
                 {{"op", "upload"}, {"totalFiles", "3"}, {"totalBytes", "8"}}},
        GoodLine{"Recv", P::kTransfer, "RECV\t/d/a b.txt", "RECV", {{"path", "/d/a b.txt"}}},
        GoodLine{"Alive", P::kTransfer, "ALIVE\t10\t20\t/x", "ALIVE",
                 {{"bytesDone", "10"}, {"fileSize", "20"}, {"path", "/x"}}},
        GoodLine{"Hold", P::kTransfer, "HOLD\t1", "HOLD", {{"hold", "1"}}},
        GoodLine{"Progress", P::kTransfer,
                 "PROGRESS\t[Incremental Backup]\tDone\t6\t1\t3\t6\t8\t2\t4786\t/a.txt", "PROGRESS",
                 {{KVTProgressRecord::kTransferModeKey, "[Incremental Backup]"},
                  {KVTProgressRecord::kStatusKey, "Done"},
                  {KVTProgressRecord::kFileSizeKey, "6"},
                  {KVTProgressRecord::kBackedUpFileCountKey, "1"},
                  {KVTProgressRecord::kTotalFileCountKey, "3"},
                  {KVTProgressRecord::kTotalTransferedSizeKey, "6"},
                  {KVTProgressRecord::kTotalBackupSizeKey, "8"},
                  {KVTProgressRecord::kRestorePendingSizeKey, "2"},
                  {KVTProgressRecord::kSpeedKey, "4786"},
                  {KVTProgressRecord::kFileNameKey, "/a.txt"}}},
        GoodLine{"IoErrorKeepsTabsInMessage", P::kTransfer,
                 "IOERROR\t/m\tIOERROR: read failed.\tReason: No such file or directory", "IOERROR",
                 {{"path", "/m"}, {"message", "IOERROR: read failed.\tReason: No such file or directory"}}},
        GoodLine{"SfError", P::kFileOperation, "SFERROR\t/m\tSFERROR: x failed. Reason: y", "SFERROR",
                 {{"path", "/m"}}},
        GoodLine{"Fatal", P::kTransfer, "FATAL\t41\t@ERROR: account is under maintenance", "FATAL",
                 {{"status", "41"}, {"error", "@ERROR: account is under maintenance"}}},
        GoodLine{"TransferSummary", P::kTransfer, "SUMMARY\tupload\t23\t3\t2\t0\t0\t1\t8", "SUMMARY",
                 {{"op", "upload"}, {"status", "23"}, {"transferred", "2"}, {"failed", "1"}, {"bytes", "8"}}},
        GoodLine{"ListSummary", P::kListing, "SUMMARY\tlist\t0\t5\t99", "SUMMARY",
                 {{"records", "5"}, {"index", "99"}}},
        GoodLine{"RefusedTransferSummaryHasOnlyOpAndStatus", P::kTransfer, "SUMMARY\tupload\t5", "SUMMARY",
                 {{"op", "upload"}, {"status", "5"}, {"files", ""}, {"failed", ""}}},
        GoodLine{"RefusedListSummary", P::kListing, "SUMMARY\tlist\t12", "SUMMARY",
                 {{"status", "12"}, {"records", ""}}},
        GoodLine{"RefusedRenameSummary", P::kFileOperation, "SUMMARY\trename\t41", "SUMMARY",
                 {{"op", "rename"}, {"status", "41"}}},
        GoodLine{"RefusedVersionListSummary", P::kVersions, "SUMMARY\tlist-versions\t10", "SUMMARY",
                 {{"status", "10"}}},
        GoodLine{"UnreadableCommandLineSummary", P::kSearch, "SUMMARY\tusage\t1", "SUMMARY",
                 {{"op", "usage"}, {"status", "1"}}},
        GoodLine{"VersionListSummary", P::kVersions, "SUMMARY\tlist-versions\t23\t0", "SUMMARY",
                 {{"status", "23"}, {"records", "0"}}},
        GoodLine{"UnknownOpSummary", P::kSearch, "SUMMARY\tsomething-new\t0\tx\ty", "SUMMARY",
                 {{"op", "something-new"}}},
        GoodLine{"Count", P::kListing, "COUNT\t2", "COUNT", {{"count", "2"}}},
        GoodLine{"List", P::kListing, "LIST\t7\t0\t2\t100\t2024-01-02 03:04:05\t11\t1\t/new\t/old", "LIST",
                 {{"index", "7"}, {"in_trash", "0"}, {"file_ver", "2"}, {"size", "100"},
                  {"mod_time", "2024-01-02 03:04:05"}, {"ref_id", "11"}, {"rc_id", "1"},
                  {"fname", "/new"}, {"fnameOld", "/old"}}},
        GoodLine{"ListEmptyOldName", P::kListing, "LIST\t7\t0\t2\t100\tt\t11\t1\t/new\t", "LIST",
                 {{"fnameOld", ""}}},
        GoodLine{"Index", P::kListing, "INDEX\t99", "INDEX", {{"index", "99"}}},
        GoodLine{"Renamed", P::kFileOperation, "RENAMED\t/a\t/b", "RENAMED", {{"old", "/a"}, {"new", "/b"}}},
        GoodLine{"Deleted", P::kFileOperation, "DELETED\t/a", "DELETED", {{"path", "/a"}}},
        GoodLine{"Created", P::kFileOperation, "CREATED\t/f/", "CREATED", {{"path", "/f/"}}},
        GoodLine{"Found", P::kSearch, "FOUND\t6\t2024-01-02 03:04:05\t1\t0\t0\t1\tfile\t/a.txt", "FOUND",
                 {{"FileSize", "6"}, {"FileModificationDate", "2024-01-02 03:04:05"}, {"VersionInfo", "1"},
                  {"ThumbnailStatus", "0"}, {"InTrash", "0"}, {"ref_id", "1"}, {"FileType", "file"},
                  {"FileName", "/a.txt"}}},
        GoodLine{"Encoded", P::kEncode, "ENCODED\tkvt1:051b", "ENCODED", {{"encoded", "kvt1:051b"}}},
        GoodLine{"Version", P::kVersions, "VERSION\t3\t10\tt\t5\t1\t/v.txt", "VERSION",
                 {{"file_ver", "3"}, {"current", "1"}, {"fname", "/v.txt"}}},
        GoodLine{"VersionListServerRefusal", P::kVersions,
                 "SFERROR\t/no\\tpe.txt\tSFERROR: versions failed. Reason: No such file or directory", "SFERROR",
                 {{"path", "/no\tpe.txt"}, {"message", "SFERROR: versions failed. Reason: No such file or directory"}}},
        GoodLine{"VersionRestoreLocalFailure", P::kVersions, "IOERROR\t/v.txt\tIOERROR: write failed. Reason: x",
                 "IOERROR", {{"path", "/v.txt"}}},
        GoodLine{"EscapesUndone", P::kTransfer, "RECV\t/a\\tb\\nc\\rd\\\\e", "RECV",
                 {{"path", "/a\tb\nc\rd\\e"}}},
        GoodLine{"NonUtf8PathKept", P::kTransfer, "RECV\t/caf\xe9\xff.txt", "RECV",
                 {{"path", "/caf\xe9\xff.txt"}}},
        GoodLine{"ExtraTrailingFieldsIgnored", P::kTransfer, "HOLD\t0\tfuture\tfields", "HOLD", {{"hold", "0"}}},
        GoodLine{"TrailingCarriageReturnDropped", P::kListing, "INDEX\t5\r", "INDEX", {{"index", "5"}}},
        GoodLine{"QuotaUsed", P::kQuota, "<usedquota>123456</usedquota>", "usedquota", {{"used", "123456"}}},
        GoodLine{"QuotaTotalWithBlanks", P::kQuota, "  <totalquota> 10737418240 </totalquota> ", "totalquota",
                 {{"total", "10737418240"}}},
        GoodLine{"QuotaFiles", P::kQuota, "<filecount>42</filecount>", "filecount", {{"files", "42"}}},
        GoodLine{"QuotaOpenTag", P::kQuota, "<quota>", "quota", {}},
        GoodLine{"QuotaError", P::kQuota, "<error>Unable to retrieve the quota</error>", "error",
                 {{"error", "Unable to retrieve the quota"}}}),
    [](const ::testing::TestParamInfo<GoodLine>& info) { return std::string(info.param.name); });

struct BadLine {
  const char* name;
  int type;
  std::string line;
  int result;
};

void PrintTo(const BadLine& c, std::ostream* os) { *os << c.name; }

class RefusesMalformedLines : public ::testing::TestWithParam<BadLine> {};

TEST_P(RefusesMalformedLines, ReturnsTheReasonAndLeavesTheRecordEmpty) {
  const BadLine& c = GetParam();
  EngineLineRecord r;
  r.Data("stale", "path");
  EXPECT_EQ(P::ParseLineStr(c.line, r, c.type), c.result);
  EXPECT_TRUE(r.kind().empty());
  EXPECT_FALSE(r.has("path"));
}

INSTANTIATE_TEST_SUITE_P(
    Lines, RefusesMalformedLines,
    ::testing::Values(
        BadLine{"Empty", P::kTransfer, "", P::kEmptyLine},
        BadLine{"OnlyCarriageReturn", P::kTransfer, "\r", P::kEmptyLine},
        BadLine{"UnknownKeyword", P::kTransfer, "NEWTHING\t1", P::kUnknownKind},
        BadLine{"KeywordNeedsExactCase", P::kTransfer, "progress\t1", P::kUnknownKind},
        BadLine{"KindOfAnotherType", P::kTransfer, "LIST\t7\t0\t2\t100\tt\t11\t1\t/n\t/o", P::kUnknownKind},
        BadLine{"SearchTakesNoProgress", P::kSearch, "RECV\t/a", P::kUnknownKind},
        BadLine{"KeywordOnly", P::kTransfer, "PROGRESS", P::kMissingField},
        BadLine{"TruncatedProgress", P::kTransfer, "PROGRESS\t[Full Backup]\tDone\t6\t1\t3\t6", P::kMissingField},
        BadLine{"TruncatedSummary", P::kTransfer, "SUMMARY\tupload\t0\t3\t2", P::kMissingField},
        BadLine{"BareSummaryOfSuccessfulRun", P::kTransfer, "SUMMARY\tupload\t0", P::kMissingField},
        BadLine{"BareSummaryWithPaddedZeroStatus", P::kListing, "SUMMARY\tlist\t00", P::kMissingField},
        BadLine{"SummaryWithoutStatus", P::kTransfer, "SUMMARY\tupload", P::kMissingField},
        BadLine{"SummaryCutAfterStatusTab", P::kFileOperation, "SUMMARY\tremove\t23\t", P::kBadNumber},
        BadLine{"SummaryBadStatus", P::kListing, "SUMMARY\tlist\tx", P::kBadNumber},
        BadLine{"VersionsTakeNoRename", P::kVersions, "RENAMED\t/a\t/b", P::kUnknownKind},
        BadLine{"TruncatedFatal", P::kTransfer, "FATAL\t41", P::kMissingField},
        BadLine{"NegativeNumber", P::kTransfer, "START\tupload\t-3\t8", P::kBadNumber},
        BadLine{"NumberWithJunk", P::kTransfer, "HOLD\t1x", P::kBadNumber},
        BadLine{"EmptyNumber", P::kListing, "COUNT\t", P::kBadNumber},
        BadLine{"NumberTooLarge", P::kListing, "INDEX\t99999999999999999999999", P::kBadNumber},
        BadLine{"UnknownEscape", P::kTransfer, "RECV\t/a\\x", P::kBadEscape},
        BadLine{"DanglingEscape", P::kTransfer, "RECV\t/a\\", P::kBadEscape},
        BadLine{"UnknownType", 99, "HOLD\t1", P::kUnknownType},
        BadLine{"TypeZero", 0, "HOLD\t1", P::kUnknownType},
        BadLine{"QuotaUnknownElement", P::kQuota, "<other>1</other>", P::kUnknownKind},
        BadLine{"QuotaNotXml", P::kQuota, "SUMMARY\tquota\t0", P::kUnknownKind},
        BadLine{"QuotaTruncated", P::kQuota, "<usedquota>12", P::kUnknownKind},
        BadLine{"QuotaMismatchedClose", P::kQuota, "<usedquota>12</totalquota>", P::kMissingField},
        BadLine{"QuotaBareBrackets", P::kQuota, "<>", P::kUnknownKind}),
    [](const ::testing::TestParamInfo<BadLine>& info) { return std::string(info.param.name); });

TEST(QLSYNCParser, VeryLongPathSurvivesWhole) {
  std::string path = "/" + std::string(3 * 1024 * 1024, 'p');
  EngineLineRecord r;
  ASSERT_EQ(P::ParseLineStr("RECV\t" + path, r, P::kTransfer), P::kOk);
  EXPECT_EQ(r.text("path"), path);
}

TEST(QLSYNCParser, RecordHoldsOnlyTheLastLine) {
  EngineLineRecord r;
  ASSERT_EQ(P::ParseLineStr("ALIVE\t1\t2\t/first", r, P::kTransfer), P::kOk);
  ASSERT_EQ(P::ParseLineStr("HOLD\t1", r, P::kTransfer), P::kOk);
  EXPECT_EQ(r.kind(), "HOLD");
  EXPECT_FALSE(r.has("path"));
  EXPECT_FALSE(r.has("bytesDone"));
}

// The quota query reads the engine's output line by line into one record and
// keeps what each line carried.
TEST(QLSYNCParser, QuotaRecordTakesItsValues) {
  QuotaHandlerData q;
  std::string used, total;
  for (const char* line : {"<quota>", "<usedquota>8</usedquota>", "<totalquota>10737418240</totalquota>",
                           "<filecount>2</filecount>", "</quota>", "SUMMARY\tquota\t0"}) {
    if (P::ParseLineStr(line, q, P::kQuota) != P::kOk) continue;
    if (q.usedQuota()) used = *q.usedQuota();
    if (q.totalQuota()) total = *q.totalQuota();
  }
  EXPECT_EQ(used, "8");
  EXPECT_EQ(total, "10737418240");
  ASSERT_EQ(P::ParseLineStr("<filecount>2</filecount>", q, P::kQuota), P::kOk);
  EXPECT_EQ(q.totalFilesCount(), "2");
  EXPECT_FALSE(q.usedQuota().has_value());
}

TEST(QLSYNCParser, ListingRecordBecomesAServerRecordDictionary) {
  EngineLineRecord r;
  ASSERT_EQ(P::ParseLineStr("LIST\t7\t1\t2\t100\tt\t11\t1\t/new\t", r, P::kListing), P::kOk);
  PropertyList d = r.toDictionary();
  EXPECT_EQ(d.stringFor("fname"), "/new");
  EXPECT_EQ(d.stringFor("in_trash"), "1");
  EXPECT_EQ(d.find("kind"), nullptr);
}

}  // namespace
}  // namespace ulmora
