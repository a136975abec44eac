#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The change-journal format shared by every journal writer and reader of the
// agent (docs/journal.md describes it in full).
//
// A journal is a folder of small list files. A file name starts with a time
// stamp "yyyy-MM-dd HH-mm-ss-SSS" from the process-wide JournalStampGenerator,
// followed by an optional suffix ("_backup", "_delete", "_rename",
// "_createdir", "_<chunk number>"). In-progress files carry the extension
// "progress", consumed files the extension "delete", files set aside by the
// event reader the extension "read".
//
// Thread-safety: pure functions and constants.
namespace ulmora::journal {

// --- Operation codes (compared exactly).
inline constexpr std::string_view kCodeUpload = "1";
inline constexpr std::string_view kCodeDelete = "2";
inline constexpr std::string_view kCodeRename = "3";
inline constexpr std::string_view kCodeDownload = "4";
inline constexpr std::string_view kCodeServerChange = "5";
inline constexpr std::string_view kCodeCreateFolder = "6";
inline constexpr std::string_view kCodeOBUpload = "7";
inline constexpr std::string_view kCodeOBDelete = "8";
inline constexpr std::string_view kCodeOBRename = "9";
inline constexpr std::string_view kCodeOBCreateFolder = "10";
inline constexpr std::string_view kCodeEventFolder = "daemoneventpath";

// --- Application-file indices of the journal folders.
inline constexpr int kApplicationRootFolder = 0;
inline constexpr int kAccountFolder = 1;
inline constexpr int kUploadFolder = 101;
inline constexpr int kEventFolder = 102;
inline constexpr int kDeleteFolder = 103;
inline constexpr int kRenameFolder = 104;
inline constexpr int kDownloadFolder = 105;
inline constexpr int kServerChangeFolder = 106;
inline constexpr int kDatabaseFolder = 107;
inline constexpr int kCreateFolderFolder = 120;
inline constexpr int kOBUploadFolder = 125;
inline constexpr int kOBDeleteFolder = 126;
inline constexpr int kOBRenameFolder = 127;
inline constexpr int kOBCreateFolderFolder = 128;
inline constexpr int kOBDownloadFolder = 129;
inline constexpr int kUploadCountFolder = 130;
inline constexpr int kDeleteCountFolder = 131;
inline constexpr int kRenameCountFolder = 132;

// --- Name suffixes (appended to the time stamp).
inline constexpr std::string_view kUploadSuffix = "_backup";
inline constexpr std::string_view kDeleteSuffix = "_delete";
inline constexpr std::string_view kRenameSuffix = "_rename";
inline constexpr std::string_view kCreateFolderSuffix = "_createdir";

// --- Event types of folder 102: a file's type is the word its name ends with.
inline constexpr std::string_view kEventDelete = "delete";
inline constexpr std::string_view kEventRename = "rename";
inline constexpr std::string_view kEventCreateFolder = "createdir";

// --- Extensions (after the last ".").
inline constexpr std::string_view kInProgressExtension = "progress";
inline constexpr std::string_view kConsumedExtension = "delete";
inline constexpr std::string_view kSetAsideExtension = "read";
inline constexpr std::string_view kFinderMetadataName = ".DS_Store";

// --- Rename list keys.
inline constexpr std::string_view kOriginalPathKey = "OriginalPath";
inline constexpr std::string_view kRenamedPathKey = "RenamedPath";

// The content of a server-change marker.
inline constexpr std::string_view kMarkerContent = "1";

// --- Sizes.
inline constexpr std::size_t kEntriesPerFile = 1000;
// A listing of this many names or more is taken in batches of kBatchFileLimit.
inline constexpr std::size_t kBatchListingThreshold = 16;
inline constexpr std::size_t kBatchFileLimit = 10;
// Length of "yyyy-MM-dd HH-mm-ss-SSS".
inline constexpr std::size_t kStampLength = 23;

// Which names a reader ignores.
enum class SkipRule {
  // readFileFor: "progress", "delete", ".DS_Store".
  kReader,
  // The event reader and the pending checks: also "read".
  kPendingCheck,
};

// The part after the last "." of the last path component; "" when there is
// none or the only dot leads the name (".DS_Store" has no extension).
std::string_view extensionOf(std::string_view name);
bool isSkipped(std::string_view name, SkipRule rule);
// True for the hidden in-progress file of an atomic write
// (".<name>.XXXXXX.progress"); the capitalised "Progress" of a complete file
// does not count.
bool isTemporaryName(std::string_view name);

// True when `name` begins with a well-formed time stamp.
bool hasStampPrefix(std::string_view name);
// Journal order: stamped names first, by stamp; equal stamps by a numeric
// chunk suffix ("_2" before "_10"), then bytewise. Unstamped names follow,
// bytewise. Directory order on Linux is arbitrary, so every reader sorts.
bool journalNameLess(std::string_view a, std::string_view b);
void sortJournalNames(std::vector<std::string>& names);

// The event type ("delete", "rename", "createdir") whose word ends `name`.
std::optional<std::string_view> eventTypeOf(std::string_view name);

// A one-path-per-line list cannot carry a newline (or NUL) inside an entry.
bool canCarryInTextList(std::string_view entry);
// An XML property list can carry only valid UTF-8 without control
// characters other than tab, newline and carriage return.
bool canCarryInPropertyList(std::string_view text);

// Entries joined with "\n", no newline after the last one.
std::string joinTextList(const std::vector<std::string>& entries);
// The inverse of joinTextList, without empty pieces: an empty entry would
// name the sync root itself.
std::vector<std::string> splitTextList(std::string_view contents);

}  // namespace ulmora::journal
