#include "PeerCodes.h"

#include <vector>

namespace ulmora::peer {

namespace {

constexpr int kStatusType = 500;
constexpr int kNotificationType = 501;
constexpr int kStatusAfterQuotaType = 504;

struct Code {
  std::string_view code;
  std::string_view meaning;
  // Names of the "||"-separated fields after the code, in order, separated
  // by "|"; an empty name shows the field's value alone.
  std::string_view fields;
};

// The status codes (types 500 and 504).
constexpr Code kStatusCodes[] = {
    {"T1001", "all files are up to date", ""},
    {"T1002", "uploading", "files to go|rate|time left"},
    {"T1003", "upload starting", ""},
    {"T1004", "download starting", ""},
    {"T1005", "downloading", "files to go|rate|time left"},
    {"T1006", "renaming files", ""},
    {"T1007", "deleting files", ""},
    {"T1008", "a folder was moved on the server", ""},
    {"T1009", "creating folders", ""},
    {"T1010", "status code without a sender", ""},
    {"T1012", "no network connection", ""},
    {"T1014", "applying selective-sync changes", ""},
    {"T1015", "storage quota full", ""},
    {"T1016", "checking the server for changes", ""},
    {"T1017", "account under maintenance", ""},
    {"T1018", "account cancelled", ""},
    {"T1019", "this computer is unlinked", ""},
    {"T1020", "the sync folder cannot be found", ""},
    {"T1021", "the sync folder path is invalid", ""},
    {"T1022", "account blocked", ""},
};

// The notification codes (type 501). A field "name::path" reads as "name at
// path": the senders put the item's own path there, relative to the sync root
// ("a.txt::/Docs/a.txt"), so "in" would name a folder that is not one.
constexpr Code kNotificationCodes[] = {
    {"N1003", "one file updated on the server", "file"},
    {"N1005", "items renamed or updated by a listing", "count"},
    {"N1006", "items deleted locally", "count"},
    {"N1007", "files uploaded", "count|"},
    {"N1011", "upload refused: storage quota exceeded", ""},
    {"N1012", "the account password was changed on the web", ""},
    {"N1022", "this computer is unlinked", ""},
    {"N1023", "the account was cancelled", ""},
    {"N1024", "a listing deleted items and renamed or updated others", "deleted|renamed or updated"},
    {"N1025", "one item deleted locally", "name"},
    {"N1028", "the sync folder path is invalid", ""},
    {"N1029", "the sync folder cannot be found", ""},
    {"N1030", "the connection to the server failed", ""},
    {"N1031", "one file updated from the server", "file"},
    {"N1032", "a folder renamed", "old name||new name"},
    {"N1033", "a file or moved folder renamed", "old name||new name"},
    {"N1034", "a new file or folder", "name|"},
};

struct MessageType {
  int type;
  std::string_view meaning;
};

// What the agent sends the status monitor, besides statuses and notifications.
constexpr MessageType kMonitorTypes[] = {
    {0, "storage quota full (the over-quota text)"},
    {1, "storage quota still full (the over-quota text)"},
    {300, "the change journals changed"},
    {507, "this computer was unlinked or the account cancelled"},
    {508, "storage quota recalculated"},
    {509, "the account password was changed on the web"},
    {511, "the sync folder path is invalid"},
    {512, "sync disabled: the sync folder is missing or invalid"},
    {514, "refresh the selective-sync window"},
    {516, "reinitialise ended"},
};

// What the agent sends the Finder integration.
constexpr MessageType kFinderTypes[] = {
    {1, "drop these paths from the rename set"},
    {3, "the sync root to badge"},
    {7, "paths one delete run deleted"},
    {22, "version restore started"},
    {23, "version restore ended"},
    {47, "the sync root to badge, again after the start"},
    {502, "sync paused"},
    {503, "sync resumed"},
};

constexpr int kAnnouncementType = 900;

// "T1002", "N1034||..": a letter, four digits, then the end or the fields.
bool looksLikeCode(std::string_view text) {
  if (text.size() < 5 || (text[0] != 'T' && text[0] != 'N')) return false;
  for (size_t i = 1; i < 5; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
  }
  return text.size() == 5 || text.substr(5, 2) == "||" || text[5] == '\n';
}

std::vector<std::string_view> split(std::string_view text, std::string_view separator) {
  std::vector<std::string_view> parts;
  for (size_t at = 0;;) {
    const size_t next = text.find(separator, at);
    parts.push_back(text.substr(at, next == std::string_view::npos ? next : next - at));
    if (next == std::string_view::npos) return parts;
    at = next + separator.size();
  }
}

std::string readable(std::string_view field) {
  const size_t at = field.find("::");
  if (at == std::string_view::npos) return std::string(field);
  return std::string(field.substr(0, at)) + " at " + std::string(field.substr(at + 2));
}

template <size_t N>
std::string describeCode(std::string_view line, const Code (&table)[N]) {
  const std::vector<std::string_view> parts = split(line, "||");
  for (const Code& c : table) {
    if (parts[0] != c.code) continue;
    const std::vector<std::string_view> names =
        c.fields.empty() ? std::vector<std::string_view>() : split(c.fields, "|");
    std::string fields;
    for (size_t i = 1; i < parts.size(); ++i) {
      if (!fields.empty()) fields += ", ";
      // A field past the named ones is still shown: the sender may add one.
      if (i > names.size()) {
        fields += "field " + std::to_string(i) + " ";
      } else if (!names[i - 1].empty()) {
        fields += std::string(names[i - 1]) + " ";
      }
      fields += readable(parts[i]);
    }
    const std::string out = std::string(c.code) + ": " + std::string(c.meaning);
    return fields.empty() ? out : out + " (" + fields + ")";
  }
  return "";
}

}  // namespace

std::string describeMonitorMessage(int type, std::string_view payload) {
  if (type == kNotificationType) return describeCode(payload, kNotificationCodes);
  if (type != kStatusType && type != kStatusAfterQuotaType) return "";
  std::string out;
  for (std::string_view line : split(payload, "\n")) {
    const std::string meaning = describeCode(line, kStatusCodes);
    if (meaning.empty()) continue;
    if (!out.empty()) out += "; ";
    out += meaning;
  }
  return out;
}

std::string describeChannelMessage(std::string_view channel, int type, const std::string* text) {
  if (type == kAnnouncementType) return "the agent announces itself (name, user, process id)";
  if (channel == "monitor") {
    if (type == kStatusType || type == kStatusAfterQuotaType || type == kNotificationType) {
      const std::string what = type == kStatusType            ? "status"
                               : type == kStatusAfterQuotaType ? "status once the storage quota freed up"
                                                               : "notification";
      if (text == nullptr) return what + ", not a text";
      const std::string codes = describeMonitorMessage(type, *text);
      if (!codes.empty()) return what + ": " + codes;
      if (looksLikeCode(*text)) return what + ": a code this peer does not know";
      // The agent sends one notification as a plain text.
      return what + " as a plain text";
    }
    for (const MessageType& t : kMonitorTypes) {
      if (t.type == type) return std::string(t.meaning);
    }
  } else if (channel == "finder") {
    for (const MessageType& t : kFinderTypes) {
      if (t.type == type) return std::string(t.meaning);
    }
  }
  return "type " + std::to_string(type) + ", not one this peer knows";
}

std::string describeBusNotification(std::string_view name) {
  if (name == "FilessyncListGot") return "paths not in sync yet, for the file manager's badges";
  if (name == "FilesInsyncListGot") return "paths now in sync, for the file manager's badges";
  if (name == "IconOverlayStatus") return "redraw the file manager's badges";
  return "a notification this peer does not know";
}

}  // namespace ulmora::peer
